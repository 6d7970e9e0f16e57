#include "isolated_decode.h"

#include <SOIL/SOIL.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

namespace {

// Limits for one picture.
const off_t maxFileBytes = off_t(256) << 20;        // the file itself
const std::uint64_t maxPixelBytes = std::uint64_t(1) << 29; // decoded; SOIL sizes in int
// An 8192 x 8192 JPEG decodes in about 1.5 s and 400 MB here; a picture
// that needs far more is not one anybody means to show on a cube face.
const rlim_t decodeAddressSpace = rlim_t(1536) << 20; // beyond what the child starts with
const rlim_t decodeCpuSeconds = 4;
const int decodeWallMilliseconds = 6000; // six decodes may share two cores

// What a child leaves at the start of its memory file; the pixels follow.
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
    return bytes <= maxPixelBytes ? bytes : 0;
}

struct Decode {
    pid_t pid = 0;   // 0: no decode under way
    int memory = -1; // the memory file the child writes
    long startedMs = 0;
};
Decode decodes[decodeSlots];

long nowMs()
{
    timespec t;
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

// Priorities of the decoding children. A quick decode runs at its slot's
// priority, earlier slots first: uploads go in slot order, so each upload then
// overlaps the decodes still running. A decode that has used 300 ms of
// processor time drops to one common, lower priority: slow pictures, good or
// hostile, then share the processor fairly, and none starves another.
int slotNice(int slot) { return 1 + 2 * slot; }
const int slowNice = 12;
const long slowAfterMicroseconds = 300000;

void becomeSlow(int) { setpriority(PRIO_PROCESS, 0, slowNice); }

// A fresh child faults in every page of the decoder's buffers one at a time.
// Big blocks are taken from the heap instead, whose first 96 MiB are marked
// for transparent huge pages, and freed blocks stay there for reuse. On a
// 2048 x 2048 PNG this halves the child's system time; with all six decodes
// in parallel, start-up is about 6 % faster.
void prepareHeapForDecoding()
{
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const size_t arenaBytes = size_t(96) << 20;
    const uintptr_t hugePage = uintptr_t(2) << 20;
    void *arena = std::malloc(arenaBytes);
    if (!arena)
        return;
    const uintptr_t start = (uintptr_t(arena) + hugePage - 1) & ~(hugePage - 1);
    const uintptr_t end = (uintptr_t(arena) + arenaBytes) & ~(hugePage - 1);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    std::free(arena);
}

// The child: read one regular file, decode it with SOIL, write the result
// to `memory`. Exits 0 only with a complete, plausible result.
[[noreturn]] void decodeInChild(int slot, const char *path, int memory)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the viewer
    // Quick decodes in slot order, slow ones side by side (see slotNice).
    setpriority(PRIO_PROCESS, 0, slotNice(slot));
    struct sigaction slow = {};
    slow.sa_handler = becomeSlow;
    slow.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &slow, nullptr);
    const itimerval slowAfter = {{0, 0}, {0, slowAfterMicroseconds}}; // processor time, user and system
    setitimer(ITIMER_PROF, &slowAfter, nullptr);
    const int quiet = open("/dev/null", O_RDWR); // the viewer prints nothing, nor do its children
    dup2(quiet, 1);
    dup2(quiet, 2);
    // A fault ends the child at once, whatever handlers its parent installed.
    const int faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    for (int fault : faults)
        signal(fault, SIG_DFL);

    const rlimit noCore = {0, 0};
    const rlimit cpu = {decodeCpuSeconds, decodeCpuSeconds + 1}; // SIGXCPU, then SIGKILL
    const rlim_t space = mappedBytes() + decodeAddressSpace;
    const rlimit addressSpace = {space, space};
    setrlimit(RLIMIT_CORE, &noCore);
    setrlimit(RLIMIT_CPU, &cpu);
    setrlimit(RLIMIT_AS, &addressSpace);

    prepareHeapForDecoding();

    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat info;
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        info.st_size > maxFileBytes)
        _exit(1);
    // Mapped rather than read: no copy of the file, no fresh pages to clear.
    void *bytes = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    if (bytes == MAP_FAILED)
        _exit(1);

    DecodedHeader header = {headerMagic, 0, 0, 0};
    unsigned char *pixels =
        SOIL_load_image_from_memory(static_cast<const unsigned char *>(bytes), int(info.st_size), &header.width,
                                    &header.height, &header.channels, SOIL_LOAD_AUTO);
    const std::uint64_t pixelBytes = pixels ? plausiblePixelBytes(header) : 0;
    if (pixelBytes == 0 || !writeAll(memory, &header, sizeof header, 0) ||
        !writeAll(memory, pixels, size_t(pixelBytes), sizeof header))
        _exit(1);
    _exit(0);
}

// Waits until the child ends or its time is up, then reaps it. True if it
// finished its work (exit status 0) in time.
bool reap(Decode &decode)
{
    const int pidfd = int(syscall(SYS_pidfd_open, decode.pid, 0));
    int status = 0;
    bool timedOut = false;
    pid_t done = 0;
    while ((done = waitpid(decode.pid, &status, WNOHANG)) == 0) {
        const long left = decode.startedMs + decodeWallMilliseconds - nowMs();
        if (left <= 0) {
            kill(decode.pid, SIGKILL);
            while ((done = waitpid(decode.pid, &status, 0)) < 0 && errno == EINTR) {
            }
            timedOut = true;
            break;
        }
        if (pidfd >= 0) {
            pollfd ended = {pidfd, POLLIN, 0};
            poll(&ended, 1, int(left));
        } else {
            usleep(1000);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    decode.pid = 0;
    return done > 0 && !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Checks the child's memory file and uploads it. 0 if anything is off.
GLuint upload(int memory)
{
    // Sealed, the file can no longer change size or content under the mapping
    // below, whatever the child left behind.
    struct stat info;
    DecodedHeader header;
    if (fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE) != 0 || fstat(memory, &info) != 0 ||
        info.st_size < off_t(sizeof header) || pread(memory, &header, sizeof header, 0) != ssize_t(sizeof header) || header.magic != headerMagic)
        return 0;
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    const std::uint64_t pixelBytes = plausiblePixelBytes(header);
    if (pixelBytes == 0 || header.width > maxSide || header.height > maxSide ||
        std::uint64_t(info.st_size) != sizeof header + pixelBytes)
        return 0;

    void *mapped = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_SHARED | MAP_POPULATE, memory, 0);
    if (mapped == MAP_FAILED)
        return 0;
    const unsigned char *pixels = static_cast<const unsigned char *>(mapped) + sizeof header;
    const GLuint texture = SOIL_create_OGL_texture(pixels, header.width, header.height, header.channels,
                                                   SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y);
    munmap(mapped, size_t(info.st_size));
    return texture;
}

} // namespace

void startIsolatedDecode(int slot, const char *path)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0)
        return;
    decode.memory = memfd_create("face", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (decode.memory < 0)
        return;
    decode.startedMs = nowMs();
    decode.pid = fork();
    if (decode.pid == 0) {
        for (const Decode &other : decodes)
            if (&other != &decode && other.memory >= 0)
                close(other.memory);
        decodeInChild(slot, path, decode.memory);
    }
    if (decode.pid < 0) {
        decode.pid = 0;
        close(decode.memory);
        decode.memory = -1;
    }
}

GLuint textureFromIsolatedDecode(int slot)
{
    Decode &decode = decodes[slot];
    if (decode.pid == 0)
        return 0;
    const GLuint texture = reap(decode) ? upload(decode.memory) : 0;
    close(decode.memory);
    decode.memory = -1;
    return texture;
}
