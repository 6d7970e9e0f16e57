#include "decode_child.h"

#include "decode_sandbox.h"
#include "isolated_decode.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// A limit in rlim_t, which is 32 bits wide on some systems: anything it
// cannot hold is no limit at all.
rlim_t asLimit(std::uint64_t value) { return value >= std::uint64_t(RLIM_INFINITY) ? RLIM_INFINITY : rlim_t(value); }

// Sets both the soft and the hard limit, never above the hard limit inherited.
void limit(int resource, std::uint64_t value)
{
    rlimit now{};
    getrlimit(resource, &now);
    const rlim_t capped = std::min(asLimit(value), now.rlim_max);
    const rlimit set = {capped, capped};
    setrlimit(resource, &set);
}

// The address space this process has mapped, in bytes: found by halving
// the soft limit until one more page only just maps, so that it needs no
// /proc. About fifty tries of a page each.
std::uint64_t mappedBytes()
{
    rlimit inherited{};
    getrlimit(RLIMIT_AS, &inherited);
    const std::uint64_t page = std::uint64_t(sysconf(_SC_PAGESIZE));
    const auto oneMorePageMaps = [&](std::uint64_t pages) {
        const rlimit probe = {std::min(asLimit(pages * page), inherited.rlim_max), inherited.rlim_max};
        if (setrlimit(RLIMIT_AS, &probe) != 0)
            return false;
        void *more = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (more == MAP_FAILED)
            return false;
        munmap(more, page);
        return true;
    };
    // Smallest number of pages under which one more maps: what is mapped, plus one.
    std::uint64_t fails = 0, maps = UINT64_MAX / page;
    if (oneMorePageMaps(maps))
        while (maps - fails > 1) {
            const std::uint64_t middle = fails + (maps - fails) / 2;
            (oneMorePageMaps(middle) ? maps : fails) = middle;
        }
    setrlimit(RLIMIT_AS, &inherited);
    return (maps - 1) * page;
}

// Sets the heap so that every buffer the decoder uses is a mapping of its
// own, which the child alone maps, and whose use the watchdog can see
// (docs/loader.md): every buffer over 128 KiB is mapped afresh and unmapped
// when freed, and the heap is trimmed as it shrinks. The threshold is fixed,
// for glibc's own would rise and serve such buffers from the heap. The heap's
// free memory, inherited from the viewer, goes back to the system and out of
// the allocator's reach, held for good: it would serve such buffers first.
void freshBuffers()
{
    const size_t threshold = 128 << 10;
    mallopt(M_MMAP_THRESHOLD, int(threshold));
    mallopt(M_TRIM_THRESHOLD, int(threshold));
    malloc_trim(0);
    size_t piece = 1;
    while (piece < mallinfo2().fordblks && piece <= SIZE_MAX / 2)
        piece *= 2;
    while (piece >= threshold) {
        const size_t mapped = mallinfo2().hblks;
        void *held = std::malloc(piece);
        if (!held || mallinfo2().hblks != mapped) { // not from the heap: a smaller piece
            std::free(held);
            piece /= 2;
        }
    }
}

// Closes every descriptor numbered `first` or more. close_range does that
// in one call (Linux 5.9 on). Before it, every number below the hard limit
// on open files is looked at with poll, 1024 a call, and the open ones are
// closed: under 1 ms of processor time per hundred thousand numbers.
bool closeFrom(int first)
{
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return true;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const std::uint64_t end = std::min<std::uint64_t>(files.rlim_max, 1U << 30); // the kernel's own ceiling
    const std::uint64_t batch = std::min<std::uint64_t>(1024, std::max<rlim_t>(files.rlim_cur, 1));
    pollfd fds[1024];
    for (std::uint64_t base = std::uint64_t(first); base < end; base += batch) {
        const nfds_t count = nfds_t(std::min(batch, end - base));
        for (nfds_t i = 0; i < count; ++i)
            fds[i] = {int(base + i), 0, 0};
        if (poll(fds, count, 0) < 0)
            return false;
        for (nfds_t i = 0; i < count; ++i)
            if (!(fds[i].revents & POLLNVAL))
                close(fds[i].fd);
    }
    return true;
}

bool writeAll(int fd, const unsigned char *data, std::uint64_t bytes, std::uint64_t offset)
{
    while (bytes > 0) {
        const ssize_t n = pwrite(fd, data, size_t(std::min<std::uint64_t>(bytes, 1U << 30)), off_t(offset));
        if (n <= 0)
            return false;
        data += n, bytes -= std::uint64_t(n), offset += std::uint64_t(n);
    }
    return true;
}

// The picture, mapped, read as a stream that keeps a regular file's rules:
// a seek to any position from 0 on succeeds, one before 0 fails and leaves
// the position where it was, and a read past the end gives nothing. So a
// decoder reads it exactly as it reads the file through stdio, damaged or
// not, and a skip it computes wrongly cannot take it out of the mapping.
struct MappedFile {
    const char *bytes;
    off64_t size, at;
};

ssize_t readMapped(void *cookie, char *to, size_t count)
{
    auto *file = static_cast<MappedFile *>(cookie);
    const size_t n = size_t(std::min<off64_t>(file->size - std::min(file->at, file->size), off64_t(count)));
    if (n > 0)
        std::memcpy(to, file->bytes + file->at, n), file->at += off64_t(n);
    return ssize_t(n);
}

