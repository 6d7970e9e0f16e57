#pragma once

// How a decoding child hands its picture to the viewer: the descriptors it
// keeps, and the file it leaves on the first of them.

#include <cstdint>

// The child's result file, and where it waits to be let go; the viewer's
// own descriptors for them must be numbered above both.
const int resultFd = 3;
const int goFd = 4;

// What a child leaves at the start of its result file, written last; the
// pixels follow, channels interleaved, rows bottom first as OpenGL takes
// them: what SOIL_FLAG_INVERT_Y would otherwise do in the viewer.
struct DecodedHeader {
    std::uint32_t magic;
    std::int32_t width, height, channels;
};
const std::uint32_t decodedMagic = 0x46414345; // "FACE"
