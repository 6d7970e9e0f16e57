// The face loaders. The isolated one shows what SOIL shows in-process,
// pixel for pixel; hostile files, stalled storage and odd process states
// give white faces at worst and harm nothing else. (The decoder program's
// sandbox has tests of its own, in decoder_program_test.cpp.)

#include "bounded_wait.h"
#include "loader/face_loader.h"
#include "loader/shared/decode_limits.h"
#include "loader/viewer_side/seams.h"
#include "loader/viewer_side/watchdog.h"
#include "picture_files.h"
#include "process_view.h"
#include "refuse.h"
#include "test_support.h"

#include <SOIL/SOIL.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fuse.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

namespace {

// Different everywhere, so that any flip, turn or shift shows.
Picture patterned(int width, int height)
{
    Picture picture(width, height, Rgb{});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            picture.at(x, y) = Rgb{std::uint8_t(x * 5), std::uint8_t(y * 7), std::uint8_t(x * y)};
    return picture;
}

// `start`, then each field in four bytes, the least significant first.
std::string withFields(std::string start, std::initializer_list<std::uint32_t> fields)
{
    for (std::uint32_t field : fields)
        for (int i = 0; i < 4; ++i)
            start += char(field >> (8 * i));
    return start;
}

// The header of a 24-bit BMP.
std::string bmpHeader(std::uint32_t width, std::uint32_t height)
{
    return withFields("BM", {0, 0, 54, 40, width, height, 0x180001, 0, 0, 0, 0, 0, 0});
}

// The header of an uncompressed 32-bit RGBA DDS.
std::string ddsHeader(std::uint32_t width, std::uint32_t height)
{
    return withFields("DDS ", {124,      0x100f, height, width,      width * 4, 0, 0, 0,  0,    0, 0,
                               0,        0,      0,      0,          0,         0, 0, 32, 0x41, 0, 32,
                               0xff0000, 0xff00, 0xff,   0xff000000, 0x1000,    0, 0, 0,  0});
}

using Size = std::pair<int, int>;
const Size white{-1, -1}; // no texture at all

// The texture's size, or 0 x 0 for no texture; deletes the texture.
Size sizeOf(GLuint texture)
{
    GLint width = 0, height = 0;
    if (texture) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glDeleteTextures(1, &texture);
    }
    return texture ? Size(width, height) : white;
}

// The texture's size, internal format and pixels, or "" for no texture;
// deletes the texture.
std::string contentOf(GLuint texture)
{
    if (!texture)
        return "";
    GLint size[3] = {};
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &size[0]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &size[1]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &size[2]);
    std::string content(sizeof size + size_t(size[0]) * size_t(size[1]) * 4, '\0');
    std::memcpy(content.data(), size, sizeof size);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, content.data() + sizeof size);
    glDeleteTextures(1, &texture);
    return content;
}

// Loads the pictures in slots 0, 1, ..., all at once like the viewer.
std::vector<Size> load(const std::vector<std::string> &paths)
{
    for (size_t slot = 0; slot < paths.size(); ++slot)
        startFaceLoad(int(slot), paths[slot].c_str());
    std::vector<Size> sizes;
    sizes.reserve(paths.size());
    for (size_t slot = 0; slot < paths.size(); ++slot)
        sizes.push_back(sizeOf(finishFaceLoad(int(slot))));
    return sizes;
}

// How many descriptors this process has open.
long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// Each decoder this process has reaped, by slot: its wait status,
// processor seconds and largest resident size in bytes.
struct Reaped {
    int status;
    double cpuSeconds;
    std::uint64_t maxResident;
};
std::map<int, Reaped> reaped;

// Has the slot's picture decoded by the tests' build of the decoder, which
// does `behaviour` first, or instead (test_decoder.cpp).
void behave(int slot, const char *behaviour)
{
    decodeHooks.program = TEST_DECODER;
    decodeHooks.behaviour[slot] = behaviour;
}

// A budget whose processor limit is 6 s: three times the watchdog's
// allowance, and three times the time without progress after which a
// decoder asleep is stopped.
const std::uint64_t sixSecondBudget = 38 << 20;

