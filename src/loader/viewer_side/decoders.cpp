#include "loader/viewer_side/decoders.h"

#include "loader/face_loader.h"
#include "loader/shared/decode_limits.h"
#include "loader/viewer_side/decoder_program.h"
#include "loader/viewer_side/looks.h"
#include "loader/viewer_side/results.h"
#include "loader/viewer_side/seams.h"
#include "loader/viewer_side/watchdog.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// How many decoders run at once; results waiting for their upload do not
// count. Three keep two cores busy while the viewer uploads beside them,
// get the viewer a fair share beside other programs, and hold little more
// memory than loading in-process (docs/benchmark.md).
const int decodingAtOnce = 3;
// How often the decoders are looked at while the viewer waits for one, and
// when it last did. One is first looked at once it has run that long: most
// pictures decode sooner, and a look through a decoder's memory costs the
// viewer a millisecond or so.
const int watchMs = 250;
long watchedMs = 0;

int watchEveryMs() { return decodeHooks.watchMs > 0 ? decodeHooks.watchMs : watchMs; }
// How long a killed decoder is given to die before the viewer stops waiting.
const int dyingMs = 100;
// How often the viewer looks whether a decoder has ended where it cannot
// wait for the end: without a pidfd (Linux before 5.3).
const int lookMs = 5;

enum class Stage : std::uint8_t { idle, waiting, decoding, ended };

struct Decode {
    Stage stage = Stage::idle;
    std::string picture; // waiting: the picture to decode
    pid_t pid = 0;       // decoding
    int pidfd = -1;      // decoding: readable once it has ended; -1 where the kernel gives none
    int result = -1;     // decoding and ended: the file it writes its result to; -1 if none
    Seen seen;           // decoding: what the watchdog has seen of it
};
Decode decodes[faceSlots];

// Decoders that were killed but had not died when the viewer stopped waiting.
std::vector<pid_t> dying;

long nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void closeAndClear(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Starts the slot's decoder. One that cannot be started has ended, with no
// result: its face is white, for a picture is never decoded here instead.
void begin(int slot)
{
    Decode &decode = decodes[slot];
    const std::string program = decodeHooks.program ? decodeHooks.program : installedDecoder();
    decode.result = newResultFile();
    decode.pid = decode.result >= 0 && !program.empty()
                     ? startDecoder(program, decode.picture, decode.result, decodeHooks.behaviour[slot])
                     : -1;
    decode.picture.clear();
    if (decode.pid < 0) {
        closeAndClear(decode.result);
        decode.stage = Stage::ended;
        return;
    }
    decode.pidfd = int(syscall(SYS_pidfd_open, decode.pid, 0));
    const long now = nowMs();
    decode.seen = Seen{now, now, {}, {}, {}};
    decode.stage = Stage::decoding;
}

// Starts the decoders waiting, in slot order, while only a few decode.
void beginWaiting()
{
    int underWay = int(std::count_if(std::begin(decodes), std::end(decodes),
                                     [](const Decode &decode) { return decode.stage == Stage::decoding; }));
    for (int slot = 0; slot < faceSlots && underWay < decodingAtOnce; ++slot)
        if (decodes[slot].stage == Stage::waiting)
            begin(slot), ++underWay;
}

// Whether the decoder has ended, waiting up to `waitMs` for it.
bool hasEnded(const Decode &decode, int waitMs)
{
    if (decode.pidfd >= 0) {
        pollfd end = {decode.pidfd, POLLIN, 0};
        return poll(&end, 1, waitMs) > 0;
    }
    // No pidfd (a kernel before 5.3, or a decoder reaped by somebody else's
    // handler before it could be had): look every lookMs until the end or
    // the deadline.
    for (const long deadline = nowMs() + waitMs;;) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(decode.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            return true;
        const long left = deadline - nowMs();
        if (left <= 0)
            return false;
        poll(nullptr, 0, int(std::min(left, long(lookMs))));
    }
}

// Lets go of the slot's decoder process; its result file stays.
void forget(Decode &decode)
{
    closeAndClear(decode.pidfd);
    decode.pid = 0;
    decode.stage = Stage::ended;
}

// Collects an ended decoder, unless somebody else's handler already has.
void reap(int slot)
{
    Decode &decode = decodes[slot];
    rusage usage{};
    int status = 0;
    if (wait4(decode.pid, &status, WNOHANG, &usage) == decode.pid && decodeHooks.reaped)
        decodeHooks.reaped(slot, status, usage);
    forget(decode);
}

// Waits up to `waitMs` for any decoder to end, then collects those that
// have. Where one has no pidfd, waits lookMs at most.
void awaitEnds(int waitMs)
{
    pollfd ends[faceSlots];
    nfds_t count = 0;
    bool withoutPidfd = false;
    for (const Decode &decode : decodes)
        if (decode.stage == Stage::decoding) {
            if (decode.pidfd >= 0)
                ends[count++] = {decode.pidfd, POLLIN, 0};
            else
                withoutPidfd = true;
        }
    poll(ends, count, withoutPidfd ? std::min(waitMs, lookMs) : waitMs);
    for (int slot = 0; slot < faceSlots; ++slot)
        if (decodes[slot].stage == Stage::decoding && hasEnded(decodes[slot], 0))
            reap(slot);
}

// Ends the decodes of the slots given, which are stuck: their faces stay
// white. They are all killed at once and given dyingMs together to die: one
// in uninterruptible sleep cannot die until its read returns, and is given
// up.
void stop(const std::vector<int> &slots)
{
    for (int slot : slots) {
        const Decode &decode = decodes[slot];
        if (decode.pidfd >= 0) // never a pid that may have been reused
            syscall(SYS_pidfd_send_signal, decode.pidfd, SIGKILL, nullptr, 0);
        else
            kill(decode.pid, SIGKILL);
    }
    const long deadline = nowMs() + dyingMs;
    for (int slot : slots) {
        Decode &decode = decodes[slot];
        if (hasEnded(decode, int(std::max(0L, deadline - nowMs())))) {
            reap(slot);
        } else {
            dying.push_back(decode.pid);
            forget(decode);
        }
        closeAndClear(decode.result);
    }
}

// Looks at every decoder under way, and stops those that are stuck. The
// order matters: the touched memory is read last, for reading it starts its
// count over.
void watch()
{
    std::vector<int> stuck;
    for (int slot = 0; slot < faceSlots; ++slot) {
        Decode &decode = decodes[slot];
        if (decode.stage != Stage::decoding || nowMs() - decode.seen.startedMs < watchEveryMs())
            continue;
        Look look = lookAt(decode.pid, decode.result, nowMs());
        if (touchedWorthReading(decode.seen, look))
            look.touchedKiB = touchedKiB(decode.pid);
        const Verdict verdict = judge(decode.seen, look, decodeLimits().cpuSeconds);
        decode.seen = verdict.seen;
        if (decodeHooks.looked)
            decodeHooks.looked(slot, look.cpuNs.value_or(-1), verdict.leftTrace);
        if (verdict.stuck)
            stuck.push_back(slot);
    }
    if (!stuck.empty())
        stop(stuck);
}

} // namespace

void queueDecode(int slot, const char *path)
{
    Decode &decode = decodes[slot];
    if (decode.stage != Stage::idle)
        return;
    decode.stage = Stage::waiting;
    decode.picture = path;
    beginWaiting();
}

bool anyDecodeUnderWay()
{
    return std::any_of(std::begin(decodes), std::end(decodes),
                       [](const Decode &decode) { return decode.stage != Stage::idle; });
}

int takeResult(int slot)
{
    Decode &decode = decodes[slot];
    if (decode.stage == Stage::waiting)
        begin(slot); // asked for out of turn: it goes now
    while (decode.stage == Stage::decoding) {
        awaitEnds(int(std::max(0L, watchedMs + watchEveryMs() - nowMs())));
        beginWaiting(); // each that ends lets the next one start, even while this one uploads
        if (nowMs() - watchedMs >= watchEveryMs())
            watch(), watchedMs = nowMs();
    }
    const int result = decode.result;
    decode = Decode();
    return result;
}

void leaveTheDying()
{
    if (dying.empty())
        return;
    signal(SIGCHLD, SIG_IGN);
    for (pid_t pid : dying) // any that ended before that
        waitpid(pid, nullptr, WNOHANG);
    dying.clear();
}
