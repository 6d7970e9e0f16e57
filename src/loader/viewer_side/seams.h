#pragma once

// Seams for the tests and the benchmark into the isolated loader; the
// viewer leaves them alone.

#include "loader/face_loader.h"

#include <sys/resource.h>

#include <cstdint>

struct DecodeHooks {
    // The decoder program to start, if not the viewer's own.
    const char *program = nullptr;
    // For each slot, one argument more for its decoder, if not null: the
    // behaviour of the tests' build of the program.
    const char *behaviour[faceSlots] = {};
    // Gets the wait status and resource usage of each decoder this process reaps.
    void (*reaped)(int slot, int status, const rusage &usage) = nullptr;
    // How often, in ms, the viewer looks at the decoders while it waits, if not 0.
    int watchMs = 0;
    // Gets each look at a decoder under way: its processor time (-1 if
    // unknown), and whether it left a trace since the last look (watchdog.h).
    void (*looked)(int slot, std::int64_t cpuNs, bool moved) = nullptr;
};
inline DecodeHooks decodeHooks;
