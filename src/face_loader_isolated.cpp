// Face pictures decoded in child processes, so that no picture file, however
// malformed or hostile, can crash, hang or exhaust the viewer.
//
// This is the viewer's side. Each slot's picture is decoded by SOIL in a
// child process of its own (decode_child.cpp), under limits derived from
// one budget of decoded bytes. The children are forked at once, but only a
// few decode at a time, in slot order, so that each upload overlaps the
// decodes still running and memory stays near what loading in-process
// takes; each child that ends lets the next one start. A child hands width,
// height, channels and pixels back in a file; the viewer checks what comes
// back and only then uploads it with SOIL_create_OGL_texture, which is what
// SOIL_load_OGL_texture does after decoding. Nothing is ever decoded in the
// viewer's own process.

#include "decode_child.h"
#include "decode_sandbox.h"
#include "decode_watch.h"
#include "face_loader.h"
#include "isolated_decode.h"
#include "loading_heap.h"

#include <SOIL/SOIL.h>
#include <SOIL/stb_image_aug.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// How many children decode at once; results waiting for their upload do
// not count. Three keep two cores busy while the viewer uploads beside them,
// get the viewer a fair share beside other programs, and hold little more
// memory than loading in-process (docs/benchmark.md).
const int decoding = 3;

// How long a killed child is given to die before the viewer stops waiting.
const int dyingMs = 100;
// How often the children are looked at while the viewer waits for one.
const int watchMs = 250;
// How often the viewer looks whether a child has ended where it cannot
// wait for the end: without a pidfd (Linux before 5.3).
const int lookMs = 5;

struct Decode {
    pid_t pid = 0;      // 0: no child
    int pidfd = -1;     // readable once the child has ended
    int result = -1;    // the file the child writes its result to
    int go = -1;        // written to let the child start; -1 once it has been
    long startedMs = 0; // when it was let go
    // What the watchdog saw of it, since it was let go.
    std::int64_t cpuNs = -1;       // its processor time when last looked at
    long seenMs = 0;               // when it was last seen making progress
    ChildLook last;                // as it was when last looked at
    std::int64_t quietFromNs = -1; // its processor time when it last left a trace
};
Decode decodes[faceSlots];

// Children that were killed but had not died when the viewer stopped waiting.
std::vector<pid_t> abandoned;

long nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool readAll(int fd, void *data, size_t bytes)
{
    char *p = static_cast<char *>(data);
    for (off_t offset = 0; bytes > 0;) {
        const ssize_t n = pread(fd, p, bytes, offset);
        if (n <= 0)
            return false;
        p += n, bytes -= size_t(n), offset += n;
    }
    return true;
}

// Moves a descriptor above those a child keeps (0 to 4), so that the child
// can put its own in place without losing one; -1 stays -1.
int aboveChildDescriptors(int fd)
{
    if (fd < 0 || fd > goFd)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, goFd + 1);
    close(fd);
    return moved;
}

// A file for a child's result: a memory file, or an unlinked temporary file
// where memory files are refused.
int newResultFile()
{
    int fd = memfd_create("face", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    for (const char *dir : {"/dev/shm", "/tmp"})
        if (fd < 0)
            fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return aboveChildDescriptors(fd);
}

void closeAndClear(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Whether the child has ended, waiting up to `waitMs` for it.
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

// Whether the child has been let go and has not ended yet.
bool decodingNow(const Decode &decode) { return decode.pid != 0 && decode.go < 0 && !ended(decode, 0); }

// Lets the next children waiting, in slot order, start decoding, as long
// as fewer than `decoding` are under way; or `slot` itself whatever the count.
void letGo(int slot = -1)
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
        decode.startedMs = decode.seenMs = nowMs();
        decode.cpuNs = decode.quietFromNs = -1;
        decode.last = ChildLook();
        ++underWay;
    }
}

// Waits up to `waitMs` for any child under way to end, or lookMs if one
// has no pidfd. One that has ended already, waiting for its turn to
// upload, is left out: its pidfd would answer at once, and the wait would
// become a spin.
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

// Lets go of the slot's child; its result file stays.
void forget(Decode &decode)
{
    closeAndClear(decode.pidfd);
    closeAndClear(decode.go);
    decode.pid = 0;
}

// Collects an ended child, unless somebody else's handler already has.
void reap(int slot, Decode &decode)
{
    rusage usage{};
    int status = 0;
    if (wait4(decode.pid, &status, WNOHANG, &usage) == decode.pid && decodeHooks.reaped)
        decodeHooks.reaped(slot, status, usage);
    forget(decode);
}

// Ends the decodes of stuck children; their faces stay white. They are all
// killed at once and given dyingMs together to die: one in uninterruptible
// sleep cannot die until its read returns, and is given up.
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
            abandoned.push_back(decode.pid);
            forget(decode);
        }
        closeAndClear(decode.result);
    }
}

