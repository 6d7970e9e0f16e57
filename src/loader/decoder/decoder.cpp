#include "loader/decoder/decoder.h"

#include "loader/decoder/picture_stream.h"
#include "loader/decoder/sandbox.h"
#include "loader/shared/decode_limits.h"
#include "loader/shared/decoder_command.h"
#include "loader/shared/result.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// What the program maps of its own before it decodes: itself, the C
// library, libseccomp, SOIL with the GL libraries it needs, its stack and
// heap; 13 MiB on x86-64.
const std::uint64_t ownBytes = std::uint64_t(64) << 20;

// A number the viewer gave, or false if it is not one.
bool number(const char *text, std::uint64_t &value)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    value = parsed;
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
}

// Sets both the soft and the hard limit, never above the hard limit
// inherited; a value rlim_t cannot hold (it is 32 bits wide on some
// systems) is no limit at all.
void limit(int resource, std::uint64_t value)
{
    rlimit now{};
    getrlimit(resource, &now);
    const rlim_t wanted = value >= std::uint64_t(RLIM_INFINITY) ? RLIM_INFINITY : rlim_t(value);
    const rlim_t capped = std::min(wanted, now.rlim_max);
    const rlimit set = {capped, capped};
    setrlimit(resource, &set);
}

// Its limits, from the budget and slowdown the viewer gave; under memory
// pressure the kernel takes a decoder before anything else; and every
// buffer over 128 KiB is a mapping of its own, made afresh and unmapped when
// freed, whose use the watchdog can see. The threshold is fixed: glibc's own
// rises and serves such buffers from the heap.
void limitItself(const DecodeLimits &limits)
{
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, limits.cpuSeconds); // soft and hard alike: SIGKILL
    limit(RLIMIT_AS, ownBytes + limits.addressSpace);
    const int oom = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
    if (oom >= 0) {
        if (write(oom, "1000", 4) != 4) { // best effort, where /proc is mounted
        }
        close(oom);
    }
    const int threshold = 128 << 10;
    mallopt(M_MMAP_THRESHOLD, threshold);
    mallopt(M_TRIM_THRESHOLD, threshold);
}

// The picture, mapped, if it is a regular file of 1 to `maxBytes` bytes;
// null otherwise. O_NONBLOCK: opening a FIFO must not wait for a writer.
// Mapped rather than read: no copy of the file, no fresh pages to clear;
// its pages come in as the decoder reads them, for less than populating the
// mapping at once costs.
const void *mapPicture(const char *path, std::uint64_t maxBytes, std::uint64_t &size)
{
    const int file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info = {};
    const bool fits = file >= 0 && fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
                      std::uint64_t(info.st_size) <= maxBytes;
    size = fits ? std::uint64_t(info.st_size) : 0;
    void *bytes = fits ? mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, file, 0) : MAP_FAILED;
    if (file >= 0)
        close(file);
    return bytes == MAP_FAILED ? nullptr : bytes;
}

bool writeAll(const unsigned char *data, std::uint64_t bytes, std::uint64_t offset)
{
    while (bytes > 0) {
        const ssize_t n = pwrite(resultFd, data, size_t(std::min<std::uint64_t>(bytes, 1U << 30)), off_t(offset));
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
// system as it is written, whole pages at a time, so that the decoder never
// holds the picture twice.
bool writeResult(const DecodedHeader &header, unsigned char *pixels, std::uint64_t bytes)
{
    const std::uintptr_t page = std::uintptr_t(sysconf(_SC_PAGESIZE));
    const auto intoPage = [&](const unsigned char *p) { return reinterpret_cast<std::uintptr_t>(p) % page; };
    unsigned char *released = pixels + (page - intoPage(pixels)) % page;
    const std::uint64_t chunk = std::uint64_t(8) << 20;
    for (std::uint64_t done = 0; done < bytes;) {
        const std::uint64_t n = std::min(chunk, bytes - done);
        if (!writeAll(pixels + done, n, sizeof header + done))
            return false;
        done += n;
        unsigned char *const end = pixels + done - intoPage(pixels + done);
        if (end > released)
            madvise(released, size_t(end - released), MADV_DONTNEED), released = end;
    }
    return writeAll(reinterpret_cast<const unsigned char *>(&header), sizeof header, 0);
}

// Inside the sandbox: decodes the mapped picture and writes the result.
bool decodeToResult(const void *bytes, std::uint64_t size, Decoder decode)
{
    FILE *picture = pictureStream(bytes, size);
    if (!picture)
        return false;
    DecodedHeader header = {decodedMagic, 0, 0, 0};
    unsigned char *pixels = decode(picture, &header.width, &header.height, &header.channels, 0);
    const std::uint64_t pixelBytes = pixels ? plausiblePixelBytes(header) : 0;
    malloc_trim(0); // what the decoder has freed goes back before the result is written
    if (pixelBytes == 0)
        return false;
    // Here rather than in the viewer, which has the upload to do.
    flipRows(pixels, pixelBytes / std::uint64_t(header.height), header.height);
    return writeResult(header, pixels, pixelBytes);
}

} // namespace

void runDecoder(int argc, char **argv, Decoder decode)
{
    std::uint64_t viewer = 0, budget = 0, slowdown = 0;
    if (argc < decoderArguments || !number(argv[viewerArgument], viewer) || !number(argv[budgetArgument], budget) ||
        !number(argv[slowdownArgument], slowdown))
        _exit(2);
    // A step of nice below the viewer: its own work, starting the next
    // decoder and uploading, comes first; beside other programs a decoder
    // keeps most of the viewer's share (docs/benchmark.md).
    (void)nice(1);
    // Never outlive the viewer, not even one that ended before this line.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (std::uint64_t(getppid()) != viewer)
        _exit(1);

    setDecodeSlowdown(slowdown);
    setDecodeBudget(budget);
    const DecodeLimits limits = decodeLimits();
    limitItself(limits);
    std::uint64_t size = 0;
    const void *picture = mapPicture(argv[pictureArgument], limits.fileBytes, size);
    // From here on nothing but the result file can be reached.
    if (!picture || !enterDecodeSandbox(sizeof(DecodedHeader) + limits.pixelBytes))
        _exit(1);
    _exit(decodeToResult(picture, size, decode) ? 0 : 1);
}
