// The decoder program on its own, started as the viewer starts it, with
// stb_image (of SOIL's family) as its decoder. Built for this machine and,
// on x86-64, as a 32-bit x86 program too: in both, the decoder sets itself
// up, enters its sandbox and decodes every format SOIL reads that stb_image
// reads too, small and large, just as it decodes unfiltered in this
// process; holds nothing but its result; dies at anything beyond decoding;
// and without its filter does not decode.

#include "bounded_wait.h"
#include "loader/shared/decode_limits.h"
#include "loader/shared/result.h"
#include "loader/viewer_side/decoder_program.h"
#include "process_view.h"
#include "refuse.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

namespace {

// A picture of width x height in `format`, one SOIL reads too, different
// everywhere.
std::string encode(const std::string &format, int width, int height)
{
    std::vector<unsigned char> rgb;
    std::vector<float> light;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int value : {x * 5, y * 7, x * y}) {
                rgb.push_back(static_cast<unsigned char>(value));
                light.push_back(float(value & 255) / 255);
            }
    std::string out;
    const auto put = [](void *to, void *data, int size) { static_cast<std::string *>(to)->append((char *)data, size); };
    if (format == "png")
        stbi_write_png_to_func(put, &out, width, height, 3, rgb.data(), width * 3);
    else if (format == "bmp")
        stbi_write_bmp_to_func(put, &out, width, height, 3, rgb.data());
    else if (format == "tga")
        stbi_write_tga_to_func(put, &out, width, height, 3, rgb.data());
    else if (format == "jpeg")
        stbi_write_jpg_to_func(put, &out, width, height, 3, rgb.data(), 90);
    else if (format == "hdr")
        stbi_write_hdr_to_func(put, &out, width, height, 3, light.data());
    else if (format == "psd") { // raw, one plane per channel, 16-bit fields big-endian
        const std::uint16_t fields[] = {1, 0, 0, 0, 3, 0, std::uint16_t(height), 0, std::uint16_t(width), 8, 3, 0,
                                        0, 0, 0, 0, 0, 0};
        out = "8BPS";
        for (std::uint16_t field : fields)
            out += char(field >> 8), out += char(field);
        for (int c = 0; c < 3; ++c)
            for (size_t i = size_t(c); i < rgb.size(); i += 3)
                out += char(rgb[i]);
    }
    return out;
}

// What the decoder hands back: its header and pixels, or "" if none.
std::string decodedHere(const std::string &bytes)
{
    DecodedHeader header = {decodedMagic, 0, 0, 0};
    unsigned char *pixels =
        stbi_load_from_memory(reinterpret_cast<const unsigned char *>(bytes.data()), int(bytes.size()), &header.width,
                              &header.height, &header.channels, 0);
    if (!pixels)
        return "";
    std::string out(reinterpret_cast<const char *>(&header), sizeof header);
    const size_t row = size_t(header.width) * size_t(header.channels);
    for (int y = header.height - 1; y >= 0; --y) // bottom row first
        out.append(reinterpret_cast<const char *>(pixels) + size_t(y) * row, row);
    stbi_image_free(pixels);
    return out;
}

// A decoder started as the viewer starts it, decoding `path`, and doing
// `behaviour` first (test_decoder.cpp).
struct Decoder {
    explicit Decoder(const std::string &path, const char *behaviour = nullptr)
        : result(memfd_create("face", MFD_CLOEXEC)), pid(startDecoder(TEST_DECODER, path, result, behaviour))
    {}
    // Its exit status and its result, once it has ended.
    std::pair<int, std::string> finish() const
    {
        int status = 0;
        EXPECT_EQ(waitBounded(pid, &status), pid) << "the decoder never ended";
        std::string out(size_t(lseek(result, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(result, out.data(), out.size(), 0), ssize_t(out.size()));
        close(result);
        return {status, out};
    }
    int result;
    pid_t pid;
};

class DecoderProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cubeview-decoder-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    }

    std::string dir;
};

TEST_F(DecoderProgram, EveryFormatDecodesUnderTheFilterAsWithout)
{
    for (const char *format : {"png", "bmp", "tga", "jpeg", "hdr", "psd"})
        for (auto [width, height] : {std::pair{37, 23}, {1536, 1024}}) {
            SCOPED_TRACE(::testing::Message() << format << " " << width << " x " << height);
            const std::string bytes = encode(format, width, height), expected = decodedHere(bytes);
            ASSERT_GT(expected.size(), size_t(width * height)) << "not read by the decoder";
            const auto [status, result] = Decoder(write(format, bytes), "buffers").finish();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
            EXPECT_TRUE(result == expected);
        }
}

