#include "picture_kinds.h"

#include "picture_files.h"

#include <SOIL/SOIL.h>

#include <cstdint>

namespace {

std::uint8_t grey(const Rgb &p) { return std::uint8_t((p.r * 77 + p.g * 150 + p.b * 29) >> 8); }
std::uint8_t alpha(const Rgb &p) { return std::uint8_t(p.r ^ p.b); }
// 3 bits of red, 3 of green, 2 of blue.
std::uint8_t paletteIndex(const Rgb &p) { return std::uint8_t((p.r & 0xe0) | (p.g & 0xe0) >> 3 | p.b >> 6); }
Rgb paletteColour(int i) { return Rgb{std::uint8_t(i & 0xe0), std::uint8_t((i << 3) & 0xe0), std::uint8_t(i << 6)}; }

// The picture's pixels as `channels` bytes each, top row first: grey, grey
// and alpha, RGB or RGBA, or one palette index.
std::string samples(const Picture &picture, int channels, bool indexed = false)
{
    std::string out;
    out.reserve(picture.pixels.size() * size_t(channels));
    for (const Rgb &p : picture.pixels) {
        if (indexed) {
            out += char(paletteIndex(p));
            continue;
        }
        if (channels <= 2)
            out += char(grey(p));
        else
            out += char(p.r), out += char(p.g), out += char(p.b);
        if (channels % 2 == 0)
            out += char(alpha(p));
    }
    return out;
}

// A PNG of colour type `type`, every row Paeth-filtered, the filter slowest
// to undo; with a palette of 256 colours for type 3, and a tRNS chunk if
// `transparency`.
bool png(const std::string &path, const Picture &picture, int type, bool transparency)
{
    const int channels = type == 0 ? 1 : type == 2 ? 3 : type == 3 ? 1 : type == 4 ? 2 : 4;
    std::string chunks;
    if (type == 3) {
        std::string palette, opacity;
        for (int i = 0; i < 256; ++i) {
            const Rgb c = paletteColour(i);
            palette += char(c.r), palette += char(c.g), palette += char(c.b), opacity += char(255 - i);
        }
        chunks = pngChunk("PLTE", palette) + (transparency ? pngChunk("tRNS", opacity) : "");
    } else if (transparency) {
        chunks = pngChunk("tRNS", std::string("\0\x80\0\x40\0\x20", 6)); // one colour clear
    }
    return writePngSamples(path, picture.width, picture.height, type, channels, samples(picture, channels, type == 3),
                           true, 1, chunks);
}

// A BMP of 8 (a palette), 24 or 32 bits a pixel, rows bottom first or top first.
bool bmp(const std::string &path, const Picture &picture, int bits, bool topFirst)
{
    const std::uint32_t row = (std::uint32_t(picture.width) * std::uint32_t(bits / 8) + 3) & ~3u;
    const std::uint32_t palette = bits == 8 ? 1024 : 0, offset = 54 + palette;
    std::string out = "BM";
    putLittle(out, offset + row * std::uint32_t(picture.height), 4);
    putLittle(out, 0, 4), putLittle(out, offset, 4), putLittle(out, 40, 4),
        putLittle(out, std::uint32_t(picture.width), 4);
    putLittle(out, topFirst ? std::uint32_t(-picture.height) : std::uint32_t(picture.height), 4);
    putLittle(out, 1, 2), putLittle(out, std::uint32_t(bits), 2);
    for (int i = 0; i < 6; ++i)
        putLittle(out, 0, 4);
    for (std::uint32_t i = 0; i < palette / 4; ++i) {
        const Rgb c = paletteColour(int(i));
        out += char(c.b), out += char(c.g), out += char(c.r), out += '\0';
    }
    for (int r = 0; r < picture.height; ++r) {
        const size_t start = out.size();
        for (int x = 0; x < picture.width; ++x) {
            const Rgb &p = picture.at(x, topFirst ? r : picture.height - 1 - r);
            if (bits == 8)
                out += char(paletteIndex(p));
            else
                out += char(p.b), out += char(p.g), out += char(p.r);
            if (bits == 32)
                out += char(alpha(p));
        }
        out.resize(start + row, '\0');
    }
    return saveFile(path, out);
}

// A TGA of 8 (grey), 24 or 32 bits a pixel, raw or run-length coded in
// packets of 128 pixels, rows bottom first or top first.
bool tga(const std::string &path, const Picture &picture, int bits, bool runLength, bool topFirst)
{
    std::string out;
    out += '\0', out += '\0', out += char((bits == 8 ? 3 : 2) + (runLength ? 8 : 0));
    putLittle(out, 0, 4), out += '\0', putLittle(out, 0, 4);
    putLittle(out, std::uint32_t(picture.width), 2), putLittle(out, std::uint32_t(picture.height), 2);
    out += char(bits), out += char(topFirst ? 0x20 : 0);
    for (int r = 0; r < picture.height; ++r)
        for (int x = 0; x < picture.width; ++x) {
            if (runLength && x % 128 == 0)
                out += char(std::min(127, picture.width - x - 1));
            const Rgb &p = picture.at(x, topFirst ? r : picture.height - 1 - r);
            if (bits == 8)
                out += char(grey(p));
            else
                out += char(p.b), out += char(p.g), out += char(p.r);
            if (bits == 32)
                out += char(alpha(p));
        }
    return saveFile(path, out);
}

// An RGB PSD, one plane per channel, raw or run-length coded row by row
// (PackBits, in literal runs of 128 bytes).
bool psd(const std::string &path, const Picture &picture, bool runLength)
{
    std::string out = "8BPS";
    putBig(out, 1, 2), out.append(6, '\0'), putBig(out, 3, 2);
    putBig(out, std::uint32_t(picture.height), 4), putBig(out, std::uint32_t(picture.width), 4);
    putBig(out, 8, 2), putBig(out, 3, 2), out.append(12, '\0'), putBig(out, runLength, 2);
    const int literals = (picture.width + 127) / 128;
    if (runLength)
        for (int i = 0; i < 3 * picture.height; ++i)
            putBig(out, std::uint32_t(picture.width + literals), 2);
    for (std::uint8_t Rgb::*channel : {&Rgb::r, &Rgb::g, &Rgb::b})
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x) {
                if (runLength && x % 128 == 0)
                    out += char(std::min(127, picture.width - x - 1));
                out += char(picture.at(x, y).*channel);
            }
    return saveFile(path, out);
}

