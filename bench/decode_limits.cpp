// What one face picture at the decoding budget costs, for every kind of
// picture SOIL reads: the decoder's processor time and peak memory, how
// long the viewer's side takes, and the longest the decoder went without
// leaving a trace (its memory and its result unmoved), in processor
// seconds, against the limits and the watchdog's rule. HDR, whose decoder
// needs the most memory, is then tried smaller until it shows, and the
// costliest shrink within the budget last.
//
// Usage: decode_limits [DIR [KIND]]   (needs DISPLAY; writes pictures of up
// to 1.1 GB to DIR, default /tmp; KIND, from 1, measures that kind alone)

#include "loader/face_loader.h"
#include "loader/shared/decode_limits.h"
#include "loader/viewer_side/seams.h"
#include "loader/viewer_side/watchdog.h"
#include "photo.h"
#include "picture_kinds.h"

#include <GL/glut.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

rusage lastUsage;

// The longest the decoder went without its trace moving, as the watchdog,
// looking every millisecond, saw it; and the most memory it held, read
// from /proc at each look (the maxrss of its wait status counts the viewer's
// too, whose memory the decoder shares until its exec).
std::int64_t quietFromNs = -1, longestQuietNs = 0;
std::uint64_t peakKiB = 0;
void looked(int, std::int64_t cpuNs, bool moved)
{
    std::ifstream children("/proc/self/task/" + std::to_string(getpid()) + "/children");
    pid_t decoder = 0;
    std::uint64_t kib = 0;
    std::string line;
    if (children >> decoder)
        for (std::ifstream status("/proc/" + std::to_string(decoder) + "/status"); std::getline(status, line);)
            if (std::sscanf(line.c_str(), "VmHWM: %" SCNu64, &kib) == 1)
                peakKiB = std::max(peakKiB, kib);
    if (cpuNs < 0)
        return;
    if (moved || quietFromNs < 0)
        quietFromNs = cpuNs;
    longestQuietNs = std::max(longestQuietNs, cpuNs - quietFromNs);
}

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

// Loads the picture through the isolated loader and prints one row.
bool measure(const std::string &path, const PictureKind &kind, int width, int height)
{
    if (!kind.write(path, photo(width, height, 1))) {
        std::fprintf(stderr, "decode_limits: cannot write %s\n", path.c_str());
        return false;
    }
    const auto fileBytes = std::filesystem::file_size(path);
    lastUsage = rusage{};
    quietFromNs = -1, longestQuietNs = 0, peakKiB = 0;
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
    std::printf("%-28s %5d x %-5d %5.0f MB %5.0f MB %6.1f s %6.0f MB %6.1f s %7.3f s   %s\n", kind.name, width, height,
                double(width) * height * kind.channels / 1e6, double(fileBytes) / 1e6,
                seconds(lastUsage.ru_utime) + seconds(lastUsage.ru_stime), double(peakKiB) / 1024, wall,
                double(longestQuietNs) / 1e9,
                texture ? (std::to_string(shownWidth) + " x " + std::to_string(shownHeight)).c_str() : "white");
    std::fflush(stdout);
    return texture != 0;
}

} // namespace

int main(int argc, char **argv)
{
    glutInit(&argc, argv);
    glutCreateWindow("decode_limits");
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    decodeHooks.program = CUBEVIEW_DECODER;
    decodeHooks.reaped = [](int, int, const rusage &usage) { lastUsage = usage; };
    decodeHooks.watchMs = 1;
    decodeHooks.looked = looked;
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string path = dir + "/cubeview-decode-limits-" + std::to_string(getpid());
    const size_t only = argc > 2 ? size_t(std::atoi(argv[2])) : 0;

    const DecodeLimits limits = decodeLimits();
    std::printf("budget %.0f MB decoded, files up to %.0f MB, address space %.0f MB, %lu s of processor time; "
                "a decoder is stuck after %.1f s of it without a trace\n\n",
                double(limits.pixelBytes) / 1e6, double(limits.fileBytes) / 1e6, double(limits.addressSpace) / 1e6,
                static_cast<unsigned long>(limits.cpuSeconds), quietCpuMs / 1000.0);
    std::printf("%-28s %13s %8s %8s %8s %9s %8s %9s   %s\n", "", "picture", "decoded", "file", "decoder", "decoder",
                "load", "longest", "texture");
    std::printf("%-28s %13s %8s %8s %8s %9s %8s %9s\n", "", "", "", "", "cpu", "peak", "", "quiet");
    const std::vector<PictureKind> &kinds = pictureKinds();
    for (const PictureKind &kind : kinds) {
        if (only && size_t(&kind - kinds.data()) + 1 != only)
            continue;
        // The largest square within the budget; HDR smaller until it shows.
        const int side = int(std::sqrt(double(limits.pixelBytes) / kind.channels));
        bool shown = measure(path, kind, side, side);
        for (int smaller = side * 15 / 16; !shown && kind.name[0] == 'H' && smaller > 1024; smaller = smaller * 15 / 16)
            shown = measure(path, kind, smaller, smaller);
    }
    // The costliest shrink within the budget: both sides just above a power
    // of two, one above the largest texture.
    GLint maxSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSide);
    if (!only)
        measure(path, kinds.front(), maxSide + 1, int(limits.pixelBytes / 3 / std::uint64_t(maxSide + 1)));
    return 0;
}
