// What one face picture at the decoding budget costs, in every format SOIL
// reads: the decoding child's processor time and peak memory, and how long
// the viewer's side takes, against the limits derived from the budget.
// HDR, the slowest format, is then tried smaller until it shows.
//
// Usage: decode_limits [DIR]   (needs DISPLAY; writes pictures of up to
// 700 MB to DIR, default /tmp)

#include "face_loader.h"
#include "isolated_decode.h"
#include "photo.h"
#include "picture_files.h"

#include <GL/glut.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

rusage lastUsage;

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// Loads the picture through the isolated loader and prints one row.
bool measure(const std::string &path, Format format, int width, int height)
{
    // PNG with the filter slowest to undo.
    const Picture picture = photo(width, height, 1);
    if (!(format == Format::Png ? writePng(path, picture, true) : writePicture(path, picture, format))) {
        std::fprintf(stderr, "decode_limits: cannot write %s\n", path.c_str());
        return false;
    }
    const auto fileBytes = std::filesystem::file_size(path);
    lastUsage = rusage{};
    const auto start = std::chrono::steady_clock::now();
    startFaceLoad(0, path.c_str());
    const GLuint texture = finishFaceLoad(0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    GLint shownWidth = 0, shownHeight = 0;
    if (texture) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &shownWidth);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &shownHeight);
        glDeleteTextures(1, &texture);
    }
    std::filesystem::remove(path);
    std::printf("%-5s %6d x %-6d %6.0f MB %7.0f MB %8.1f s %8.0f MB %8.1f s   %s\n", formatName(format), width, height,
                double(width) * height * 3 / 1e6, double(fileBytes) / 1e6,
                seconds(lastUsage.ru_utime) + seconds(lastUsage.ru_stime), double(lastUsage.ru_maxrss) / 1024, wall,
                texture ? (std::to_string(shownWidth) + " x " + std::to_string(shownHeight)).c_str() : "white");
    return texture != 0;
}

} // namespace

int main(int argc, char **argv)
{
    glutInit(&argc, argv);
    glutCreateWindow("decode_limits");
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    decodeHooks.reaped = [](int, int, const rusage &usage) { lastUsage = usage; };
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string path = dir + "/cubeview-decode-limits";

    const DecodeLimits limits = decodeLimits();
    std::printf("budget %.0f MB decoded, files up to %.0f MB, address space %.0f MB, %lu s of processor time\n\n",
                double(limits.pixelBytes) / 1e6, double(limits.fileBytes) / 1e6, double(limits.addressSpace) / 1e6,
                static_cast<unsigned long>(limits.cpuSeconds));
    std::printf("%-5s %15s %9s %10s %10s %11s %10s   %s\n", "", "picture (RGB)", "decoded", "file", "child cpu",
                "child peak", "load", "texture");
    const int side = int(std::sqrt(double(limits.pixelBytes) / 3)); // the largest square within the budget
    for (Format format : allFormats)
        measure(path, format, side, side);
    // HDR, smaller until it shows.
    for (int hdrSide = side * 15 / 16; hdrSide > 1024 && !measure(path, Format::Hdr, hdrSide, hdrSide);
         hdrSide = hdrSide * 15 / 16) {
    }
    // The costliest shrink within the budget: both sides just above a power
    // of two, one above the largest texture.
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    measure(path, Format::Bmp, maxSide + 1, int(limits.pixelBytes / 3 / std::uint64_t(maxSide + 1)));
    return 0;
}
