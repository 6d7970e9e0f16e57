// The decoder program as the tests build it: the viewer's own, but for one
// argument more, naming what it does inside its sandbox before it decodes,
// or instead: what a hostile picture could make a decoder do. Built with
// SOIL's decoder for the loader's tests, and with stb_image for the
// decoder's own (TEST_DECODER_STB), which run in a second architecture too,
// where SOIL cannot be installed beside the first.

#include "loader/decoder/decoder.h"
#include "loader/shared/decode_limits.h"
#include "loader/shared/decoder_command.h"
#include "loader/shared/result.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#ifdef TEST_DECODER_STB
#include <stb/stb_image.h>
#else
#include <SOIL/stb_image_aug.h>
#endif

namespace {

void *anonymous(size_t bytes, int protection = PROT_READ | PROT_WRITE)
{
    return mmap(nullptr, bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

// Results consistent but for one thing: the header, and how many bytes of
// pixels follow it.
const struct {
    const char *name;
    DecodedHeader header;
    std::uint64_t pixelBytes;
} forgeries[] = {
    {"not-a-result", {decodedMagic + 1, 4, 4, 3}, 48},
    {"one-byte-short", {decodedMagic, 4, 4, 3}, 47},
    {"five-channels", {decodedMagic, 4, 4, 5}, 80},
    {"negative-sides", {decodedMagic, -4, -4, 3}, 48}, // whose product is 16
    {"header-alone", {decodedMagic, 4, 4, 5}, 0},      // as many as implausible sizes allow
};
const DecodedHeader *forged = nullptr;
std::uint64_t forgedBytes = 0;

// Writes the forged result, and ends as a decoder that is done.
void forge()
{
    const std::string pixels(forgedBytes, '\x80');
    pwrite(resultFd, pixels.data(), pixels.size(), sizeof *forged);
    pwrite(resultFd, forged, sizeof *forged, 0);
    _exit(0);
}

const struct {
    const char *name;
    void (*act)();
} behaviours[] = {
    // Turns for ever in registers, touching no memory.
    {"busy",
     [] {
         for (std::uint64_t i = 0;; ++i)
             asm volatile("" : "+r"(i));
     }},
    // Goes over and over 4 MiB it holds already, as a decoder's pass in
    // place does, which faults nothing in: at work for ever, and only its
    // limits stop it.
    {"passes",
     [] {
         auto *memory = static_cast<volatile char *>(anonymous(4 << 20));
         for (std::uint64_t pass = 0;; ++pass)
             for (size_t i = 0; i < (4 << 20); i += 64)
                 memory[i] = char(pass);
     }},
    // Pixels up to the file's limit, then one byte more.
    {"too-long",
     [] {
         const std::uint64_t bytes = decodeLimits().pixelBytes;
         const DecodedHeader header = {decodedMagic, 4, 4, 3};
         pwrite(resultFd, &header, sizeof header, 0);
         pwrite(resultFd, std::string(bytes, '\x80').data(), bytes, sizeof header);
         pwrite(resultFd, "!", 1, off_t(sizeof header + bytes));
         _exit(0);
     }},
    // What glibc does with a buffer over 128 KiB: maps it on its own, grows,
    // shrinks and returns it. Then the decode.
    {"buffers",
     [] {
         void *big = mremap(anonymous(1 << 20), 1 << 20, 4 << 20, MREMAP_MAYMOVE);
         big = mremap(big, 4 << 20, 2 << 20, 0);
         munmap(big, 2 << 20);
     }},
    // Beyond decoding.
    {"open-file", [] { open("/etc/hostname", O_RDONLY); }},
    {"map-executable-memory", [] { anonymous(4096, PROT_READ | PROT_EXEC); }},
    {"map-the-result", [] { (void)mmap(nullptr, 4096, PROT_READ, MAP_SHARED, resultFd, 0); }},
    {"make-memory-executable", [] { mprotect(anonymous(4096), 4096, PROT_READ | PROT_EXEC); }},
    {"write-elsewhere", [] { pwrite(0, "!", 1, 0); }},
    // The old mmap of 32-bit x86 takes its arguments from memory, where the
    // filter cannot read them.
    {"old-mmap",
     [] {
#if defined(__NR_mmap2) && defined(__NR_mmap)
         const unsigned long arguments[6] = {0, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, ~0UL, 0};
         syscall(SYS_mmap, arguments);
#endif
     }},
};

void (*behaviour)() = nullptr;

unsigned char *decodeAfterBehaviour(FILE *file, int *width, int *height, int *channels, int forceChannels)
{
    if (behaviour)
        behaviour();
    return stbi_load_from_file(file, width, height, channels, forceChannels);
}

} // namespace

int main(int argc, char **argv)
{
    for (const auto &known : behaviours)
        if (argc > decoderArguments && std::strcmp(argv[decoderArguments], known.name) == 0)
            behaviour = known.act;
    for (const auto &forgery : forgeries)
        if (argc > decoderArguments && std::strcmp(argv[decoderArguments], forgery.name) == 0)
            behaviour = forge, forged = &forgery.header, forgedBytes = forgery.pixelBytes;
    if (argc > decoderArguments && !behaviour)
        return 3;
    runDecoder(argc, argv, decodeAfterBehaviour);
}
