// Face pictures decoded in child processes: hostile files give no texture
// and harm nothing else, good ones arrive pixel for pixel.

#include "compressed_picture.h"
#include "isolated_decode.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

std::string littleEndian(std::initializer_list<std::pair<std::int64_t, int>> fields) // value, bytes
{
    std::string out;
    for (auto [value, bytes] : fields)
        for (int i = 0; i < bytes; ++i)
            out += char((std::uint64_t(value) >> (8 * i)) & 0xff);
    return out;
}

std::string bmpHeader(std::int32_t width, std::int32_t height)
{
    return "BM" + littleEndian({{1000, 4}, {0, 4}, {54, 4}, {40, 4}, {width, 4}, {height, 4}, {1, 2}, {24, 2},
                                {0, 4}, {0, 4}, {0, 8}, {0, 8}}) + std::string(64, '\x55');
}

std::string tgaHeader(int width, int height)
{
    return littleEndian({{0, 2}, {2, 1}, {0, 5}, {0, 4}, {width, 2}, {height, 2}, {24, 1}, {0, 1}}) +
           std::string(64, '\x55');
}

std::string psdHeader(int width, int height) // big-endian
{
    return std::string("8BPS\0\1\0\0\0\0\0\0\0\3", 14) + char(height >> 24) + char(height >> 16) + char(height >> 8) +
           char(height) + char(width >> 24) + char(width >> 16) + char(width >> 8) + char(width) +
           std::string("\0\x08\0\x03", 4) + std::string(14, '\0') + std::string(64, '\x55');
}

std::string ddsHeader(int width, int height)
{
    return "DDS " + littleEndian({{124, 4}, {0x100f, 4}, {height, 4}, {width, 4}, {width * 4, 4}, {0, 4}, {0, 4}}) +
           std::string(44, '\0') +
           littleEndian({{32, 4}, {0x41, 4}, {0, 4}, {32, 4}, {0xff0000, 4}, {0xff00, 4}, {0xff, 4},
                         {0xff000000, 4}, {0x1000, 4}, {0, 16}}) + std::string(64, '\x55');
}

class IsolatedDecode : public ::testing::Test {
protected:
    static void SetUpTestSuite() { openTestWindow(); }
    void SetUp() override
    {
        char pattern[] = "/tmp/cubeview-decode-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        good = Picture(48, 32, Rgb{10, 20, 30});
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 48; ++x)
                good.at(x, y) = Rgb{std::uint8_t(x * 5), std::uint8_t(y * 7), std::uint8_t(x * y)};
        ASSERT_TRUE(writePng(dir + "/good.png", good));
        descriptors = openDescriptors();
    }
    void TearDown() override
    {
        EXPECT_EQ(openDescriptors(), descriptors);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // no child left behind, not even a zombie
        EXPECT_EQ(errno, ECHILD);
        std::filesystem::remove_all(dir);
    }

    // The texture's size, or 0 x 0 for no texture; deletes the texture.
    static std::pair<int, int> sizeOf(GLuint texture)
    {
        GLint width = 0, height = 0;
        if (texture) {
            glBindTexture(GL_TEXTURE_2D, texture);
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
            glDeleteTextures(1, &texture);
        }
        return {width, height};
    }

    // Decodes `path` in slot 0 beside the good picture in slot 1.
    std::pair<int, int> decodeBesideGood(const std::string &path)
    {
        startIsolatedDecode(0, path.c_str());
        startIsolatedDecode(1, (dir + "/good.png").c_str());
        const auto result = sizeOf(textureFromIsolatedDecode(0));
        EXPECT_EQ(sizeOf(textureFromIsolatedDecode(1)), std::pair(48, 32)) << "beside " << path;
        return result;
    }

    std::string write(const std::string &name, const std::string &bytes)
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
        return dir + "/" + name;
    }

    std::string dir;
    Picture good{0, 0, {}};
    int descriptors = 0;
};

