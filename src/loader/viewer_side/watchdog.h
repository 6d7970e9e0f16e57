#pragma once

// How the viewer tells a decoder that is stuck from one that is merely
// slow, from what the kernel shows of it from outside: nothing the decoder
// could have written itself. A decoder is stuck if it is asleep and gains
// no processor time (a read that never returns), or if it keeps gaining
// processor time while it leaves no trace (a decoder that spins). The rule
// is a pure function of what was seen before and what is seen now;
// looks.h reads what the kernel shows.

#include <cstdint>
#include <optional>

// A decoder that neither gains processor time nor is runnable for this long
// is stuck.
const int stallMs = 2000;
// A decoder that gains this much processor time while it leaves no trace
// and touches next to no memory is stuck: no good decode measured, up to the
// budget, went more than a fifth of this so (docs/loader.md).
const int quietCpuMs = 2000;
// A decoder that has touched more than this between two looks has been at
// work: one that spins touches the few pages of its loop at most.
const int busyKiB = 64;
// A decoder that cannot be looked at at all (no /proc, no processor clock
// of another process) counts as making progress until it has had this many
// times its processor limit in wall time.
const int unseenFactor = 4;

// What a decoder leaves as it works.
struct Trace {
    std::uint64_t minorFaults, majorFaults, mappedBytes, heldPages, resultBytes;
};

// One look at a decoder; each field empty where it cannot be read.
struct Look {
    long atMs = 0;                          // when, on the monotonic clock
    std::optional<std::int64_t> cpuNs;      // its processor time
    std::optional<bool> runnable;           // running or waiting for a processor
    std::optional<Trace> trace;             //
    std::optional<std::int64_t> touchedKiB; // the memory it touched since the last look, where it was read
};

// What the watchdog remembers of a decoder from one look to the next.
struct Seen {
    long startedMs = 0;                      // when it started
    long progressMs = 0;                     // when it was last seen making progress
    std::optional<std::int64_t> cpuNs;       // its processor time then
    std::optional<Trace> trace;              // its trace at the last look
    std::optional<std::int64_t> quietFromNs; // its processor time when it last left a trace
};

// What one look shows.
struct Verdict {
    bool stuck;     // to be stopped
    bool leftTrace; // since the last look
    Seen seen;      // to remember for the next
};

// Whether the memory the decoder touched is worth reading at this look:
// only where the trace shows nothing new held. Reading it starts its count
// over, so it is read at most once a look, after the rest.
bool touchedWorthReading(const Seen &seen, const Look &look);

// The rule, for a decoder whose processor limit is `cpuLimitSeconds`.
Verdict judge(const Seen &seen, const Look &look, std::uint64_t cpuLimitSeconds);
