#include "picture.h"

#include <algorithm>
#include <fstream>

void Picture::fillRect(int x0, int y0, int x1, int y1, Rgb colour)
{
    for (int y = std::max(0, y0); y < std::min(height, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(width, x1); ++x)
            at(x, y) = colour;
}

namespace {

void put16(std::string &out, unsigned v)
{
    out += char(v & 0xff);
    out += char((v >> 8) & 0xff);
}

void put32(std::string &out, unsigned v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

bool save(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(file.flush());
}

} // namespace

bool writeBmp(const std::string &path, const Picture &picture)
{
    const unsigned rowBytes = (unsigned(picture.width) * 3 + 3) & ~3u; // rows pad to 4 bytes
    const unsigned dataBytes = rowBytes * unsigned(picture.height);
    std::string out;
    out += "BM";
    put32(out, 54 + dataBytes); // file size
    put32(out, 0);              // reserved
    put32(out, 54);             // offset of the pixels
    put32(out, 40);             // BITMAPINFOHEADER
    put32(out, unsigned(picture.width));
    put32(out, unsigned(picture.height)); // positive: bottom row first
    put16(out, 1);                        // planes
    put16(out, 24);                       // bits per pixel
    put32(out, 0);                        // no compression
    put32(out, dataBytes);
    put32(out, 2835); // 72 dpi
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (int y = picture.height - 1; y >= 0; --y) {
        const size_t rowStart = out.size();
        for (int x = 0; x < picture.width; ++x) {
            const Rgb &p = picture.at(x, y);
            out += char(p.b);
            out += char(p.g);
            out += char(p.r);
        }
        out.resize(rowStart + rowBytes, '\0');
    }
    return save(path, out);
}
