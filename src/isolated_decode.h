#pragma once

// What the two sides of the isolated face loader share: the viewer's side
// (face_loader_isolated.cpp) and the decoding child's (decode_child.cpp).
// The limits, the result a child hands back, and the seams the tests use;
// the viewer itself needs only face_loader.h.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>

// What one decoding child may use, all derived from one budget of decoded
// bytes (width * height * channels).
struct DecodeLimits {
    std::uint64_t pixelBytes;   // the budget
    std::uint64_t fileBytes;    // largest picture file read
    std::uint64_t addressSpace; // beyond what the child has mapped when it starts
    std::uint64_t cpuSeconds;   // processor time, user and system
};

// The limits now in force.
DecodeLimits decodeLimits();

// Derives every limit from another budget, at most 2^29 bytes.
void setDecodeBudget(std::uint64_t pixelBytes);

// What a child leaves at the start of its result file, written last; the
// pixels follow, channels interleaved, rows bottom first as OpenGL takes
// them: what SOIL_FLAG_INVERT_Y would otherwise do in the viewer.
struct DecodedHeader {
    std::uint32_t magic;
    std::int32_t width, height, channels;
};
const std::uint32_t decodedMagic = 0x46414345; // "FACE"

// The pixel bytes a header promises, or 0 if its sizes are implausible or
// over the budget.
std::uint64_t plausiblePixelBytes(const DecodedHeader &header);

// Where a child keeps its result file, and where it waits to be let go.
const int resultFd = 3;
const int goFd = 4;

// Test seams; the viewer leaves them alone.
struct DecodeHooks {
    // Runs in each child, inside its sandbox, just before it decodes.
    void (*inChild)(int slot) = nullptr;
    // Gets the wait status and resource usage of each child this process reaps.
    void (*reaped)(int slot, int status, const rusage &usage) = nullptr;
    // How often, in ms, the viewer looks at the children while it waits, if not 0.
    int watchMs = 0;
    // Gets each look at a child decoding: its processor time (-1 if unknown),
    // and whether it left a trace since the last look (decode_watch.h).
    void (*looked)(int slot, std::int64_t cpuNs, bool moved) = nullptr;
};
extern DecodeHooks decodeHooks;
