// Time from launching a viewer to its first frame on screen, measured from
// outside: an X client starts the program and waits for its window titled
// "color" to show a lit pixel at the centre, where the cube is.
//
// Four builds run in turn on the same faces: the viewer, the same viewer
// whose decoding children skip their sandbox, the same viewer loading
// in-process (the baseline), and the same viewer handed pictures already
// decoded (the floor: everything but decoding). Each row gives the median
// times; the median ratio over the runs of viewer to baseline, against its
// goal; how much of the baseline's decoding time still shows in the viewer,
// (viewer - floor) / (baseline - floor); and the median ratio of viewer to
// unsandboxed viewer, what the sandbox costs.
//
// Usage: startup_bench VIEWER UNSANDBOXED BASELINE FLOOR [RUNS [ROW]]
// (needs DISPLAY; ROW, from 1, runs that row alone)

#include "photo.h"
#include "picture_files.h"
#include "viewer_window.h"

#include <SOIL/SOIL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from launch to the first lit pixel, or -1 if none shows or
// the face there is white, its picture lost.
double firstFrameMs(const std::string &binary, const std::string &dir)
{
    const auto start = Clock::now();
    const ViewerWindow viewer(binary, dir);
    while (viewer.window && Clock::now() - start < std::chrono::seconds(60)) {
        const Picture centre = viewer.frame(396, 296, 8, 8);
        for (const Rgb &p : centre.pixels)
            if (p.r || p.g || p.b)
                return p == Rgb{255, 255, 255}
                           ? -1
                           : std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        pauseMs(5);
    }
    return -1;
}

std::string facePath(const std::string &dir, int n) { return dir + "/Data/cube" + std::to_string(n) + ".bmp"; }

// The same faces, decoded here, for the floor build.
bool writeDecoded(const std::string &from, const std::string &to)
{
    std::filesystem::create_directories(to + "/Data");
    for (int n = 1; n <= 6; ++n) {
        std::int32_t sizes[3] = {};
        unsigned char *pixels = SOIL_load_image(facePath(from, n).c_str(), &sizes[0], &sizes[1], &sizes[2], 0);
        if (!pixels)
            return false;
        std::ofstream file(facePath(to, n), std::ios::binary);
        file.write(reinterpret_cast<const char *>(sizes), sizeof sizes);
        file.write(reinterpret_cast<const char *>(pixels), std::streamsize(sizes[0]) * sizes[1] * sizes[2]);
        SOIL_free_image_data(pixels);
        if (!file.flush())
            return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5 || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: startup_bench VIEWER UNSANDBOXED BASELINE FLOOR [RUNS [ROW]], with DISPLAY set\n");
        return 2;
    }
    enum { viewer, unsandboxed, baseline, floor, builds };
    std::string binaries[builds];
    for (int build = 0; build < builds; ++build)
        binaries[build] = std::filesystem::absolute(argv[1 + build]);
    const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 9;
    const int onlyRow = argc > 6 ? std::atoi(argv[6]) : 0;
    const std::string root = std::filesystem::temp_directory_path() / "cubeview-bench";

    const struct {
        const char *name;
        int runs;
        double goal;
        std::function<bool(const std::string &dir)> write;
    } sets[] = {
        {"six 2048x2048 PNG", runs, 0.58,
         [](const std::string &dir) {
             bool written = true;
             for (int n = 1; n <= 6; ++n)
                 written &= writePicture(facePath(dir, n), photo(2048, 2048, unsigned(n)), Format::Png);
             return written;
         }},
        {"six small faces, mixed formats", runs, 1.0,
         [](const std::string &dir) {
             return writeBmp(facePath(dir, 1), photo(256, 256, 1)) &&
                    writePicture(facePath(dir, 2), photo(256, 256, 2), Format::Png) &&
                    writePicture(facePath(dir, 3), photo(256, 256, 3), Format::Jpeg) &&
                    writePicture(facePath(dir, 4), photo(256, 256, 4), Format::Tga) &&
                    writeBmp(facePath(dir, 5), photo(301, 301, 5)) &&
                    writePicture(facePath(dir, 6), photo(128, 128, 6), Format::Png);
         }},
        {"six 8192x8192 JPEG photos", std::max(3, runs / 5), 0.60,
         [](const std::string &dir) {
             bool written = true;
             for (int n = 1; n <= 6; ++n)
                 written &= writePicture(facePath(dir, n), photo(8192, 8192, unsigned(n), true), Format::Jpeg);
             return written;
         }},
    };
    bool met = true;
    std::printf("%-31s %4s %7s %12s %9s %8s %6s %5s %9s %8s\n", "faces", "runs", "viewer", "unsandboxed", "baseline",
                "floor", "ratio", "goal", "decoding", "sandbox");
    for (const auto &set : sets) {
        if (onlyRow && &set != &sets[onlyRow - 1])
            continue;
        const std::string dir = root + "/faces", decoded = root + "/decoded";
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(dir + "/Data");
        if (!set.write(dir) || !writeDecoded(dir, decoded)) {
            std::fprintf(stderr, "startup_bench: cannot write the faces for %s\n", set.name);
            return 1;
        }
        std::vector<double> times[builds], ratios, sandboxCosts;
        for (int run = 0; run < set.runs; ++run) {
            double ms[builds];
            for (int i = 0; i < builds; ++i) { // a different build goes first each run
                const int build = (run + i) % builds;
                ms[build] = firstFrameMs(binaries[build], build == floor ? decoded : dir);
                if (ms[build] < 0) {
                    std::fprintf(stderr, "startup_bench: %s showed no picture\n", binaries[build].c_str());
                    return 1;
                }
                times[build].push_back(ms[build]);
            }
            // Each run's builds ran back to back, so their ratios are little moved by the machine's drift.
            ratios.push_back(ms[viewer] / ms[baseline]);
            sandboxCosts.push_back(ms[viewer] / ms[unsandboxed]);
        }
        double medians[builds];
        for (int build = 0; build < builds; ++build)
            medians[build] = median(times[build]);
        const double ratio = median(ratios);
        met &= ratio <= set.goal;
        std::printf("%-31s %4d %5.0f ms %9.0f ms %6.0f ms %5.0f ms %6.2f %5.2f %8.0f%% %8.3f\n", set.name, set.runs,
                    medians[viewer], medians[unsandboxed], medians[baseline], medians[floor], ratio, set.goal,
                    100 * (medians[viewer] - medians[floor]) / (medians[baseline] - medians[floor]),
                    median(sandboxCosts));
        std::fflush(stdout);
    }
    std::filesystem::remove_all(root);
    return met ? 0 : 1;
}
