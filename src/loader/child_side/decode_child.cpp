#include "loader/child_side/decode_child.h"

#include "loader/child_side/child_process.h"
#include "loader/child_side/picture_stream.h"
#include "loader/child_side/sandbox.h"
#include "loader/shared/decode_limits.h"
#include "loader/shared/result.h"
#include "loader/shared/seams.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

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

    FILE *picture = pictureStream(bytes, std::uint64_t(info.st_size));
    if (!picture)
        _exit(1);
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
