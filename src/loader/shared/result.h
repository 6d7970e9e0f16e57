#pragma once

// How a decoder hands its picture to the viewer: the file it leaves on
// descriptor 3.

#include <cstdint>

// The decoder's result file: the one descriptor it holds beyond 0 to 2.
const int resultFd = 3;

// What a decoder leaves at the start of its result file, written last; the
// pixels follow, channels interleaved, rows bottom first as OpenGL takes
// them: what SOIL_FLAG_INVERT_Y would otherwise do in the viewer.
struct DecodedHeader {
    std::uint32_t magic;
    std::int32_t width, height, channels;
};
const std::uint32_t decodedMagic = 0x46414345; // "FACE"