class FaceLoader : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        openTestWindow();
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    }
    void SetUp() override
    {
        char pattern[] = "/tmp/cubeview-loader-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        good = dir + "/good.png";
        ASSERT_TRUE(writePicture(good, patterned(48, 32), Format::Png));
        setDecodeSlowdown(slowdown); // processor limits as long as the bounds on a hang, under emulation
        decodeHooks.program = CUBEVIEW_DECODER;
        reaped.clear();
        decodeHooks.reaped = [](int slot, int status, const rusage &u) {
            const double cpu =
                double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
            reaped[slot] = {status, cpu, std::uint64_t(u.ru_maxrss) * 1024};
        };
        descriptors = openDescriptors();
    }
    void TearDown() override
    {
        decodeHooks = DecodeHooks();
        setDecodeBudget(std::uint64_t(1) << 29);
        EXPECT_EQ(openDescriptors(), descriptors);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // no child left behind, not even a zombie
        std::filesystem::remove_all(dir);
    }

    std::string write(const std::string &name, const std::string &bytes) const
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    }

    std::string dir, good;
    long descriptors = 0;
};

// What SOIL_load_OGL_texture makes of the picture at `path`: decoded by
// SOIL in a process of its own, as a plain viewer would decode it, but for
// limits that end a crash, a hang or a decode needing far more memory than a
// decoder may have, then uploaded here as SOIL uploads it. The texture's
// content, "" for no texture, or nullopt if the decode crashed or hung or
// the picture is over the budget: the viewer's face is white then.
std::optional<std::string> inProcess(const std::string &path)
{
    const int result = memfd_create("plain", MFD_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        std::uint64_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlimit cpu = {rlim_t(2 * slowdown), rlim_t(2 * slowdown)},
                     space = {rlim_t(pages * std::uint64_t(sysconf(_SC_PAGESIZE)) + (1 << 29)), RLIM_INFINITY};
        setrlimit(RLIMIT_CPU, &cpu);
        setrlimit(RLIMIT_AS, &space);
        std::int32_t size[3] = {};
        unsigned char *pixels = SOIL_load_image(path.c_str(), &size[0], &size[1], &size[2], SOIL_LOAD_AUTO);
        const size_t bytes = pixels ? size_t(size[0]) * size_t(size[1]) * size_t(size[2]) : 0;
        _exit(::write(result, size, sizeof size) == ssize_t(sizeof size) &&
                      ::write(result, pixels, bytes) == ssize_t(bytes)
                  ? 0
                  : 3);
    }
    int status = 0;
    waitBounded(pid, &status);
    std::string decoded(size_t(std::max<off_t>(0, lseek(result, 0, SEEK_END))), '\0');
    const bool read = pread(result, decoded.data(), decoded.size(), 0) == ssize_t(decoded.size());
    close(result);
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    std::int32_t size[3] = {};
    std::memcpy(size, decoded.data(), sizeof size);
    if (decoded.size() == sizeof size)
        return "";
    if (decoded.size() - sizeof size > decodeLimits().pixelBytes)
        return std::nullopt;
    return contentOf(SOIL_create_OGL_texture(reinterpret_cast<const unsigned char *>(decoded.data()) + sizeof size,
                                             size[0], size[1], size[2], SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y));
}

const std::uint32_t damagedPictures = 280;

// The `n`-th of a fixed sequence of damaged copies of `bytes`: one to three
// bytes set anew, or their top bit alone, half of them in the first 64; or
// the file cut short there.
std::string mutated(std::string bytes, std::uint32_t n)
{
    std::mt19937 random(n);
    for (std::uint32_t changes = 1 + random() % 3; changes > 0 && !bytes.empty(); --changes) {
        const size_t at = random() % 2 ? random() % std::min<size_t>(bytes.size(), 64) : random() % bytes.size();
        const std::uint32_t how = random();
        if (how % 8 == 0)
            bytes.resize(at + 1);
        else
            bytes[at] = char(how % 8 < 3 ? bytes[at] | 0x80 : how >> 8);
    }
    return bytes;
}

