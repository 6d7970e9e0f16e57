#include "loader/viewer_side/watchdog.h"

#include "loader/shared/decode_limits.h"
#include "loader/shared/seams.h"
#include "loader/viewer_side/children.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

} // namespace

// From the kernel's count of the pages that the child has referenced in
// the memory it alone maps: private, anonymous, and sharing no page with
// another process (the viewer's, which the child inherited, does; so do
// files). Other processes' use of a shared page could mark it referenced
// for the child too. Then the count starts over.
std::int64_t touchedKiB(pid_t pid)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/smaps", int(pid));
    const std::string smaps = readAll(path);
    if (smaps.empty())
        return -1;
    long long total = 0, shared = 0, referenced = 0;
    bool own = false; // the mapping being read is one the child alone maps
    const auto endOfMapping = [&] {
        if (own && shared == 0)
            total += referenced;
    };
    for (size_t at = 0; at < smaps.size();) {
        const size_t end = std::min(smaps.find('\n', at), smaps.size());
        const std::string line = smaps.substr(at, end - at);
        at = end + 1;
        char perms[8] = "";
        unsigned long long inode = 0;
        int named = -1;
        long long kib = 0;
        if (std::sscanf(line.c_str(), "%*x-%*x %7s %*x %*s %llu %n", perms, &inode, &named) == 2) {
            endOfMapping();
            own = perms[3] == 'p' && inode == 0 && named >= 0 && size_t(named) == line.size();
            shared = referenced = 0;
        } else if (own && (std::sscanf(line.c_str(), "Shared_Clean: %lld", &kib) == 1 ||
                           std::sscanf(line.c_str(), "Shared_Dirty: %lld", &kib) == 1)) {
            shared += kib;
        } else if (own && std::sscanf(line.c_str(), "Referenced: %lld", &kib) == 1) {
            referenced = kib;
        }
    }
    endOfMapping();
    std::snprintf(path, sizeof path, "/proc/%d/clear_refs", int(pid));
    const int clear = open(path, O_WRONLY | O_CLOEXEC);
    const bool cleared = clear >= 0 && write(clear, "2", 1) == 1; // anonymous pages only
    if (clear >= 0)
        close(clear);
    return cleared ? total : -1;
}

ChildLook lookAt(pid_t pid, int result)
{
    ChildLook look;
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
    unsigned long long minor = 0, major = 0, mapped = 0, held = 0;
    // From the state on: state, ppid, pgrp, session, tty, tpgid, flags,
    // minflt, cminflt, majflt, cmajflt, utime, stime, cutime, cstime,
    // priority, nice, threads, itrealvalue, starttime, vsize, rss.
    if (!fields ||
        std::sscanf(fields + 1,
                    " %c %*d %*d %*d %*d %*d %*u %llu %*u %llu %*u %*u %*u %*d %*d %*d %*d %*d %*d %*u %llu %llu",
                    &state, &minor, &major, &mapped, &held) != 5)
        return look;
    look.runnable = state == 'R';
    struct stat info = {};
    look.traced = fstat(result, &info) == 0;
    look.trace = {minor, major, mapped, held, std::uint64_t(info.st_size)};
    return look;
}

void watchChildren()
{
    const long now = nowMs();
    const long unseenMs = long(unseenFactor * decodeLimits().cpuSeconds * 1000);
    std::vector<int> stuck;
    for (int slot = 0; slot < faceSlots; ++slot) {
        Decode &decode = decodes[slot];
        if (!decodingNow(decode))
            continue;
        Watch &watch = decode.watch;
        const ChildLook look = lookAt(decode.pid, decode.result);
        // Its memory is looked through only where what it holds and has
        // written has not moved. Where that memory can be seen, it counts
        // rather than the minor faults: where the architecture marks pages
        // referenced in software (32-bit ARM, and 64-bit ARM before v8.1),
        // the first touch of a page after the last look's clear_refs is a
        // minor fault, and a child spinning in registers takes one a look.
        const bool comparable = look.traced && watch.last.traced;
        const bool heldMoved =
            comparable && !std::equal(look.trace.begin() + 1, look.trace.end(), watch.last.trace.begin() + 1);
        const bool faulted = comparable && look.trace[0] != watch.last.trace[0];
        const std::int64_t touched = heldMoved ? -1 : touchedKiB(decode.pid);
        const bool moved = heldMoved || (touched >= 0 ? touched > busyKiB : faulted);
        // Busy without a trace: judged only where the memory it touches can be seen.
        const bool quiet = look.cpuNs >= 0 && !moved && touched >= 0 && watch.quietFromNs >= 0 &&
                           look.cpuNs - watch.quietFromNs >= std::int64_t(quietCpuMs) * 1000000;
        watch.last = look;
        if (look.cpuNs >= 0 && (moved || touched < 0 || watch.quietFromNs < 0))
            watch.quietFromNs = look.cpuNs;
        if (decodeHooks.looked)
            decodeHooks.looked(slot, look.cpuNs, moved);
        const bool unseen = look.cpuNs < 0 && look.runnable < 0;
        const bool alive = look.cpuNs != watch.cpuNs || look.runnable == 1 || moved;
        if (alive)
            watch.cpuNs = look.cpuNs, watch.seenMs = now;
        // Busy without a trace, or asleep without gaining processor time.
        if (unseen ? now - watch.startedMs >= unseenMs : quiet || (!alive && now - watch.seenMs >= stallMs))
            stuck.push_back(slot);
    }
    if (!stuck.empty())
        stop(stuck);
}
