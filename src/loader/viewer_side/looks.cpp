#include "loader/viewer_side/looks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The whole of a file in /proc, or "" if it cannot be read.
std::string readAll(const char *path)
{
    std::string text;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char piece[16384];
    for (ssize_t n; (n = read(fd, piece, sizeof piece)) > 0;)
        text.append(piece, size_t(n));
    close(fd);
    return text;
}

// The KiB referenced in the mappings of /proc/PID/smaps that are the
// decoder's own memory: private, anonymous and unnamed (not its stack, not
// a file).
std::int64_t referencedKiB(const std::string &smaps)
{
    long long total = 0, kib = 0;
    bool own = false; // the mapping being read is one of those
    for (size_t at = 0; at < smaps.size();) {
        const size_t end = std::min(smaps.find('\n', at), smaps.size());
        const std::string line = smaps.substr(at, end - at);
        at = end + 1;
        char perms[8] = "";
        unsigned long long inode = 0;
        int named = -1;
        if (std::sscanf(line.c_str(), "%*x-%*x %7s %*x %*s %llu %n", perms, &inode, &named) == 2)
            own = perms[3] == 'p' && inode == 0 && named >= 0 && size_t(named) == line.size();
        else if (own && std::sscanf(line.c_str(), "Referenced: %lld", &kib) == 1)
            total += kib;
    }
    return total;
}

} // namespace

// Then the count starts over, through clear_refs.
std::optional<std::int64_t> touchedKiB(pid_t pid)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/smaps", int(pid));
    const std::string smaps = readAll(path);
    if (smaps.empty())
        return std::nullopt;
    std::snprintf(path, sizeof path, "/proc/%d/clear_refs", int(pid));
    const int clear = open(path, O_WRONLY | O_CLOEXEC);
    const bool cleared = clear >= 0 && write(clear, "2", 1) == 1; // anonymous pages only
    if (clear >= 0)
        close(clear);
    return cleared ? std::optional<std::int64_t>(referencedKiB(smaps)) : std::nullopt;
}

Look lookAt(pid_t pid, int result, long nowMs)
{
    Look look;
    look.atMs = nowMs;
    clockid_t clock{};
    timespec t{};
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &t) == 0)
        look.cpuNs = std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;

    char path[32], stat[1024] = "";
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return look;
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    const char *fields = n > 0 ? std::strrchr(stat, ')') : nullptr; // the name before it may hold anything
    char state = 0;
    Trace trace{};
    // From the state on: state, ppid, pgrp, session, tty, tpgid, flags,
    // minflt, cminflt, majflt, cmajflt, utime, stime, cutime, cstime,
    // priority, nice, threads, itrealvalue, starttime, vsize, rss.
    if (!fields ||
        std::sscanf(fields + 1,
                    " %c %*d %*d %*d %*d %*d %*u %" SCNu64 " %*u %" SCNu64
                    " %*u %*u %*u %*d %*d %*d %*d %*d %*d %*u %" SCNu64 " %" SCNu64,
                    &state, &trace.minorFaults, &trace.majorFaults, &trace.mappedBytes, &trace.heldPages) != 5)
        return look;
    look.runnable = state == 'R';
    struct stat info = {};
    if (fstat(result, &info) == 0) {
        trace.resultBytes = std::uint64_t(info.st_size);
        look.trace = trace;
    }
    return look;
}
