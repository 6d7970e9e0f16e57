#include "loader/viewer_side/children.h"

#include "loader/shared/result.h"
#include "loader/shared/seams.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

Decode decodes[faceSlots];

namespace {

// How many children decode at once; results waiting for their upload do
// not count. Three keep two cores busy while the viewer uploads beside them,
// get the viewer a fair share beside other programs, and hold little more
// memory than loading in-process (docs/benchmark.md).
const int decoding = 3;

// How long a killed child is given to die before the viewer stops waiting.
const int dyingMs = 100;
// How often the viewer looks whether a child has ended where it cannot
// wait for the end: without a pidfd (Linux before 5.3).
const int lookMs = 5;

// Children that were killed but had not died when the viewer stopped waiting.
std::vector<pid_t> dying;

// Lets go of the slot's child; its result file stays.
void forget(Decode &decode)
{
    closeAndClear(decode.pidfd);
    closeAndClear(decode.go);
    decode.pid = 0;
}

} // namespace

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

int aboveChildDescriptors(int fd)
{
    if (fd < 0 || fd > goFd)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, goFd + 1);
    close(fd);
    return moved;
}

bool ended(const Decode &decode, int waitMs)
{
    if (decode.pidfd >= 0) {
        pollfd end = {decode.pidfd, POLLIN, 0};
        return poll(&end, 1, waitMs) > 0;
    }
    // No pidfd (a kernel before 5.3, or a child reaped by somebody else's
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

bool decodingNow(const Decode &decode) { return decode.pid != 0 && decode.go < 0 && !ended(decode, 0); }

void letGo(int slot)
{
    int underWay = 0;
    for (const Decode &decode : decodes)
        underWay += decodingNow(decode);
    for (int i = 0; i < faceSlots; ++i) {
        Decode &decode = decodes[i];
        if (decode.go < 0 || (underWay >= decoding && i != slot))
            continue;
        const std::uint64_t one = 1;
        if (write(decode.go, &one, sizeof one) != ssize_t(sizeof one)) { // cannot fail on a fresh counter
        }
        closeAndClear(decode.go);
        decode.watch = Watch();
        decode.watch.startedMs = decode.watch.seenMs = nowMs();
        ++underWay;
    }
}

// Where a child under way has no pidfd, waits lookMs at most. One that has
// ended already, waiting for its turn to upload, is left out: its pidfd
// would answer at once, and the wait would become a spin.
void awaitAnyEnd(int waitMs)
{
    pollfd ends[faceSlots];
    nfds_t count = 0;
    bool withoutPidfd = false;
    for (const Decode &decode : decodes)
        if (decodingNow(decode)) {
            if (decode.pidfd >= 0)
                ends[count++] = {decode.pidfd, POLLIN, 0};
            else
                withoutPidfd = true;
        }
    poll(ends, count, withoutPidfd ? std::min(waitMs, lookMs) : waitMs);
}

void reap(int slot, Decode &decode)
{
    rusage usage{};
    int status = 0;
    if (wait4(decode.pid, &status, WNOHANG, &usage) == decode.pid && decodeHooks.reaped)
        decodeHooks.reaped(slot, status, usage);
    forget(decode);
}

// They are all killed at once and given dyingMs together to die: one in
// uninterruptible sleep cannot die until its read returns, and is given up.
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
        if (ended(decode, int(std::max(0L, deadline - nowMs())))) {
            reap(slot, decode);
        } else {
            dying.push_back(decode.pid);
            forget(decode);
        }
        closeAndClear(decode.result);
    }
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