TEST_F(FaceLoader, ShowsWhatTheInProcessLoaderShowsPixelForPixel)
{
    std::vector<std::string> paths;
    for (Format format : allFormats) {
        paths.push_back(dir + "/" + formatName(format));
        ASSERT_TRUE(writePicture(paths.back(), patterned(37, 23), format)) << formatName(format);
    }
    const std::vector<std::string> pictures = paths;
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    // Wider than the largest texture: SOIL shrinks it after decoding.
    ASSERT_TRUE(writePicture(dir + "/wide", patterned(maxSide + 1, 3), Format::Png));
    ASSERT_TRUE(writeZeroPng(dir + "/grey", 3, 5));
    paths.insert(paths.end(), {dir + "/wide", dir + "/grey", write("rgba", ddsHeader(4, 4) + std::string(64, '\x55'))});
    // Damaged where SOIL's stdio reader and its memory reader part: a skip
    // before the start of the file, which the file refuses, reading on from
    // where it is. A BMP whose pixels start 2^31 bytes before its header
    // says, and a PNG with a chunk 2^31 bytes long, read as 4 bytes of CRC.
    const auto content = [](const std::string &path) {
        return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
    };
    std::string bmp = content(paths[0]), png = content(paths[1]);
    bmp[13] = '\x80';
    png.insert(33, std::string("\x80\0\0\x10tEXtCRC!", 12));
    paths.insert(paths.end(), {write("offset BMP", bmp), write("long chunk PNG", png)});
    for (const std::string &path : paths) {
        startFaceLoad(0, path.c_str());
        const std::string isolated = contentOf(finishFaceLoad(0));
        EXPECT_NE(isolated, "") << path;
        EXPECT_TRUE(isolated == inProcess(path)) << path;
    }

    // Seeded damage to each picture: the same where SOIL is defined in
    // process and the picture within the budget, white elsewhere. Left out:
    // those whose decode reads memory SOIL never wrote, or writes past its
    // buffers, which valgrind shows in process (tests/damaged_under_valgrind.sh
    // lists them); what they give may differ from one process to the next.
    const std::set<std::uint32_t> undefined = {6,   13,  39,  41,  48,  55,  83,  90,  95,  102, 104,
                                               125, 133, 193, 195, 202, 209, 258, 263, 272, 279};
    const char *keep = std::getenv("CUBEVIEW_DAMAGED_DIR"); // where to leave each one, for valgrind
    setDecodeBudget(1 << 22);
    int compared = 0, white = 0;
    for (std::uint32_t n = 0; n < damagedPictures; ++n) {
        const std::string path = write(std::to_string(n), mutated(content(pictures[n % pictures.size()]), n));
        if (keep)
            std::filesystem::copy_file(path, keep + ("/" + std::to_string(n)));
        if (undefined.count(n))
            continue;
        const std::optional<std::string> plain = inProcess(path);
        startFaceLoad(0, path.c_str());
        const std::string isolated = contentOf(finishFaceLoad(0));
        EXPECT_TRUE(isolated == plain.value_or(""))
            << "damaged picture " << n << ": " << isolated.size() << " bytes against " << (plain ? plain->size() : 0)
            << (plain ? "" : ", the plain load crashed or hung");
        compared += plain.has_value();
        white += isolated.empty();
    }
    EXPECT_GE(compared, 200);
    EXPECT_LE(white, compared / 2) << "too few damaged pictures still decode";
}

