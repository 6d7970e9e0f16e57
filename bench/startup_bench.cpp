// Time from launching a viewer to its first frame on screen, and the most
// memory it held by then, measured from outside: an X client starts the
// program and waits for its window titled "color" to show a lit pixel at the
// centre, where the cube is.
//
// Four builds run in turn on the same faces: the viewer, the same viewer
// whose decoders skip their sandbox, the same viewer loading
// in-process (the plain loader), and the same viewer handed pictures already
// decoded (the floor: everything but decoding). Each row gives the median
// times; the median ratio over the runs of viewer to plain loader, against
// its goal; how much of the plain loader's decoding time still shows in the
// viewer, (viewer - floor) / (plain - floor); the median ratio of viewer to
// unsandboxed viewer, what the sandbox costs; and the median peak memory of
// the viewer and of the plain loader, with the median ratio of the two.
//
// Peak memory is that of a memory control group made for each launch, which
// the program joins before it starts: it holds the program, its children and
// the memory files they make. Without one (not root, no memory controller),
// only times are given.
//
// Five long rows time the viewer alone, or beside the plain loader, on
// faces that take seconds to minutes: worst cases, and six pictures at the
// decoding budget; they run only when chosen.
//
// Usage: startup_bench VIEWER UNSANDBOXED PLAIN FLOOR [RUNS [ROW | all]]
// (needs DISPLAY; ROW, from 1, runs that row alone; `all` adds the long
// rows to the others)

#include "memory_group.h"
#include "photo.h"
#include "picture_files.h"
#include "plasma.h"
#include "viewer_window.h"

#include <SOIL/SOIL.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Launch {
    double ms = -1, mib = -1;
};

// Milliseconds from launch to the first lit pixel at the centre, and the
// peak memory by then (-1 if not measured); ms is -1 if no pixel lights
// within `timeout`, or if it shows a white face, a lost picture, unless
// `whiteCounts`.
Launch firstFrame(const std::string &binary, const std::string &dir, const MemoryGroups &groups,
                  std::chrono::seconds timeout, bool whiteCounts)
{
    const MemoryGroup group(groups);
    const auto start = Clock::now();
    const ViewerWindow viewer(binary, dir, group.dir);
    while (viewer.window && Clock::now() - start < timeout) {
        const Picture centre = viewer.frame(396, 296, 8, 8);
        for (const Rgb &p : centre.pixels)
            if (p.r || p.g || p.b) {
                if (p == Rgb{255, 255, 255} && !whiteCounts)
                    return {};
                return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), group.peakMiB()};
            }
        pauseMs(5);
    }
    return {};
}

std::string facePath(const std::string &dir, int n) { return dir + "/Data/cube" + std::to_string(n) + ".bmp"; }

// The same faces, decoded here, for the floor build: the rows bottom first,
// as the viewer's decoders hand them over.
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
        const std::streamsize row = std::streamsize(sizes[0]) * sizes[2];
        for (std::int32_t y = sizes[1]; y-- > 0;)
            file.write(reinterpret_cast<const char *>(pixels) + row * y, row);
        SOIL_free_image_data(pixels);
        if (!file.flush())
            return false;
    }
    return true;
}

// Reads every file under `dir` once, so that their pages in the page cache
// are this process's, not charged to the first viewer that reads them.
void readAll(const std::string &dir)
{
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            std::ifstream(entry.path(), std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());
}

