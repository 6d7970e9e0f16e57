#pragma once

// The benchmark's pictures: smooth colour with some grain, so that they
// compress like photographs. With `detail`, the bottom right quarter is
// fine detail, as in a photograph of something in front of a clear sky.

#include "picture.h"

inline Picture photo(int width, int height, unsigned seed, bool detail = false)
{
    Picture p(width, height, Rgb{});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245 + 12345;
            const bool busy = detail && x >= width / 2 && y >= height / 2;
            const int grain = int(seed >> (busy ? 25 : 28));
            p.at(x, y) = Rgb{std::uint8_t(x * 255 / width + grain), std::uint8_t(y * 255 / height + grain),
                             std::uint8_t((x + y) * 254 / (width + height) + grain)};
        }
    return p;
}