// In a process of its own, as a viewer with descriptors of its own up to
// the limit and an environment that would reach into a decoder: a decoder
// at work for ever, as seen from outside once its filter is in force, to
// standard error. Exits with 0 if that is as it must be.
[[noreturn]] void lookAtADecoder(const std::string &dir, bool withoutCloseRange)
{
    if (withoutCloseRange && !refuse({{"close_range", ENOSYS}})) // as on Linux before 5.9
        _exit(2);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    dup2(2, 100), dup2(2, int(files.rlim_max) - 1);
    setenv("GLIBC_TUNABLES", "glibc.malloc.mmap_threshold=4096", 1);
    const pid_t decoder = Decoder(dir + "/good", "busy").pid;
    within([&] { return filtersOf(decoder) > filtersOf(getpid()) || stateOf(decoder) == 'Z'; });
    const std::string space = proc(decoder, "limits", "Max address space");
    const bool spaceOk =
        space.find("unlimited") != std::string::npos || std::stoull(space) >= decodeLimits().addressSpace;
    const std::string seen = confinementOf(decoder) + "; OOM score " + proc(decoder, "oom_score_adj", "") +
                             ", address space " + (spaceOk ? "ok" : space);
    std::fprintf(stderr, "%s\n", seen.c_str());
    kill(decoder, SIGKILL);
    _exit(seen == "test_decoder_stb" DECODER_SUFFIX ": 0 /dev/null, 1 /dev/null, 2 /dev/null, 3 /memfd:face (deleted); "
                  "seccomp 2, no new privileges 1; environment empty; OOM score 1000, address space ok"
              ? 0
              : 1);
}

TEST_F(DecoderProgram, HoldsNothingButItsResultEvenWithoutCloseRange)
{
    write("good", encode("png", 8, 8));
    EXPECT_EXIT(lookAtADecoder(dir, false), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(lookAtADecoder(dir, true), ::testing::ExitedWithCode(0), "") << "without close_range";
}

TEST_F(DecoderProgram, WhateverItTriesBeyondDecodingEndsIt)
{
    std::vector<const char *> attempts = {"open-file", "map-executable-memory", "map-the-result",
                                          "make-memory-executable", "write-elsewhere"};
#if defined(__NR_mmap2) && defined(__NR_mmap) // 32-bit x86; 32-bit ARM has no old mmap
    attempts.push_back("old-mmap");
#endif
    const std::string good = write("good", encode("png", 8, 8));
    for (const char *attempt : attempts) {
        const auto [status, result] = Decoder(good, attempt).finish();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << attempt;
        EXPECT_EQ(result, "") << attempt;
    }
}

// In a process of its own: a decoder of `bytes` with these calls refused
// (a filter is inherited, across exec too); exits with 0 if it decoded them
// as unfiltered, or not at all.
[[noreturn]] void decodeRefusing(const std::vector<Refusal> &refusals, const std::string &bytes, bool decodes,
                                 const std::string &dir)
{
    if (!refuse(refusals))
        _exit(2);
    const std::string result = Decoder(dir + "/good").finish().second;
    _exit((decodes ? result == decodedHere(bytes) : result.empty()) ? 0 : 1);
}

TEST_F(DecoderProgram, WithoutItsFilterItDoesNotDecodeUnlessTheKernelHasNoSeccomp)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string bytes = encode("png", 8, 8);
    write("good", bytes);
    const struct {
        const char *name;
        std::vector<Refusal> refusals;
        bool decodes;
    } cases[] = {
        {"a filter that could not be built", {{"pipe2", EMFILE}}, false}, // it is compiled through a pipe
        {"a filter the kernel refused", {{"seccomp", EPERM}}, false},
        {"the same, and no answer on seccomp", {{"seccomp", EPERM}, {"prctl", EPERM, PR_GET_SECCOMP}}, false},
        {"a kernel without seccomp", {{"seccomp", ENOSYS}, {"prctl", EINVAL, PR_GET_SECCOMP}}, true},
    };
    for (const auto &c : cases)
        EXPECT_EXIT(decodeRefusing(c.refusals, bytes, c.decodes, dir), ::testing::ExitedWithCode(0), "") << c.name;
}

// The limits at the full budget, as docs/loader.md gives them for 64-bit
// and 32-bit processes; no budget goes beyond it, and no decoder gets less
// than a second.
TEST(DecodeLimits, AsDocumented)
{
    setDecodeBudget(std::uint64_t(1) << 40);
    const DecodeLimits full = decodeLimits();
    setDecodeBudget(1);
    const std::vector<std::uint64_t> seen = {full.pixelBytes, full.fileBytes, full.addressSpace, full.cpuSeconds,
                                             decodeLimits().cpuSeconds};
    const std::vector<std::uint64_t> documented =
        sizeof(void *) == 8 ? std::vector<std::uint64_t>{1 << 29, 1 << 30, (std::uint64_t(3) << 30) + (1 << 25), 80, 1}
                            : std::vector<std::uint64_t>{1 << 28, 1 << 29, (std::uint64_t(3) << 29) + (1 << 25), 40, 1};
    EXPECT_EQ(seen, documented);
    setDecodeBudget(std::uint64_t(1) << 29);
}

} // namespace
