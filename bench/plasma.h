#pragma once

// A noise-like picture: per channel, a plasma fractal (midpoint
// displacement, square and diamond steps in turn) whose `roughness` is the
// share of each scale's displacement kept at the next, finer one. The
// rougher, the noisier the finest pixels and the worse the picture
// compresses.

#include "picture.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// `size` must be a power of two; the fractal wraps round at the edges. At
// the default roughness, a 2048x2048 picture makes a PNG of about 6.6 MB
// (6.4 to 6.8 for seeds 1 to 6) through writePicture.
inline Picture plasma(int size, unsigned seed, float roughness = 0.635f)
{
    std::uint64_t state = seed * 0x9e3779b97f4a7c15u + 1;
    const auto displacement = [&state](float amplitude) { // uniform in [-amplitude, amplitude)
        state = state * 6364136223846793005u + 1442695040888963407u;
        return amplitude * (float(state >> 40) / float(1 << 23) - 1);
    };
    const auto wrap = [size](int i) { return i & (size - 1); };
    std::vector<float> h(size_t(size) * size_t(size));
    const auto at = [&](int x, int y) -> float & { return h[size_t(wrap(y)) * size_t(size) + size_t(wrap(x))]; };
    Picture picture(size, size, Rgb{});
    for (std::uint8_t Rgb::*channel : {&Rgb::r, &Rgb::g, &Rgb::b}) {
        at(0, 0) = 128 + displacement(64);
        float amplitude = 64;
        for (int step = size; step > 1; step /= 2, amplitude *= roughness) {
            const int half = step / 2;
            for (int y = 0; y < size; y += step) // square: the centre of each square
                for (int x = 0; x < size; x += step)
                    at(x + half, y + half) =
                        (at(x, y) + at(x + step, y) + at(x, y + step) + at(x + step, y + step)) / 4 +
                        displacement(amplitude);
            for (int y = 0; y < size; y += half) // diamond: the middle of each side
                for (int x = (y / half % 2 ? 0 : half); x < size; x += step)
                    at(x, y) = (at(x - half, y) + at(x + half, y) + at(x, y - half) + at(x, y + half)) / 4 +
                               displacement(amplitude);
        }
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                picture.at(x, y).*channel = std::uint8_t(std::clamp(at(x, y), 0.0f, 255.0f));
    }
    return picture;
}
