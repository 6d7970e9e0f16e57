#pragma once

// What one decoder may use, all derived from one budget of decoded bytes
// (width * height * channels): shared by the viewer's side, which checks
// each result against it and hands the budget to each decoder, and the
// decoder, which sets its limits from it.

#include <cstdint>

struct DecodedHeader;

struct DecodeLimits {
    std::uint64_t pixelBytes;   // the budget
    std::uint64_t fileBytes;    // largest picture file read
    std::uint64_t addressSpace; // beyond what the decoder program maps of its own
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
std::uint64_t decodeSlowdown();

// The pixel bytes a header promises, or 0 if its sizes are implausible or
// over the budget.
std::uint64_t plausiblePixelBytes(const DecodedHeader &header);