TEST_F(IsolatedDecode, GoodPicturesArriveUpsideDownForOpenGLPixelForPixel)
{
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    startIsolatedDecode(2, (dir + "/good.png").c_str());
    const GLuint texture = textureFromIsolatedDecode(2);
    ASSERT_NE(texture, 0u);
    glBindTexture(GL_TEXTURE_2D, texture);
    Picture uploaded(48, 32, Rgb{});
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, uploaded.pixels.data());
    for (int y = 0; y < 32; ++y) // OpenGL's first row is the picture's bottom row
        for (int x = 0; x < 48; ++x)
            ASSERT_EQ(uploaded.at(x, y), good.at(x, 31 - y)) << x << ", " << y;
    glDeleteTextures(1, &texture);

    EXPECT_EQ(textureFromIsolatedDecode(3), 0u); // a slot never started

    // A big photo still loads, even in the last slot with every other slot
    // decoding a file that would keep its decoder busy for ever.
    ASSERT_TRUE(writeJpeg(dir + "/photo.jpg", Picture(8192, 8192, Rgb{90, 140, 200})));
    const std::string slow = dir + "/slow.jpg"; // seconds to decode, then too wide to show
    ASSERT_TRUE(writeJpeg(slow, Picture(17000, 10000, Rgb{200, 90, 40})));
    for (int slot = 0; slot < 5; ++slot)
        startIsolatedDecode(slot, slow.c_str());
    startIsolatedDecode(5, (dir + "/photo.jpg").c_str());
    for (int slot = 0; slot < 5; ++slot)
        EXPECT_EQ(sizeOf(textureFromIsolatedDecode(slot)), std::pair(0, 0));
    EXPECT_EQ(sizeOf(textureFromIsolatedDecode(5)), std::pair(8192, 8192));
}

TEST_F(IsolatedDecode, HostileFilesGiveNoTextureAndHarmNothingElse)
{
    std::ifstream in(dir + "/good.png", std::ios::binary);
    const std::string png((std::istreambuf_iterator<char>(in)), {});
    const std::vector<std::pair<std::string, std::function<std::string()>>> cases = {
        {"huge BMP", [&] { return write("a", bmpHeader(1 << 30, 1 << 30)); }},
        {"negative BMP", [&] { return write("b", bmpHeader(INT_MIN, -7)); }},
        {"wide BMP", [&] { return write("c", bmpHeader(INT_MAX, 1)); }},
        {"zero BMP", [&] { return write("d", bmpHeader(0, 0)); }},
        {"huge TGA", [&] { return write("e", tgaHeader(65535, 65535)); }},
        {"zero TGA", [&] { return write("f", tgaHeader(0, 0)); }},
        {"huge PSD", [&] { return write("g", psdHeader(60000, 60000)); }},
        {"huge DDS", [&] { return write("h", ddsHeader(40000, 40000)); }},
        {"zero DDS", [&] { return write("i", ddsHeader(0, 0)); }},
        {"PNG bomb", [&] { return writeZeroPng(dir + "/j", 30000, 30000) ? dir + "/j" : ""; }},
        {"truncated PNG", [&] { return write("k", png.substr(0, png.size() / 2)); }},
        {"empty file", [&] { return write("l", ""); }},
        {"missing file", [&] { return dir + "/none"; }},
        {"FIFO", [&] { return mkfifo((dir + "/m").c_str(), 0600) == 0 ? dir + "/m" : ""; }},
        {"directory", [&] { return dir; }},
        {"link to /dev/zero", [&] { return symlink("/dev/zero", (dir + "/n").c_str()) == 0 ? dir + "/n" : ""; }},
    };
    for (const auto &[name, make] : cases) {
        const std::string path = make();
        ASSERT_FALSE(path.empty()) << name;
        EXPECT_EQ(decodeBesideGood(path), std::pair(0, 0)) << name;
    }
}

} // namespace