// A Radiance HDR, flat or run-length coded row by row (in literal runs of
// 128), every mantissa at least 128 as an encoder leaves them.
bool hdr(const std::string &path, const Picture &picture, bool runLength)
{
    std::string out = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(picture.height) + " +X " +
                      std::to_string(picture.width) + "\n";
    const auto rgbe = [](const Rgb &p, int k) {
        return char(k == 3 ? 128 : 128 + (k == 0 ? p.r : k == 1 ? p.g : p.b) / 2);
    };
    for (int y = 0; y < picture.height; ++y) {
        if (!runLength) {
            for (int x = 0; x < picture.width; ++x)
                for (int k = 0; k < 4; ++k)
                    out += rgbe(picture.at(x, y), k);
            continue;
        }
        out += '\2', out += '\2', putBig(out, std::uint32_t(picture.width), 2);
        for (int k = 0; k < 4; ++k)
            for (int x = 0; x < picture.width; ++x) {
                if (x % 128 == 0)
                    out += char(std::min(128, picture.width - x));
                out += rgbe(picture.at(x, y), k);
            }
    }
    return saveFile(path, out);
}

// A DDS, DXT1 for RGB and DXT5 for RGBA as SOIL writes them, or
// uncompressed RGBA.
bool dds(const std::string &path, const Picture &picture, int channels, bool compressed)
{
    const std::string pixels = samples(picture, channels);
    if (compressed)
        return SOIL_save_image(path.c_str(), SOIL_SAVE_TYPE_DDS, picture.width, picture.height, channels,
                               reinterpret_cast<const unsigned char *>(pixels.data())) != 0;
    std::string out = "DDS ";
    const std::uint32_t w = std::uint32_t(picture.width), h = std::uint32_t(picture.height);
    // Size, flags, height, width, pitch, depth, mipmaps, 11 reserved; the
    // pixel format: size, RGB with alpha, no code, 32 bits, the four masks;
    // a texture, and the rest unused.
    const std::uint32_t fields[31] = {124,      0x100f, h,    w,          w * 4,  0, 0, 0,  0,    0, 0,
                                      0,        0,      0,    0,          0,      0, 0, 32, 0x41, 0, 32,
                                      0xff0000, 0xff00, 0xff, 0xff000000, 0x1000, 0, 0, 0,  0};
    for (std::uint32_t field : fields)
        putLittle(out, field, 4);
    for (size_t i = 0; i < pixels.size(); i += 4) // BGRA
        out += pixels[i + 2], out += pixels[i + 1], out += pixels[i], out += pixels[i + 3];
    return saveFile(path, out);
}

} // namespace