TEST_F(FaceLoader, HostileFilesGiveWhiteWithinTheLimits)
{
    setDecodeBudget(1 << 22); // limits small enough to reach quickly
    const DecodeLimits limits = decodeLimits();
    const std::string p = dir + "/";
    // Beside a good picture, in the last slot. The last two are refused by
    // the decoder itself, before or after decoding.
    const char *names[] = {"huge BMP", "wide BMP", "PNG bomb", "over the budget", "FIFO", "good"};
    const std::vector<std::string> paths = {
        write("a", bmpHeader(1 << 30, 1 << 30) + std::string(64, '\x55')),
        write("b", bmpHeader(INT_MAX, 1) + std::string(64, '\x55')),
        writeZeroPng(p + "c", 30000, 30000) ? p + "c" : "",
        writePicture(p + "d", patterned(2400, 2400), Format::Jpeg) ? p + "d" : "",
        mkfifo((p + "e").c_str(), 0600) == 0 ? p + "e" : "",
        good,
    };
    const std::vector<Size> sizes = load(paths);
    ASSERT_EQ(reaped.size(), paths.size());
    for (const auto &[index, decoder] : reaped) {
        const size_t slot = size_t(index);
        const char *name = names[slot];
        EXPECT_EQ(sizes[slot], slot + 1 < paths.size() ? white : Size(48, 32)) << name;
        // Its wait status counts this process's memory too, shared until its exec.
        EXPECT_LE(decoder.maxResident,
                  limits.addressSpace + (64 << 20) + std::stoull(proc(getpid(), "status", "VmHWM:")) * 1024)
            << name;
        EXPECT_LE(decoder.cpuSeconds, double(limits.cpuSeconds) + 0.5 * double(slowdown)) << name;
        EXPECT_TRUE(slot + 3 < paths.size() || WIFEXITED(decoder.status)) << name << " was not refused";
    }
    reaped.clear();

    // A decode that would run for many seconds is stopped by its processor
    // limit; the viewer waits for it without spending its own, though the
    // next slot's decoder has ended long before: beyond what loading two good
    // pictures costs it, which emulation makes large.
    const auto viewerSecondsFor = [](const std::vector<std::string> &paths, const std::vector<Size> &expected) {
        const std::clock_t before = std::clock();
        EXPECT_EQ(load(paths), expected);
        return double(std::clock() - before) / CLOCKS_PER_SEC;
    };
    const double plainSeconds = viewerSecondsFor({good, good}, {{48, 32}, {48, 32}});
    reaped.clear();
    behave(0, "passes");
    const double viewerSeconds = viewerSecondsFor({good, good}, {white, {48, 32}}) - plainSeconds;
    ASSERT_EQ(reaped.size(), 2u);
    EXPECT_NEAR(reaped[0].cpuSeconds, double(limits.cpuSeconds), 0.5 * double(slowdown));
    EXPECT_LT(viewerSeconds, reaped[0].cpuSeconds / 4);
}

TEST_F(FaceLoader, ForgedResultsGiveWhiteAndLeaveTheOtherFaces)
{
    // Each consistent but for one thing, forged by a decoder in its sandbox.
    const char *forged[] = {"not-a-result", "one-byte-short", "five-channels", "negative-sides", "header-alone"};
    for (int slot = 0; slot < 5; ++slot)
        behave(slot, forged[slot]);
    EXPECT_EQ(load(std::vector(6, good)), (std::vector<Size>{white, white, white, white, white, {48, 32}}));

    // One far too long: pixels up to its limit, then one byte more.
    std::fill(std::begin(decodeHooks.behaviour), std::end(decodeHooks.behaviour), nullptr);
    behave(0, "too-long");
    setDecodeBudget(1 << 22);
    reaped.clear();
    rlimit cores{}, unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    getrlimit(RLIMIT_CORE, &cores);
    setrlimit(RLIMIT_CORE, &unlimited); // and from a viewer that allows core dumps, it leaves none
    EXPECT_EQ(load({good}), std::vector{white});
    setrlimit(RLIMIT_CORE, &cores);
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_TRUE(WIFSIGNALED(reaped[0].status) && WTERMSIG(reaped[0].status) == SIGXFSZ);
    EXPECT_FALSE(WCOREDUMP(reaped[0].status));
}

TEST_F(FaceLoader, ABusyDecoderIsStoppedOnlyWhileItTouchesNoMemory)
{
    // One that spins and touches nothing is stopped once it has spent the
    // watchdog's allowance, well before its processor limit.
    behave(0, "busy");
    EXPECT_EQ(load({good}), std::vector{white});
    const double allowance = quietCpuMs / 1000.0;
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_TRUE(WIFSIGNALED(reaped[0].status) && WTERMSIG(reaped[0].status) == SIGKILL);
    EXPECT_GE(reaped[0].cpuSeconds, allowance);
    EXPECT_LT(reaped[0].cpuSeconds, double(decodeLimits().cpuSeconds) / 4) << "stopped by its processor limit";

    // One that goes over and over memory it holds already, as a decoder's
    // pass in place does, faulting nothing in, is at work: only its
    // processor limit, three times that allowance, stops it.
    reaped.clear();
    setDecodeBudget(sixSecondBudget);
    behave(0, "passes");
    EXPECT_EQ(load({good}), std::vector{white});
    ASSERT_EQ(reaped.size(), 1u);
    EXPECT_GT(reaped[0].cpuSeconds, allowance + 1) << "a decoder at work was stopped";
}

