#pragma once

// How the viewer tells a decoding child that is stuck from one that is
// merely slow, from what it can see of the child from outside: nothing the
// child could have written itself. A child is stuck if it is asleep and
// gains no processor time (a read that never returns), or if it keeps
// gaining processor time while it leaves no trace (a decoder that spins).

#include <sys/types.h>

#include <array>
#include <cstdint>

// A child that neither gains processor time nor is runnable for this long
// is stuck.
const int stallMs = 2000;
// A child that gains this much processor time while it leaves no trace and
// touches next to no memory is stuck: no good decode measured, up to the
// budget, went more than a fifth of this so (docs/loader.md).
const int quietCpuMs = 2000;
// A child that cannot be looked at at all (no /proc, no processor clock of
// another process) counts as making progress until it has had this many
// times its processor limit in wall time.
const int unseenFactor = 4;

struct ChildLook {
    std::int64_t cpuNs = -1; // processor time, or -1 if it cannot be read
    int runnable = -1;       // running or waiting for a processor: 1 or 0, or -1 if it cannot be read
    // What the child leaves as it works, if it could be read: its minor
    // page faults (first), its major ones, the pages it has mapped and those
    // it holds, and the bytes in its result file.
    bool traced = false;
    std::array<std::uint64_t, 5> trace{};
};

// Looks at the child `pid`, whose result file the viewer holds as `result`.
ChildLook lookAt(pid_t pid, int result);

// The memory the child `pid` has touched since this was last asked of it
// (or since it started), in KiB; -1 if that cannot be read. A pass over
// memory the child holds already leaves no trace, but shows here.
std::int64_t touchedKiB(pid_t pid);

// A child that has touched more than this between two looks has been at
// work: a decoder that spins touches the few pages of its loop at most.
const int busyKiB = 64;

// What the watchdog has seen of one child since it was let go.
struct Watch {
    long startedMs = 0;            // when it was let go
    std::int64_t cpuNs = -1;       // its processor time when last looked at
    long seenMs = 0;               // when it was last seen making progress
    ChildLook last;                // as it was when last looked at
    std::int64_t quietFromNs = -1; // its processor time when it last left a trace
};

// Looks at every child decoding (children.h), and stops those that are
// stuck. A child that is merely slow, or starved by a busy machine, is left
// alone: only its own processor limit bounds it.
void watchChildren();