const std::vector<PictureKind> &pictureKinds()
{
    using P = const Picture &;
    using S = const std::string &;
    static const std::vector<PictureKind> kinds = {
        {"BMP, 24 bits, bottom first", 3, [](S f, P p) { return bmp(f, p, 24, false); }},
        {"BMP, 24 bits, top first", 3, [](S f, P p) { return bmp(f, p, 24, true); }},
        {"BMP, 32 bits", 3, [](S f, P p) { return bmp(f, p, 32, false); }},
        {"BMP, 8-bit palette", 3, [](S f, P p) { return bmp(f, p, 8, false); }},
        {"PNG, RGB", 3, [](S f, P p) { return png(f, p, 2, false); }},
        {"PNG, RGB, a clear colour", 3, [](S f, P p) { return png(f, p, 2, true); }},
        {"PNG, RGBA", 4, [](S f, P p) { return png(f, p, 6, false); }},
        {"PNG, grey", 1, [](S f, P p) { return png(f, p, 0, false); }},
        {"PNG, grey and alpha", 2, [](S f, P p) { return png(f, p, 4, false); }},
        {"PNG, palette", 3, [](S f, P p) { return png(f, p, 3, false); }},
        {"PNG, palette with alpha", 4, [](S f, P p) { return png(f, p, 3, true); }},
        {"JPEG, colour", 3, [](S f, P p) { return writeJpeg(f, p, 90); }},
        {"JPEG, grey", 1, [](S f, P p) { return writeJpeg(f, p, 90, true); }},
        {"TGA, 24 bits, top first", 3, [](S f, P p) { return tga(f, p, 24, false, true); }},
        {"TGA, 24 bits, bottom first", 3, [](S f, P p) { return tga(f, p, 24, false, false); }},
        {"TGA, 32 bits, run-length", 4, [](S f, P p) { return tga(f, p, 32, true, false); }},
        {"TGA, grey", 1, [](S f, P p) { return tga(f, p, 8, false, false); }},
        {"PSD, raw", 3, [](S f, P p) { return psd(f, p, false); }},
        {"PSD, run-length", 3, [](S f, P p) { return psd(f, p, true); }},
        {"HDR, flat", 3, [](S f, P p) { return hdr(f, p, false); }},
        {"HDR, run-length", 3, [](S f, P p) { return hdr(f, p, true); }},
        {"DDS, DXT1", 3, [](S f, P p) { return dds(f, p, 3, true); }},
        {"DDS, DXT5", 4, [](S f, P p) { return dds(f, p, 4, true); }},
        {"DDS, RGBA", 4, [](S f, P p) { return dds(f, p, 4, false); }},
    };
    return kinds;
}