int seekMapped(void *cookie, off64_t *offset, int whence)
{
    auto *file = static_cast<MappedFile *>(cookie);
    const off64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->at : file->size;
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) ||
        (*offset < 0 ? from + *offset < 0 : *offset > INT64_MAX - from)) {
        errno = EINVAL;
        return -1;
    }
    *offset = file->at = from + *offset;
    return 0;
}

// Turns the picture upside down in place, a row against its mirror, a
// piece at a time.
void flipRows(unsigned char *pixels, std::uint64_t rowBytes, int rows)
{
    unsigned char piece[4096];
    for (std::uint64_t top = 0, bottom = std::uint64_t(rows) - 1; top < bottom; ++top, --bottom)
        for (std::uint64_t at = 0; at < rowBytes; at += sizeof piece) {
            const size_t n = size_t(std::min<std::uint64_t>(sizeof piece, rowBytes - at));
            unsigned char *a = pixels + top * rowBytes + at, *b = pixels + bottom * rowBytes + at;
            std::memcpy(piece, a, n), std::memcpy(a, b, n), std::memcpy(b, piece, n);
        }
}

// Writes the pixels, then the header. The decoder's buffer goes back to the
// system as it is written, whole pages at a time, so that the child never
// holds the picture twice.
bool writeResult(const DecodedHeader &header, unsigned char *pixels, std::uint64_t bytes)
{
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const auto intoPage = [&](const unsigned char *p) { return reinterpret_cast<std::uintptr_t>(p) % page; };
    unsigned char *released = pixels + (page - intoPage(pixels)) % page;
    const std::uint64_t chunk = std::uint64_t(8) << 20;
    for (std::uint64_t done = 0; done < bytes;) {
        const std::uint64_t n = std::min(chunk, bytes - done);
        if (!writeAll(resultFd, pixels + done, n, sizeof header + done))
            return false;
        done += n;
        unsigned char *const end = pixels + done - intoPage(pixels + done);
        if (end > released)
            madvise(released, size_t(end - released), MADV_DONTNEED), released = end;
    }
    return writeAll(resultFd, reinterpret_cast<const unsigned char *>(&header), sizeof header, 0);
}

} // namespace

void decodeInChild(int slot, const char *path, int result, int go, pid_t viewer, Decoder decode)
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

    // The result on descriptor 3, the signal to start on 4, /dev/null on 0
    // to 2 (the viewer prints nothing, nor do its children), nothing else.
    if (dup2(result, resultFd) != resultFd || dup2(go, goFd) != goFd)
        _exit(1);
    const int quiet = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < resultFd; ++fd)
        if (fd != quiet && dup2(quiet, fd) != fd)
            _exit(1);
    if (!closeFrom(goFd + 1))
        _exit(1);

    // Under memory pressure the kernel takes a decoder before anything else.
    const int oom = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (oom >= 0) {
        if (write(oom, "1000", 4) != 4) { // best effort, where /proc is mounted
        }
        close(oom);
    }

    // Until the viewer lets it go; it keeps only a few decodes running at once.
    std::uint64_t started = 0;
    if (read(goFd, &started, sizeof started) != ssize_t(sizeof started))
        _exit(1);
    close(goFd);

    const DecodeLimits limits = decodeLimits();
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, limits.cpuSeconds); // soft and hard alike: SIGKILL
    limit(RLIMIT_AS, mappedBytes() + limits.addressSpace);
    freshBuffers();

    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info = {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        std::uint64_t(info.st_size) > limits.fileBytes)
        _exit(1);
    // Mapped rather than read: no copy of the file, no fresh pages to clear;
    // its pages come in as the decoder reads them, for less than populating
    // the mapping at once costs.
    void *bytes = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, file, 0);
    if (bytes == MAP_FAILED)
        _exit(1);
    close(file);
    // From here on nothing but the result file can be reached.
    if (!enterDecodeSandbox(sizeof(DecodedHeader) + limits.pixelBytes))
        _exit(1);

    if (decodeHooks.inChild)
        decodeHooks.inChild(slot);

    MappedFile mapped = {static_cast<const char *>(bytes), off64_t(info.st_size), 0};
    FILE *picture = fopencookie(&mapped, "rb", {readMapped, nullptr, seekMapped, nullptr});
    if (!picture)
        _exit(1);
    __fsetlocking(picture, FSETLOCKING_BYCALLER); // one thread: its bytes come twice as fast unlocked
    DecodedHeader header = {decodedMagic, 0, 0, 0};
    unsigned char *pixels = decode(picture, &header.width, &header.height, &header.channels, 0);
    const std::uint64_t pixelBytes = pixels ? plausiblePixelBytes(header) : 0;
    malloc_trim(0); // what the decoder has freed goes back before the result is written
    if (pixelBytes == 0)
        _exit(1);
    // Here rather than in the viewer, which has the upload to do.
    flipRows(pixels, pixelBytes / std::uint64_t(header.height), header.height);
    if (!writeResult(header, pixels, pixelBytes))
        _exit(1);
    _exit(0);
}
