#pragma once

// The limits of the isolated face loader (face_loader_isolated.cpp), and
// the seams its tests use; the viewer itself needs only face_loader.h.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>

// What one decoding child may use, all derived from one budget of decoded
// bytes (width * height * channels).
struct DecodeLimits {
    std::uint64_t pixelBytes; // the budget
    off_t fileBytes;          // largest picture file read
    rlim_t addressSpace;      // beyond what the child has mapped when it starts
    rlim_t cpuSeconds;        // processor time, user and system
};

// The limits now in force.
DecodeLimits decodeLimits();

// Test seams; the viewer leaves them alone.
struct DecodeHooks {
    // Runs in each child just before it decodes.
    void (*inChild)() = nullptr;
    // Gets the wait status and resource usage of each child this process reaps.
    void (*reaped)(int slot, int status, const rusage &usage) = nullptr;
};
extern DecodeHooks decodeHooks;

// Derives every limit from another budget, at most 2^29 bytes.
void setDecodeBudget(std::uint64_t pixelBytes);
