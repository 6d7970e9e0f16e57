#pragma once

// A plain RGB picture and a writer of 24-bit BMP files.

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels; // row by row, top row first

    Picture(int w, int h, Rgb fill) : width(w), height(h), pixels(size_t(w) * size_t(h), fill) {}
    Rgb &at(int x, int y) { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
    const Rgb &at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }

    // Fills the rectangle [x0, x1) x [y0, y1), clipped to the picture.
    void fillRect(int x0, int y0, int x1, int y1, Rgb colour);
};

// False if the file cannot be written in full.
bool writeBmp(const std::string &path, const Picture &picture);

// For writers of picture files: appends `v` as `bytes` little-endian or
// big-endian bytes, and writes a whole file (false if it cannot be written
// in full).
void putLittle(std::string &out, std::uint32_t v, int bytes);
void putBig(std::string &out, std::uint32_t v, int bytes);
bool saveFile(const std::string &path, const std::string &bytes);