// Stops every child that is stuck: asleep without gaining processor time
// for stallMs, or gaining quietCpuMs of it while it leaves no trace. A child
// that is merely slow, or starved by a busy machine, is left alone: only its
// own processor limit bounds it.
void watchChildren()
{
    const long now = nowMs();
    const long unseenMs = long(unseenFactor * decodeLimits().cpuSeconds * 1000);
    std::vector<int> stuck;
    for (int slot = 0; slot < faceSlots; ++slot) {
        Decode &decode = decodes[slot];
        if (!decodingNow(decode))
            continue;
        const ChildLook look = lookAt(decode.pid, decode.result);
        // Its memory is looked through only where its trace has not moved.
        const bool traceMoved = look.traced && decode.last.traced && look.trace != decode.last.trace;
        const std::int64_t touched = traceMoved ? -1 : touchedKiB(decode.pid);
        const bool moved = traceMoved || touched > busyKiB;
        // Busy without a trace: judged only where the memory it touches can be seen.
        const bool quiet = look.cpuNs >= 0 && !moved && touched >= 0 && decode.quietFromNs >= 0 &&
                           look.cpuNs - decode.quietFromNs >= std::int64_t(quietCpuMs) * 1000000;
        decode.last = look;
        if (look.cpuNs >= 0 && (moved || touched < 0 || decode.quietFromNs < 0))
            decode.quietFromNs = look.cpuNs;
        if (decodeHooks.looked)
            decodeHooks.looked(slot, look.cpuNs, moved);
        const bool unseen = look.cpuNs < 0 && look.runnable < 0;
        const bool alive = look.cpuNs != decode.cpuNs || look.runnable == 1 || moved;
        if (alive)
            decode.cpuNs = look.cpuNs, decode.seenMs = now;
        // Busy without a trace, or asleep without gaining processor time.
        if (unseen ? now - decode.startedMs >= unseenMs : quiet || (!alive && now - decode.seenMs >= stallMs))
            stuck.push_back(slot);
    }
    if (!stuck.empty())
        stop(stuck);
}

bool loading = false; // the viewer's heap is set for loading

// Once no decode is under way, the heap goes back to its usual settings,
// and children still dying are left to the kernel to reap, so that none is
// ever waited for.
void endOfLoading()
{
    for (const Decode &decode : decodes)
        if (decode.pid != 0)
            return;
    if (loading)
        leaveLoadingHeap();
    loading = false;
    if (abandoned.empty())
        return;
    signal(SIGCHLD, SIG_IGN);
    for (pid_t pid : abandoned) // any that ended before that
        waitpid(pid, nullptr, WNOHANG);
    abandoned.clear();
}

// Checks a child's result and uploads it. 0 if anything is off.
GLuint upload(int result)
{
    // Sealed, a memory file can no longer change under the mapping below,
    // whatever the child left behind. A temporary file cannot be sealed: it
    // is read instead.
    const bool sealed = fcntl(result, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) == 0;
    struct stat info = {};
    DecodedHeader header{};
    if (fstat(result, &info) != 0 || info.st_size < off_t(sizeof header) ||
        pread(result, &header, sizeof header, 0) != ssize_t(sizeof header) || header.magic != decodedMagic)
        return 0;
    const std::uint64_t pixelBytes = plausiblePixelBytes(header);
    if (pixelBytes == 0 || std::uint64_t(info.st_size) != sizeof header + pixelBytes)
        return 0;

    const size_t size = size_t(info.st_size);
    void *bytes = nullptr;
    if (sealed) {
        bytes = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, result, 0);
        if (bytes == MAP_FAILED)
            return 0;
    } else {
        bytes = std::malloc(size);
        if (!bytes || !readAll(result, bytes, size)) {
            std::free(bytes);
            return 0;
        }
    }
    // The child has turned the rows already. SOIL_FLAG_INVERT_Y turns them
    // first thing, before anything else SOIL does to them, so the texture
    // is the same. A side above GL_MAX_TEXTURE_SIZE is shrunk here by SOIL,
    // as it would be after an in-process decode.
    const GLuint texture = SOIL_create_OGL_texture(static_cast<const unsigned char *>(bytes) + sizeof header,
                                                   header.width, header.height, header.channels, SOIL_CREATE_NEW_ID, 0);
    if (sealed)
        munmap(bytes, size);
    else
        std::free(bytes);
    return texture;
}

} // namespace

void startFaceLoad(int slot, const char *path)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0)
        return;
    decode.result = newResultFile();
    decode.go = aboveChildDescriptors(eventfd(0, EFD_CLOEXEC));
    prepareDecodeSandbox(resultFd);
    pid_t pid = -1;
    if (decode.result >= 0 && decode.go >= 0) {
        const pid_t viewer = getpid();
        pid = fork();
        if (pid < 0)
            pid = fork(); // refused once, under a passing shortage: one more try
        if (pid == 0)
            decodeInChild(slot, path, decode.result, decode.go, viewer, stbi_load_from_file);
    }
    if (pid < 0) {
        closeAndClear(decode.result);
        closeAndClear(decode.go);
        return;
    }
    decode.pid = pid;
    decode.pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    letGo();
}

GLuint finishFaceLoad(int slot)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0 && !loading) {
        useLoadingHeap();
        loading = true;
    }
    if (decode.pid != 0 && decode.go >= 0)
        letGo(slot); // asked for out of order: it goes now
    GLuint texture = 0;
    // Each child that ends lets the next one start.
    while (decode.pid != 0 && !ended(decode, 0)) {
        awaitAnyEnd(decodeHooks.watchMs > 0 ? decodeHooks.watchMs : watchMs);
        letGo();
        watchChildren();
    }
    if (decode.pid != 0) {
        reap(slot, decode);
        letGo(); // the next decode runs while this one uploads
        texture = upload(decode.result);
    }
    closeAndClear(decode.result);
    endOfLoading();
    return texture;
}
