#pragma once

// Memory control groups for the start-up benchmark: one per launch, which
// the launched program joins before it starts, so that the group's peak
// usage covers the program, all its children and the memory files they
// make. cgroup v1's memory controller or cgroup v2's, whichever is mounted;
// making groups needs root.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// Where each launch gets a group of its own, and the file in such a group
// that holds its peak usage since it was made. `parent` is empty if no
// group can be had.
struct MemoryGroups {
    std::string parent, peakFile;
};

// This process's group in the hierarchy that has the memory controller:
// cgroup v1's line in /proc/self/cgroup names `memory`, cgroup v2's none.
inline std::string ownMemoryGroup(bool v2)
{
    std::ifstream lines("/proc/self/cgroup");
    for (std::string line; std::getline(lines, line);) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        if (second != std::string::npos &&
            (v2 ? controllers == ",," : controllers.find(",memory,") != std::string::npos))
            return line.substr(second + 1);
    }
    return "/";
}

// Groups under this process's own memory group, or else under the root of
// the hierarchy: the first where a new group has a peak to read (in cgroup
// v2, a group's memory controller must be enabled for its children).
inline MemoryGroups memoryGroups()
{
    std::vector<MemoryGroups> candidates;
    const std::string v1 = "/sys/fs/cgroup/memory";
    if (std::filesystem::exists(v1 + "/memory.max_usage_in_bytes"))
        candidates = {{v1 + ownMemoryGroup(false), "memory.max_usage_in_bytes"}, {v1, "memory.max_usage_in_bytes"}};
    for (const char *mount : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
        const std::string v2 = mount;
        std::ifstream controllers(v2 + "/cgroup.controllers");
        for (std::string controller; controllers >> controller;)
            if (controller == "memory") {
                candidates.push_back({v2 + ownMemoryGroup(true), "memory.peak"});
                candidates.push_back({v2, "memory.peak"});
            }
    }
    const std::string probe = "/cubeview-bench-" + std::to_string(getpid());
    for (const MemoryGroups &groups : candidates)
        if (mkdir((groups.parent + probe).c_str(), 0755) == 0) {
            const bool usable = std::filesystem::exists(groups.parent + probe + "/" + groups.peakFile);
            rmdir((groups.parent + probe).c_str());
            if (usable)
                return groups;
        }
    return {};
}

// Removes the groups left by runs of the benchmark that were stopped before
// they could remove them.
inline void removeLeftMemoryGroups(const MemoryGroups &groups)
{
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(groups.parent, error)) {
        int pid = 0;
        if (std::sscanf(entry.path().filename().c_str(), "cubeview-bench-%d", &pid) == 1 && kill(pid, 0) != 0 &&
            errno == ESRCH)
            rmdir(entry.path().c_str());
    }
}

// One launch's group, made empty; removed with whatever the launch left in
// it.
class MemoryGroup {
public:
    explicit MemoryGroup(const MemoryGroups &groups) : peakFile(groups.peakFile)
    {
        static int launches = 0;
        dir = groups.parent + "/cubeview-bench-" + std::to_string(getpid()) + "-" + std::to_string(++launches);
        if (groups.parent.empty() || mkdir(dir.c_str(), 0755) != 0)
            dir.clear();
    }
    ~MemoryGroup()
    {
        // The program is gone; a child it left would keep the group.
        for (int tries = 0; !dir.empty() && tries < 500 && rmdir(dir.c_str()) != 0; ++tries) {
            std::ifstream procs(dir + "/cgroup.procs");
            for (pid_t pid = 0; procs >> pid;)
                kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    MemoryGroup(const MemoryGroup &) = delete;
    MemoryGroup &operator=(const MemoryGroup &) = delete;

    // The most the group has held since it was made, in MiB; -1 without a
    // group.
    double peakMiB() const
    {
        std::ifstream file(dir + "/" + peakFile);
        double bytes = -1;
        return !dir.empty() && file >> bytes ? bytes / (1 << 20) : -1;
    }

    std::string dir; // empty without a group
private:
    std::string peakFile;
};