// Processes that keep `count` cores busy, at the default priority, for as
// long as this object lives.
class BusyCores {
public:
    explicit BusyCores(int count)
    {
        for (int i = 0; i < count; ++i)
            if (const pid_t pid = fork(); pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                for (volatile unsigned spins = 0;; spins = spins + 1) {
                }
            } else if (pid > 0) {
                pids.push_back(pid);
            }
    }
    ~BusyCores()
    {
        for (const pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    BusyCores(const BusyCores &) = delete;
    BusyCores &operator=(const BusyCores &) = delete;

private:
    std::vector<pid_t> pids;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// `value` right-aligned in `width` characters with `unit` after it, or a
// dash when it is missing (negative).
std::string cell(int width, double value, int decimals = 0, const char *unit = "")
{
    char text[32] = "\u2014"; // one character, three bytes
    int length = 1;
    if (value >= 0)
        length = std::snprintf(text, sizeof text, "%.*f%s", decimals, value, unit);
    return std::string(size_t(std::max(0, width - length)), ' ') + text;
}

// When and on what the figures were taken.
void printMachine()
{
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M %Z", std::localtime(&now));
    utsname system{};
    uname(&system);
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    std::printf("%s, %s %s %s, %s, %ld cores\n", date, system.sysname, system.release, system.machine, cpu.c_str(),
                sysconf(_SC_NPROCESSORS_ONLN));
}

bool writeSix(const std::string &dir, Format format, const std::function<Picture(int n)> &face)
{
    bool written = true;
    for (int n = 1; n <= 6; ++n)
        written &= writePicture(facePath(dir, n), face(n), format);
    return written;
}

bool photoPngs(const std::string &dir)
{
    return writeSix(dir, Format::Png, [](int n) { return photo(2048, 2048, unsigned(n)); });
}

bool smallFaces(const std::string &dir)
{
    return writeBmp(facePath(dir, 1), photo(256, 256, 1)) &&
           writePicture(facePath(dir, 2), photo(256, 256, 2), Format::Png) &&
           writePicture(facePath(dir, 3), photo(256, 256, 3), Format::Jpeg) &&
           writePicture(facePath(dir, 4), photo(256, 256, 4), Format::Tga) &&
           writeBmp(facePath(dir, 5), photo(301, 301, 5)) &&
           writePicture(facePath(dir, 6), photo(128, 128, 6), Format::Png);
}

bool jpegPhotos(const std::string &dir)
{
    return writeSix(dir, Format::Jpeg, [](int n) { return photo(8192, 8192, unsigned(n), true); });
}

bool noisePngs(const std::string &dir)
{
    return writeSix(dir, Format::Png, [](int n) { return plasma(2048, unsigned(n)); });
}

// BMP headers of a row of INT_MAX pixels, the files ending long before it:
// their decoders keep busy for many seconds, writing their 2 GiB output
// buffers a byte at a time, until they write past their end and die of
// SIGSEGV, before the processor limit.
bool intMaxBmps(const std::string &dir)
{
    const std::string header("BM\xe8\3\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\xff\xff\xff\x7f\1\0\0\0\1\0\x18\0", 30);
    bool written = true;
    for (int n = 1; n <= 6; ++n)
        written &= saveFile(facePath(dir, n), header + std::string(24, '\0') + std::string(64, '\x55'));
    return written;
}

// PNGs whose inflating never ends (SOIL's output buffer doubles in an int
// past 1 GiB and spins for ever): the first face alone, beside five 2048x2048
// photos, or all six.
bool oneEndlessPng(const std::string &dir)
{
    bool written = writeEndlessPng(facePath(dir, 1));
    for (int n = 2; n <= 6; ++n)
        written &= writePicture(facePath(dir, n), photo(2048, 2048, unsigned(n)), Format::Png);
    return written;
}

bool endlessPngs(const std::string &dir)
{
    bool written = true;
    for (int n = 1; n <= 6; ++n)
        written &= writeEndlessPng(facePath(dir, n));
    return written;
}

// Six pictures at the decoding budget, 2^29 bytes decoded each: where
// memory counts most.
bool budgetBmps(const std::string &dir)
{
    bool written = true;
    for (int n = 1; n <= 6; ++n)
        written &= writeBmp(facePath(dir, n), photo(13377, 13377, unsigned(n)));
    return written;
}

// One column wider than the largest texture, mostly flat colour with a few
// squares in another: each compresses to about 400 KB.
bool oversizePngs(const std::string &dir)
{
    return writeSix(dir, Format::Png, [](int n) {
        Picture p(16385, 8192, Rgb{std::uint8_t(40 * n), std::uint8_t(220 - 30 * n), 90});
        for (int i = 0; i < 8; ++i)
            p.fillRect(i * 2048, i * 1024, i * 2048 + 512, i * 1024 + 512, Rgb{200, 60, std::uint8_t(30 * n)});
        return p;
    });
}

enum Build : std::uint8_t { viewer, unsandboxed, plain, floor, builds };

// Which of n builds goes i-th in a run. Each run starts with a different
// one, and over n runs (2n if n is odd) each follows each of the others
// equally often: memory the previous launch gave back stays quick to have
// again for a second or so on some machines (this one among them), so a
// fixed order would favour whichever build follows the hungriest.
size_t launchOrder(size_t run, size_t i, size_t n)
{
    if (n % 2 && run / n % 2)
        i = n - 1 - i; // the mirror image, for an odd n
    const size_t step = (i + 1) / 2;
    return ((i % 2 ? step : n - step) + run) % n; // 0, 1, n - 1, 2, n - 2, ... shifted by the run
}
const std::vector<Build> allBuilds = {viewer, unsandboxed, plain, floor};

struct Row {
    const char *name;
    int runs;
    double goal; // for viewer / plain time; 0 for none
    int busyCores;
    std::vector<Build> run;
    bool worstCase; // chosen on its own; minutes allowed, a white face counts as a frame
    bool (*write)(const std::string &dir);
};

const double memoryGoal = 1.10;

} // namespace

int main(int argc, char **argv)
{
    const bool everything = argc > 6 && std::strcmp(argv[6], "all") == 0;
    const int onlyRow = argc > 6 && !everything ? std::atoi(argv[6]) : 0;
    if (argc < 5 || !std::getenv("DISPLAY") || (argc > 6 && !everything && onlyRow < 1)) {
        std::fprintf(stderr,
                     "usage: startup_bench VIEWER UNSANDBOXED PLAIN FLOOR [RUNS [ROW | all]], with DISPLAY set\n");
        return 2;
    }
    std::string binaries[builds];
    for (int build = 0; build < builds; ++build)
        binaries[build] = std::filesystem::absolute(argv[1 + build]);
    const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 9;
    const std::string root = std::filesystem::temp_directory_path() / "cubeview-bench";

    const Row rows[] = {
        {"six 2048x2048 PNG photos", runs, 0.58, 0, allBuilds, false, photoPngs},
        {"six small faces, mixed formats*", runs, 1.00, 0, allBuilds, false, smallFaces},
        {"six 8192x8192 JPEG photos", std::min(runs, std::max(3, runs / 5)), 0.55, 0, allBuilds, false, jpegPhotos},
        {"six 2048x2048 PNG noise", runs, 0.58, 0, allBuilds, false, noisePngs},
        {"six 2048x2048 PNG noise, 1 core busy", runs, 0.80, 1, allBuilds, false, noisePngs},
        {"six 2048x2048 PNG noise, 2 cores busy", runs, 0.75, 2, allBuilds, false, noisePngs},
        {"six BMPs of INT_MAX columns (worst case)", 1, 0, 0, {viewer}, true, intMaxBmps},
        {"six 16385x8192 PNG (worst case)", 1, 0, 0, {viewer, plain}, true, oversizePngs},
        {"six 13377x13377 BMP, at the budget", 1, 0, 0, {viewer, plain}, true, budgetBmps},
        {"one endless PNG, five 2048x2048 PNG photos", 1, 0, 0, {viewer}, true, oneEndlessPng},
        {"six endless PNGs (worst case)", 1, 0, 0, {viewer}, true, endlessPngs},
    };
    const int rowCount = int(std::size(rows));
    if (onlyRow > rowCount) {
        std::fprintf(stderr, "startup_bench: ROW is 1 to %d\n", rowCount);
        return 2;
    }

    const MemoryGroups groups = memoryGroups();
    if (groups.parent.empty())
        std::fprintf(stderr, "startup_bench: no memory control group to be had (this needs root and a memory "
                             "controller): times only\n");
    else
        removeLeftMemoryGroups(groups);
    printMachine();
    std::printf("%-47s %37s %16s %9s %7s %21s %16s\n", "", "time to first frame, median", "viewer / plain", "decoding",
                "sandbox", "peak memory, median", "viewer / plain");
    std::printf("%-42s %4s %8s %11s %8s %7s %9s %6s %9s %7s %10s %10s %9s %6s\n", "faces", "runs", "viewer",
                "unsandboxed", "plain", "floor", "time", "goal", "showing", "cost", "viewer", "plain", "memory",
                "goal");
    std::fflush(stdout);
    bool met = true;
    for (const Row &row : rows) {
        const int number = int(&row - rows) + 1;
        if (onlyRow ? number != onlyRow : row.worstCase && !everything)
            continue;
        const int rowRuns = row.worstCase && onlyRow ? runs : row.runs;
        const bool floorRuns = std::count(row.run.begin(), row.run.end(), floor) > 0;
        const std::string dir = root + "/faces", decoded = root + "/decoded";
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(dir + "/Data");
        if (!row.write(dir) || (floorRuns && !writeDecoded(dir, decoded))) {
            std::fprintf(stderr, "startup_bench: cannot write the faces for %s\n", row.name);
            return 1;
        }
        readAll(root);

        const BusyCores busy(row.busyCores);
        const std::chrono::seconds timeout(row.worstCase ? 300 : 60);
        std::vector<double> times[builds], peaks[builds], timeRatios, memoryRatios, sandboxCosts;
        for (int run = 0; run < rowRuns; ++run) {
            Launch launches[builds];
            for (size_t i = 0; i < row.run.size(); ++i) {
                const Build build = row.run[launchOrder(size_t(run), i, row.run.size())];
                launches[build] =
                    firstFrame(binaries[build], build == floor ? decoded : dir, groups, timeout, row.worstCase);
                if (launches[build].ms < 0) {
                    std::fprintf(stderr, "startup_bench: %s showed no picture\n", binaries[build].c_str());
                    return 1;
                }
                times[build].push_back(launches[build].ms);
                if (launches[build].mib >= 0)
                    peaks[build].push_back(launches[build].mib);
            }
            // Each run's builds ran back to back, so their ratios are little moved by the machine's drift.
            if (launches[plain].ms > 0)
                timeRatios.push_back(launches[viewer].ms / launches[plain].ms);
            if (launches[unsandboxed].ms > 0)
                sandboxCosts.push_back(launches[viewer].ms / launches[unsandboxed].ms);
            if (launches[viewer].mib > 0 && launches[plain].mib > 0)
                memoryRatios.push_back(launches[viewer].mib / launches[plain].mib);
        }
        double medians[builds];
        for (int build = 0; build < builds; ++build)
            medians[build] = median(times[build]);
        const double timeRatio = median(timeRatios), memoryRatio = median(memoryRatios);
        met &= row.goal == 0 || timeRatio <= row.goal;
        met &= memoryRatio < 0 || memoryRatio <= memoryGoal;
        const double showing =
            floorRuns ? 100 * (medians[viewer] - medians[floor]) / (medians[plain] - medians[floor]) : -1;
        std::printf("%-42s %4d %s %s %s %s %s %s %s %s %s %s %s %s\n", row.name, rowRuns,
                    cell(8, medians[viewer], 0, " ms").c_str(), cell(11, medians[unsandboxed], 0, " ms").c_str(),
                    cell(8, medians[plain], 0, " ms").c_str(), cell(7, medians[floor], 0, " ms").c_str(),
                    cell(9, timeRatio, 2).c_str(), cell(6, row.goal > 0 ? row.goal : -1, 2).c_str(),
                    cell(9, showing, 0, "%").c_str(), cell(7, median(sandboxCosts), 3).c_str(),
                    cell(10, median(peaks[viewer]), 0, " MiB").c_str(),
                    cell(10, median(peaks[plain]), 0, " MiB").c_str(), cell(9, memoryRatio, 2).c_str(),
                    cell(6, memoryRatio < 0 ? -1 : memoryGoal, 2).c_str());
        std::fflush(stdout);
    }
    std::filesystem::remove_all(root);
    std::printf("\nviewer: the viewer; unsandboxed: the same without its decoders' sandbox; plain: the same viewer "
                "loading in-process; floor: the same handed pictures already decoded.\n"
                "viewer / plain: median over the runs of the two builds' ratio in each run; goals are upper "
                "bounds. decoding showing: (viewer - floor) / (plain - floor).\n"
                "sandbox cost: median of viewer / unsandboxed. peak memory: the most held by a memory control group "
                "of the program, its children and their memory files, from launch to the first frame.\n"
                "noise: plasma fractals of about 6.6 MB each; N cores busy: N processes spinning beside every run "
                "of the row.\n"
                "worst cases: the viewer alone, or beside the plain loader, with a white face counted as the first "
                "frame.\n"
                "* small faces: the goal is to be no worse than today.\n");
    return met ? 0 : 1;
}
