#include "picture.h"

#include <algorithm>
#include <fstream>

void Picture::fillRect(int x0, int y0, int x1, int y1, Rgb colour)
{
    for (int y = std::max(0, y0); y < std::min(height, y1); ++y)
        for (int x = std::max(0, x0); x < std::min(width, x1); ++x)
            at(x, y) = colour;
}

void putLittle(std::string &out, std::uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += char((v >> (8 * i)) & 0xff);
}

void putBig(std::string &out, std::uint32_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out += char((v >> (8 * i)) & 0xff);
}

bool saveFile(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(file.flush());
}

bool writeBmp(const std::string &path, const Picture &picture)
{
    const unsigned rowBytes = (unsigned(picture.width) * 3 + 3) & ~3u; // rows pad to 4 bytes
    const unsigned dataBytes = rowBytes * unsigned(picture.height);
    std::string out;
    out += "BM";
    putLittle(out, 54 + dataBytes, 4); // file size
    putLittle(out, 0, 4);              // reserved
    putLittle(out, 54, 4);             // offset of the pixels
    putLittle(out, 40, 4);             // BITMAPINFOHEADER
    putLittle(out, unsigned(picture.width), 4);
    putLittle(out, unsigned(picture.height), 4); // positive: bottom row first
    putLittle(out, 1, 2);                        // planes
    putLittle(out, 24, 2);                       // bits per pixel
    putLittle(out, 0, 4);                        // no compression
    putLittle(out, dataBytes, 4);
    putLittle(out, 2835, 4); // 72 dpi
    putLittle(out, 2835, 4);
    putLittle(out, 0, 4);
    putLittle(out, 0, 4);
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
    return saveFile(path, out);
}