TEST_F(FaceLoader, PicturesAtTheEdgesOfTheLimits)
{
    // The pixels are holes in a sparse file, quick to write and to read.
    const auto sparse = [&](const std::string &name, const std::string &start, off_t size) {
        std::string path = write(name, start);
        EXPECT_EQ(truncate(path.c_str(), size), 0);
        return path;
    };
    const off_t dds = off_t(ddsHeader(1, 1).size());
    const std::string png = (std::ostringstream() << std::ifstream(good).rdbuf()).str();
    // At the full budget, the largest picture shows: 2^29 decoded bytes, 2^28
    // in a 32-bit process.
    const int rows = int(decodeLimits().pixelBytes / (std::uint64_t(8192) * 4));
    EXPECT_EQ(load({sparse("budget", ddsHeader(8192, rows), dds + off_t(decodeLimits().pixelBytes))}),
              std::vector{Size(8192, rows)});
    // At a small one, a row more does not; a file of twice the budget is
    // read, one a byte longer is not.
    setDecodeBudget(1 << 22);
    EXPECT_EQ(load({sparse("over budget", ddsHeader(1024, 1025), dds + (1 << 22) + 4096), sparse("file", png, 2 << 22),
                    sparse("over file", png, (2 << 22) + 1)}),
              (std::vector<Size>{white, {48, 32}, white}));
}

// In a process of its own: loads `paths` once `enter` has set its state;
// exits with 0 if that gives `expected`, and `check`, if given, holds.
[[noreturn]] void loadIn(void (*enter)(), const std::vector<std::string> &paths, const std::vector<Size> &expected,
                         const std::string &dir, bool (*check)() = nullptr)
{
    enter();
    const bool ok = load(paths) == expected && (!check || check());
    std::filesystem::remove_all(dir); // this process ends without the fixture's clean-up
    _exit(ok ? 0 : 1);
}

// In a process of its own, without pidfds: a decoder that stops for good is
// killed, and waited for until it has died; exits with 0 if it was reaped.
[[noreturn]] void stopADecoderWithoutPidfds(const std::string &path, const std::string &dir)
{
    refuse({{"pidfd_open", ENOSYS}});
    behave(0, "passes");
    startFaceLoad(0, path.c_str());
    for (pid_t pid : childrenOf(getpid()))
        kill(pid, SIGSTOP);
    const bool ok = sizeOf(finishFaceLoad(0)) == white && reaped.size() == 1 && WIFSIGNALED(reaped[0].status) &&
                    WTERMSIG(reaped[0].status) == SIGKILL;
    std::filesystem::remove_all(dir);
    _exit(ok ? 0 : 1);
}

TEST_F(FaceLoader, AnyInheritedProcessStateLoadsAllSix)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // each in a fresh process, with a window of its own
    const auto noMemoryFiles = [] { refuse({{"memfd_create", ENOSYS}}); };
    const std::pair<const char *, void (*)()> states[] = {
        {"SIGCHLD ignored", [] { signal(SIGCHLD, SIG_IGN); }},
        {"no pidfds (before Linux 5.3), and a SIGCHLD handler that reaps",
         [] {
             refuse({{"pidfd_open", ENOSYS}});
             signal(SIGCHLD, [](int) {
                 while (waitpid(-1, nullptr, WNOHANG) > 0) {
                 }
             });
         }},
        {"memory files refused", noMemoryFiles},
    };
    for (const auto &[name, enter] : states)
        EXPECT_EXIT(loadIn(enter, std::vector(6, good), std::vector(6, Size(48, 32)), dir),
                    ::testing::ExitedWithCode(0), "")
            << name;
    // Without a processor clock of another process, only its being runnable
    // shows a decoder busy in registers at work: it runs to its processor
    // limit, well beyond the time without progress after which a decoder
    // asleep is stopped, and the other faces load.
    const auto clockless = [] {
        refuse(noProcessorClocks);
        setDecodeBudget(sixSecondBudget);
        behave(0, "busy");
    };
    const auto ranToItsLimit = [] { return reaped.count(0) && reaped[0].cpuSeconds > stallMs / 1000.0 + 1; };
    EXPECT_EXIT(loadIn(clockless, std::vector(6, good), {white, {48, 32}, {48, 32}, {48, 32}, {48, 32}, {48, 32}}, dir,
                       ranToItsLimit),
                ::testing::ExitedWithCode(0), "")
        << "no processor clock of another process";
    // Where the system refuses a new process, even on a second try, the face
    // is white: the picture is never decoded here instead.
    const auto noProcesses = [] {
        refuse({{"clone", EAGAIN}, {"clone3", EAGAIN}, {"fork", EAGAIN}, {"vfork", EAGAIN}});
    };
    EXPECT_EXIT(loadIn(noProcesses, {good}, {white}, dir), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stopADecoderWithoutPidfds(good, dir), ::testing::ExitedWithCode(0), "") << "a killed decoder, reaped";
}

