// Time from launching a viewer to its first frame on screen, measured from
// outside: an X client that starts the program and waits for its window
// titled "color" to show a non-black pixel at the centre, where the cube is.
// Two builds run alternately on the same faces; the median of the ratios of
// the back-to-back pairs is compared with the goal.
//
// Usage: startup_bench VIEWER BASELINE [RUNS]   (needs DISPLAY)

#include "picture_files.h"
#include "viewer_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from launch to the first lit pixel, or -1.
double firstFrameMs(const std::string &binary, const std::string &dir)
{
    const auto start = Clock::now();
    const ViewerWindow viewer(binary, dir);
    while (viewer.window && Clock::now() - start < std::chrono::seconds(30)) {
        const Picture centre = viewer.frame(396, 296, 8, 8);
        for (const Rgb &p : centre.pixels)
            if (p.r || p.g || p.b)
                return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        pauseMs(5);
    }
    return -1;
}

// Smooth colour with some grain, so that it compresses like a photograph.
Picture photo(int side, unsigned seed)
{
    Picture p(side, side, Rgb{});
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            seed = seed * 1103515245 + 12345;
            const int grain = int(seed >> 27);
            p.at(x, y) = Rgb{std::uint8_t(x * 255 / side + grain), std::uint8_t(y * 255 / side + grain),
                             std::uint8_t((x + y) * 127 / side + grain)};
        }
    return p;
}

std::string faceDirectory(const char *name)
{
    const std::string dir = std::filesystem::temp_directory_path() / (std::string("cubeview-bench-") + name);
    std::filesystem::create_directories(dir + "/Data");
    return dir;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: startup_bench VIEWER BASELINE [RUNS], with DISPLAY set\n");
        return 2;
    }
    const std::string viewer = std::filesystem::absolute(argv[1]), baseline = std::filesystem::absolute(argv[2]);
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;

    const std::string big = faceDirectory("big-png"), mixed = faceDirectory("mixed");
    bool written = true;
    for (int n = 1; n <= 6; ++n)
        written &= writePicture(big + "/Data/cube" + std::to_string(n) + ".bmp", photo(2048, unsigned(n)), Format::Png);
    const auto face = [&](int n) { return mixed + "/Data/cube" + std::to_string(n) + ".bmp"; };
    written &= writeBmp(face(1), photo(256, 1)) && writePicture(face(2), photo(256, 2), Format::Png) &&
               writePicture(face(3), photo(256, 3), Format::Jpeg) && writePicture(face(4), photo(256, 4), Format::Tga) &&
               writeBmp(face(5), photo(301, 5)) && writePicture(face(6), photo(128, 6), Format::Png);
    if (!written) {
        std::fprintf(stderr, "startup_bench: cannot write the face pictures\n");
        return 1;
    }

    const struct {
        const char *name;
        std::string dir;
        double goal;
    } sets[] = {{"six 2048x2048 PNG faces", big, 0.65}, {"six small faces, mixed formats", mixed, 1.0}};
    bool met = true;
    std::printf("%-32s %12s %12s %7s %6s\n", "faces", "viewer ms", "baseline ms", "ratio", "goal");
    for (const auto &set : sets) {
        std::vector<double> ours, theirs;
        for (int run = 0; run < runs; ++run) { // alternate which goes first
            const bool oursFirst = run % 2 == 0;
            const double a = firstFrameMs(oursFirst ? viewer : baseline, set.dir);
            const double b = firstFrameMs(oursFirst ? baseline : viewer, set.dir);
            ours.push_back(oursFirst ? a : b);
            theirs.push_back(oursFirst ? b : a);
        }
        if (*std::min_element(ours.begin(), ours.end()) < 0 || *std::min_element(theirs.begin(), theirs.end()) < 0) {
            std::fprintf(stderr, "startup_bench: a viewer showed no frame\n");
            return 1;
        }
        // Each pair ran back to back, so its ratio is little moved by the machine's drift.
        std::vector<double> ratios;
        for (size_t i = 0; i < ours.size(); ++i)
            ratios.push_back(ours[i] / theirs[i]);
        const double ratio = median(ratios);
        met &= ratio <= set.goal;
        std::printf("%-32s %12.0f %12.0f %7.2f %6.2f\n", set.name, median(ours), median(theirs), ratio, set.goal);
    }
    std::filesystem::remove_all(big);
    std::filesystem::remove_all(mixed);
    return met ? 0 : 1;
}
