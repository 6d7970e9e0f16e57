// Face pictures decoded in child processes, so that no picture file, however
// malformed or hostile, can crash, hang or exhaust the viewer.
//
// Each slot's picture is decoded by SOIL in a child process of its own,
// under limits derived from one budget of decoded bytes. The child hands
// width, height, channels and pixels back in a file; the viewer checks what
// comes back and only then uploads it with SOIL_create_OGL_texture, which is
// what SOIL_load_OGL_texture does after decoding. Nothing is ever decoded in
// the viewer's own process.

#include "decode_sandbox.h"
#include "face_loader.h"
#include "isolated_decode.h"
#include "loading_heap.h"

#include <SOIL/SOIL.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

DecodeHooks decodeHooks;

namespace {

// SOIL computes sizes in int. With at most 2^29 decoded bytes, even the
// power-of-two copy it makes of a picture wider or taller than the largest
// texture stays below 2^31.
const std::uint64_t maxBudget = std::uint64_t(1) << 29;

// Decoding speed that every format but HDR keeps at the budget, with room
// to spare: a 2^29-byte PNG, the slowest of them, takes about 12 s here.
const std::uint64_t bytesPerCpuSecond = std::uint64_t(32) << 20;

DecodeLimits limitsFor(std::uint64_t budget)
{
    budget = std::min(budget, maxBudget);
    DecodeLimits limits{};
    limits.pixelBytes = budget;
    // Files store at most four bytes for three decoded ones (HDR, 32-bit BMP
    // or DDS without alpha), with a mipmap chain on top.
    limits.fileBytes = off_t(2 * budget);
    // The file is mapped; a decoder holds its result and at most four times
    // as much besides (HDR's floats; PNG keeps its filtered rows), and
    // little else.
    limits.addressSpace = rlim_t(limits.fileBytes) + 4 * budget + (rlim_t(32) << 20);
    limits.cpuSeconds = std::max<rlim_t>(1, (budget + bytesPerCpuSecond - 1) / bytesPerCpuSecond);
    return limits;
}

DecodeLimits limits = limitsFor(maxBudget);

// A child whose processor time has not advanced for this long while it was
// not runnable is stuck, in a read that never returns say, and is killed.
const int stallMs = 2000;
// How long a killed child is given to die before the viewer stops waiting.
const int dyingMs = 100;
// How often the children are looked at while the viewer waits for one.
const int watchMs = 250;

// What a child leaves at the start of its result file, written last; the
// pixels follow.
struct DecodedHeader {
    std::uint32_t magic;
    std::int32_t width, height, channels;
};
const std::uint32_t headerMagic = 0x46414345; // "FACE"

// The pixel bytes a header promises, or 0 if its sizes are implausible.
std::uint64_t plausiblePixelBytes(const DecodedHeader &header)
{
    if (header.width <= 0 || header.height <= 0 || header.channels < 1 || header.channels > 4)
        return 0;
    const std::uint64_t bytes =
        std::uint64_t(header.width) * std::uint64_t(header.height) * std::uint64_t(header.channels);
    return bytes <= limits.pixelBytes ? bytes : 0;
}

struct Decode {
    pid_t pid = 0;           // 0: no child
    int pidfd = -1;          // readable once the child has ended
    int result = -1;         // the file the child writes its result to
    std::int64_t cpuNs = -1; // the child's processor time when last looked at
    long seenMs = 0;         // when it was last seen making progress
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

bool writeAll(int fd, const void *data, size_t bytes, off_t offset)
{
    const char *p = static_cast<const char *>(data);
    while (bytes > 0) {
        const ssize_t n = pwrite(fd, p, bytes, offset);
        if (n <= 0)
            return false;
        p += n, bytes -= size_t(n), offset += n;
    }
    return true;
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

// Address space the process has mapped now, in bytes.
rlim_t mappedBytes()
{
    unsigned long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
}

// Sets both the soft and the hard limit, never above the hard limit inherited.
void limit(int resource, rlim_t value)
{
    rlimit now{};
    getrlimit(resource, &now);
    value = std::min(value, now.rlim_max);
    const rlimit set = {value, value};
    setrlimit(resource, &set);
}

const int resultFd = 3; // where a child keeps its result file

// The child: read one regular file, decode it with SOIL and write the
// result. It exits as soon as anything is off; the viewer trusts nothing
// but a complete result.
[[noreturn]] void decodeInChild(int slot, const char *path, int result, pid_t viewer)
{
    // Never outlive the viewer, not even one that ended before this line.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != viewer)
        _exit(1);

    // Whatever the viewer inherited or installed: no signal is blocked, and
    // a fault or the processor limit ends the child at once.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGXCPU, SIGXFSZ})
        signal(sig, SIG_DFL);

    // The result on descriptor 3, /dev/null on 0 to 2 (the viewer prints
    // nothing, nor do its children), nothing else open.
    if (result != resultFd)
        dup2(result, resultFd);
    const int quiet = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < resultFd; ++fd)
        if (fd != quiet)
            dup2(quiet, fd);
    syscall(SYS_close_range, resultFd + 1, ~0U, 0);

    // Quick decodes finish in slot order, so that each upload overlaps the
    // decodes still running. Under memory pressure the kernel takes a
    // decoder before anything else.
    setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) + 1 + 2 * slot);
    const int oom = open("/proc/self/oom_score_adj", O_WRONLY);
    if (oom >= 0) {
        if (write(oom, "1000", 4) != 4) { // best effort, like the priority
        }
        close(oom);
    }

    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, limits.cpuSeconds); // soft and hard alike: SIGKILL
    limit(RLIMIT_AS, mappedBytes() + limits.addressSpace);
    useLoadingHeap(); // a fresh child would fault in every page of its buffers

    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info = {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        info.st_size > limits.fileBytes)
        _exit(1);
    // Mapped rather than read: no copy of the file, no fresh pages to clear.
    void *bytes = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    if (bytes == MAP_FAILED)
        _exit(1);
    close(file);
    // From here on nothing but the result file can be reached. A kernel that
    // refuses the filter leaves the child under its other limits alone.
    enterDecodeSandbox(sizeof(DecodedHeader) + limits.pixelBytes);

    if (decodeHooks.inChild)
        decodeHooks.inChild();

    DecodedHeader header = {headerMagic, 0, 0, 0};
    unsigned char *pixels =
        SOIL_load_image_from_memory(static_cast<const unsigned char *>(bytes), int(info.st_size), &header.width,
                                    &header.height, &header.channels, SOIL_LOAD_AUTO);
    const std::uint64_t pixelBytes = pixels ? plausiblePixelBytes(header) : 0;
    if (pixelBytes == 0 || !writeAll(resultFd, pixels, size_t(pixelBytes), sizeof header) ||
        !writeAll(resultFd, &header, sizeof header, 0))
        _exit(1);
    _exit(0);
}

