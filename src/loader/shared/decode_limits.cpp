#include "decode_limits.h"

#include "result.h"

#include <algorithm>

namespace {

// SOIL computes sizes in int. With at most 2^29 decoded bytes, even the
// power-of-two copy it makes of a picture wider or taller than the largest
// texture stays below 2^31. A 32-bit process has 3 GiB of address space
// (32-bit ARM) to 4 GiB, where the limits of 2^29 (3.2 GB) do not fit
// beside the program's own mappings: there the budget is 2^28, and its
// limits take 1.6 GB.
const std::uint64_t maxBudget = std::uint64_t(1) << (sizeof(void *) >= 8 ? 29 : 28);

// Decoding speed that every format but HDR keeps at the budget, with room
// to spare, on one core of the machine the project is measured on: a
// 2^29-byte PNG, the slowest of them, takes about 12 s there.
const std::uint64_t bytesPerCpuSecond = std::uint64_t(32) << 20;
// The slowest machine a good picture at the budget must still decode on,
// as many times slower: a small ARM board (a Raspberry Pi 4 decodes about
// four to five times slower than one core there).
const std::uint64_t slowestMachine = 5;

// The tests' factor for an emulated machine (setDecodeSlowdown).
std::uint64_t slowdown = 1;

DecodeLimits limitsFor(std::uint64_t budget)
{
    budget = std::min(budget, maxBudget);
    DecodeLimits limits{};
    limits.pixelBytes = budget;
    // Files store at most four bytes for three decoded ones (HDR, 32-bit BMP
    // or DDS without alpha), with a mipmap chain on top.
    limits.fileBytes = 2 * budget;
    // The file is mapped; a decoder holds its result and at most four times
    // as much besides (HDR's floats; PNG keeps its filtered rows), and
    // little else.
    limits.addressSpace = limits.fileBytes + 4 * budget + (std::uint64_t(32) << 20);
    limits.cpuSeconds =
        slowdown * std::max<std::uint64_t>(1, (budget * slowestMachine + bytesPerCpuSecond - 1) / bytesPerCpuSecond);
    return limits;
}

DecodeLimits limits = limitsFor(maxBudget);

} // namespace

DecodeLimits decodeLimits() { return limits; }

void setDecodeBudget(std::uint64_t pixelBytes) { limits = limitsFor(pixelBytes); }

std::uint64_t decodeSlowdown() { return slowdown; }

void setDecodeSlowdown(std::uint64_t times)
{
    slowdown = std::max<std::uint64_t>(1, times);
    limits = limitsFor(limits.pixelBytes);
}

std::uint64_t plausiblePixelBytes(const DecodedHeader &header)
{
    if (header.width <= 0 || header.height <= 0 || header.channels < 1 || header.channels > 4)
        return 0;
    const std::uint64_t bytes =
        std::uint64_t(header.width) * std::uint64_t(header.height) * std::uint64_t(header.channels);
    return bytes <= limits.pixelBytes ? bytes : 0;
}
