#pragma once

// What one decoding child may use, all derived from one budget of decoded
// bytes (width * height * channels): shared by the viewer's side, which
// checks each result against it, and the child's, which sets its limits.

#include <cstdint>

struct DecodedHeader;

struct DecodeLimits {
    std::uint64_t pixelBytes;   // the budget
    std::uint64_t fileBytes;    // largest picture file read
    std::uint64_t addressSpace; // beyond what the child has mapped when it starts
    std::uint64_t cpuSeconds;   // processor time, user and system
};

// The limits now in force.
DecodeLimits decodeLimits();

// Derives every limit from another budget, at most 2^29 bytes (2^28 in a
// 32-bit process).
void setDecodeBudget(std::uint64_t pixelBytes);

// For the tests on an emulated machine: processor limits `times` as long,
// for this budget and the next.
void setDecodeSlowdown(std::uint64_t times);

// The pixel bytes a header promises, or 0 if its sizes are implausible or
// over the budget.
std::uint64_t plausiblePixelBytes(const DecodedHeader &header);