TEST_F(FaceLoader, StalledStorageGivesWhiteAndHoldsNothingUp)
{
    // A FUSE file system, private to this process, that answers INIT, then
    // takes the next request and never answers it: the decoder reading the
    // face sleeps uninterruptibly, and not even SIGKILL ends it.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fuse, 0);
    const std::string stalled = dir + "/stalled";
    const std::string options = "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=0,group_id=0";
    ASSERT_EQ(mkdir(stalled.c_str(), 0700), 0);
    ASSERT_EQ(mount("cubeview", stalled.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()), 0);
    std::vector<char> request(FUSE_MIN_READ_BUFFER + (1 << 20));
    ASSERT_GT(read(fuse, request.data(), request.size()), 0);
    const auto *init = reinterpret_cast<const fuse_in_header *>(request.data());
    ASSERT_EQ(init->opcode, FUSE_INIT);
    struct {
        fuse_out_header header;
        fuse_init_out init;
    } reply{};
    reply.header = {sizeof reply, 0, init->unique};
    reply.init.major = FUSE_KERNEL_VERSION;
    reply.init.minor = FUSE_KERNEL_MINOR_VERSION;
    reply.init.max_write = 4096;
    ASSERT_EQ(::write(fuse, &reply, sizeof reply), ssize_t(sizeof reply));

    // Given up on once it has made no progress for 2 s, not before.
    const auto start = std::chrono::steady_clock::now();
    startFaceLoad(0, (stalled + "/face.bmp").c_str());
    ASSERT_GT(read(fuse, request.data(), request.size()), 0); // the decoder's lookup, never answered
    startFaceLoad(1, good.c_str());
    EXPECT_EQ(sizeOf(finishFaceLoad(0)), white);
    const auto watched = std::chrono::steady_clock::now() - start;
    EXPECT_GE(watched, std::chrono::seconds(2));
    EXPECT_EQ(sizeOf(finishFaceLoad(1)), Size(48, 32));
    // How long a face takes to come out white.
    const auto whiteAfter = [](const std::string &path) {
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(load({path}), std::vector{white}) << path;
        return std::chrono::steady_clock::now() - began;
    };
    // The same, seen through /proc alone.
    ASSERT_TRUE(refuse(noProcessorClocks));
    setDecodeBudget(1 << 22); // one second of processor time
    const auto byProc = whiteAfter(stalled + "/face3.bmp");

    // With nothing to see progress by (no /proc, no processor clock of
    // another process), a decoder counts as progressing for four times its
    // processor limit: limits still right, storage that stalls still gives
    // white, but only then.
    ASSERT_EQ(umount2("/proc", MNT_DETACH), 0);
    EXPECT_EQ(load({good}), std::vector{Size(48, 32)}) << "limits set without /proc";
    behave(0, "passes"); // for a measure of how long a processor limit takes here
    const auto spun = whiteAfter(good);
    const auto unwatched = whiteAfter(stalled + "/face2.bmp");
    EXPECT_GE(unwatched, std::chrono::seconds(4));
    EXPECT_LT(watched, unwatched) << "a stall is seen sooner where it can be watched";
    EXPECT_LT(byProc, (watched + unwatched) / 2) << "even through /proc alone";
    EXPECT_LT(unwatched, 6 * spun) << "nor much later than four processor limits";
    ASSERT_EQ(mount("proc", "/proc", "proc", 0, nullptr), 0);

    close(fuse); // the lookup fails at last, and the decoder dies: the kernel reaps it
    EXPECT_EQ(waitBounded(-1, nullptr), -1) << "a decoder was left for this process to reap, or never ended";
    umount2(stalled.c_str(), MNT_DETACH);
}

} // namespace
