#pragma once

// Seams for the tests and the benchmark into the isolated loader; the
// viewer leaves them alone.

#include <sys/resource.h>

#include <cstdint>

struct DecodeHooks {
    // Runs in each child, inside its sandbox, just before it decodes.
    void (*inChild)(int slot) = nullptr;
    // Gets the wait status and resource usage of each child this process reaps.
    void (*reaped)(int slot, int status, const rusage &usage) = nullptr;
    // How often, in ms, the viewer looks at the children while it waits, if not 0.
    int watchMs = 0;
    // Gets each look at a child decoding: its processor time (-1 if unknown),
    // and whether it left a trace since the last look (watchdog.h).
    void (*looked)(int slot, std::int64_t cpuNs, bool moved) = nullptr;
};
inline DecodeHooks decodeHooks;