// A file for a child's result: a memory file, or an unlinked temporary file
// where memory files are refused. Never descriptor 0, 1 or 2: in a viewer
// started with those closed, anything written to them would land in it.
int newResultFile()
{
    int fd = memfd_create("face", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    for (const char *dir : {"/dev/shm", "/tmp"})
        if (fd < 0)
            fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || fd >= resultFd)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, resultFd);
    close(fd);
    return moved;
}

// Whether the child has ended, waiting up to `waitMs` for it.
bool ended(const Decode &decode, int waitMs)
{
    if (decode.pidfd >= 0) {
        pollfd end = {decode.pidfd, POLLIN, 0};
        return poll(&end, 1, waitMs) > 0;
    }
    // No pidfd (a kernel before 5.3, or a child reaped by somebody else's
    // handler before it could be had): look, then wait.
    siginfo_t info{};
    if (waitid(P_PID, id_t(decode.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
        return true;
    poll(nullptr, 0, waitMs);
    return false;
}

// Lets go of the slot's child; its result file stays.
void forget(Decode &decode)
{
    if (decode.pidfd >= 0)
        close(decode.pidfd);
    decode.pid = 0;
    decode.pidfd = -1;
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
    for (int slot : slots)
        kill(decodes[slot].pid, SIGKILL);
    const long deadline = nowMs() + dyingMs;
    for (int slot : slots) {
        Decode &decode = decodes[slot];
        if (ended(decode, int(std::max(0L, deadline - nowMs())))) {
            reap(slot, decode);
        } else {
            abandoned.push_back(decode.pid);
            forget(decode);
        }
        close(decode.result);
        decode.result = -1;
    }
}

// The child's processor time in nanoseconds, or -1.
std::int64_t cpuNs(pid_t pid)
{
    clockid_t clock{};
    timespec t{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether the process is running or waiting for a processor.
bool runnable(pid_t pid)
{
    char path[32], stat[256] = "";
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, stat, sizeof stat - 1) < 0)
            stat[0] = '\0';
        close(fd);
    }
    const char *state = std::strrchr(stat, ')'); // the name before it may hold anything
    return state && state[1] == ' ' && state[2] == 'R';
}

// Stops every child that has made no progress for stallMs. A child that is
// merely slow, or starved by a busy machine, is left alone: only its own
// processor limit bounds it.
void watchChildren()
{
    const long now = nowMs();
    std::vector<int> stuck;
    for (int slot = 0; slot < faceSlots; ++slot) {
        Decode &decode = decodes[slot];
        if (decode.pid == 0 || ended(decode, 0))
            continue;
        const std::int64_t cpu = cpuNs(decode.pid);
        if (cpu != decode.cpuNs || runnable(decode.pid)) {
            decode.cpuNs = cpu;
            decode.seenMs = now;
        } else if (now - decode.seenMs >= stallMs) {
            stuck.push_back(slot);
        }
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
        pread(result, &header, sizeof header, 0) != ssize_t(sizeof header) || header.magic != headerMagic)
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
    } else if (!(bytes = std::malloc(size)) || !readAll(result, bytes, size)) {
        std::free(bytes);
        return 0;
    }
    // A side above GL_MAX_TEXTURE_SIZE is shrunk here by SOIL, as it would
    // be after an in-process decode.
    const GLuint texture =
        SOIL_create_OGL_texture(static_cast<const unsigned char *>(bytes) + sizeof header, header.width, header.height,
                                header.channels, SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y);
    if (sealed)
        munmap(bytes, size);
    else
        std::free(bytes);
    return texture;
}

} // namespace

DecodeLimits decodeLimits() { return limits; }

void setDecodeBudget(std::uint64_t pixelBytes) { limits = limitsFor(pixelBytes); }

void startFaceLoad(int slot, const char *path)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0)
        return;
    decode.result = newResultFile();
    if (decode.result < 0)
        return;
    prepareDecodeSandbox(resultFd);
    const pid_t viewer = getpid();
    pid_t pid = fork();
    if (pid < 0)
        pid = fork(); // refused once, under a passing shortage: one more try
    if (pid == 0)
        decodeInChild(slot, path, decode.result, viewer);
    if (pid < 0) {
        close(decode.result);
        decode.result = -1;
        return;
    }
    decode.pid = pid;
    decode.pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    decode.cpuNs = -1;
    decode.seenMs = nowMs();
}

GLuint finishFaceLoad(int slot)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0 && !loading) {
        useLoadingHeap();
        loading = true;
    }
    GLuint texture = 0;
    while (decode.pid != 0 && !ended(decode, watchMs))
        watchChildren();
    if (decode.pid != 0) {
        reap(slot, decode);
        texture = upload(decode.result);
    }
    if (decode.result >= 0)
        close(decode.result);
    decode.result = -1;
    endOfLoading();
    return texture;
}
