#include "picture_files.h"

#include <SOIL/SOIL.h>
#include <jpeglib.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

static_assert(sizeof(Rgb) == 3, "rows are handed to libjpeg and SOIL as packed RGB");

namespace {

int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

bool savePng(const std::string &path, int width, int height, int type, const std::string &zlibData,
             const std::string &chunks = "")
{
    std::string header;
    putBig(header, std::uint32_t(width), 4);
    putBig(header, std::uint32_t(height), 4);
    header += char(8); // bits per sample
    header += char(type);
    header.append(3, '\0'); // deflate, adaptive filters, no interlace
    return saveFile(path, "\x89PNG\r\n\x1a\n" + pngChunk("IHDR", header) + chunks + pngChunk("IDAT", zlibData) +
                              pngChunk("IEND", ""));
}

} // namespace

std::string pngChunk(const char *type, const std::string &data)
{
    std::string out;
    putBig(out, std::uint32_t(data.size()), 4);
    out += type;
    out += data;
    putBig(out, std::uint32_t(crc32(0, reinterpret_cast<const Bytef *>(out.data() + 4), uInt(out.size() - 4))), 4);
    return out;
}

bool writePngSamples(const std::string &path, int width, int height, int type, int channels, const std::string &samples,
                     bool paethFilter, int level, const std::string &chunks)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(samples.data());
    const size_t row = size_t(width) * size_t(channels), c = size_t(channels);
    std::string raw;
    raw.reserve((row + 1) * size_t(height));
    for (size_t y = 0; y < size_t(height); ++y) {
        raw += paethFilter ? '\4' : '\0';
        for (size_t i = 0; i < row; ++i) {
            const int left = i >= c ? bytes[y * row + i - c] : 0, up = y > 0 ? bytes[(y - 1) * row + i] : 0;
            const int upLeft = i >= c && y > 0 ? bytes[(y - 1) * row + i - c] : 0;
            raw += char(bytes[y * row + i] - (paethFilter ? paeth(left, up, upLeft) : 0));
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(packed.data()), &size, reinterpret_cast<const Bytef *>(raw.data()),
                  uLong(raw.size()), level) != Z_OK)
        return false;
    packed.resize(size);
    return savePng(path, width, height, type, packed, chunks);
}

bool writePng(const std::string &path, const Picture &picture, bool paethFilter)
{
    const std::string rgb(reinterpret_cast<const char *>(picture.pixels.data()), picture.pixels.size() * 3);
    return writePngSamples(path, picture.width, picture.height, 2, 3, rgb, paethFilter, 6);
}

namespace {

// Raw deflate of `zeros` zero bytes, ending on a byte boundary with the
// history reset, so that copies of it can follow one another.
std::string deflatedZeros(size_t zeros)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    const std::string in(zeros, '\0');
    std::string out(deflateBound(&z, uLong(zeros)) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FULL_FLUSH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

bool writeTga(const std::string &path, const Picture &picture)
{
    std::string out;
    putLittle(out, 2 << 16, 8); // no id, no colour map, uncompressed true colour
    putLittle(out, 0, 4);       // origin
    putLittle(out, std::uint32_t(picture.width), 2);
    putLittle(out, std::uint32_t(picture.height), 2);
    out += char(24);   // bits per pixel
    out += char(0x20); // top row first
    for (const Rgb &p : picture.pixels) {
        out += char(p.b);
        out += char(p.g);
        out += char(p.r);
    }
    return saveFile(path, out);
}

bool writePsd(const std::string &path, const Picture &picture)
{
    std::string out = "8BPS";
    putBig(out, 1, 2); // version
    out.append(6, '\0');
    putBig(out, 3, 2); // channels
    putBig(out, std::uint32_t(picture.height), 4);
    putBig(out, std::uint32_t(picture.width), 4);
    putBig(out, 8, 2);          // bits per channel
    putBig(out, 3, 2);          // RGB
    out.append(12, 0);          // no colour mode data, image resources or layers
    putBig(out, 0, 2);          // raw
    for (int c = 0; c < 3; ++c) // one plane per channel
        for (const Rgb &p : picture.pixels)
            out += char(c == 0 ? p.r : c == 1 ? p.g : p.b);
    return saveFile(path, out);
}

bool writeHdr(const std::string &path, const Picture &picture)
{
    std::string out = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(picture.height) + " +X " +
                      std::to_string(picture.width) + "\n";
    // Flat RGBE, every mantissa at least 128 as an encoder leaves them.
    for (const Rgb &p : picture.pixels) {
        out += char(128 + p.r / 2);
        out += char(128 + p.g / 2);
        out += char(128 + p.b / 2);
        out += char(128);
    }
    return saveFile(path, out);
}

} // namespace

const char *formatName(Format format)
{
    const char *const names[] = {"BMP", "PNG", "JPEG", "TGA", "DDS", "PSD", "HDR"};
    return names[int(format)];
}

bool writePicture(const std::string &path, const Picture &picture, Format format)
{
    auto *rgb = const_cast<unsigned char *>(reinterpret_cast<const unsigned char *>(picture.pixels.data()));
    switch (format) {
    case Format::Bmp: return writeBmp(path, picture);
    case Format::Png: return writePng(path, picture);
    case Format::Jpeg: return writeJpeg(path, picture, 90);
    case Format::Tga: return writeTga(path, picture);
    case Format::Dds:
        return SOIL_save_image(path.c_str(), SOIL_SAVE_TYPE_DDS, picture.width, picture.height, 3, rgb) != 0;
    case Format::Psd: return writePsd(path, picture);
    case Format::Hdr: return writeHdr(path, picture);
    }
    return false;
}

bool writeZeroPng(const std::string &path, int width, int height)
{
    const size_t row = size_t(width) + 1, rowsPerPart = 100;
    const std::string part = deflatedZeros(row * rowsPerPart);
    const std::string rest = deflatedZeros(row * (size_t(height) % rowsPerPart));
    std::string data = "\x78\x01";
    for (int i = 0; i < height / int(rowsPerPart); ++i)
        data += part;
    data += rest;
    data += std::string("\x01\x00\x00\xff\xff", 5); // final, empty stored block
    // Adler-32 of n zero bytes: a = 1, b = n.
    putBig(data, std::uint32_t((row * size_t(height) % 65521) << 16 | 1), 4);
    return savePng(path, width, height, 0, data);
}

bool writeEndlessPng(const std::string &path)
{
    std::string data = "\x78\x01"; // zlib: deflate, no dictionary
    std::uint32_t bits = 0;
    int count = 0;
    const auto value = [&](std::uint32_t v, int n) { // least significant bit first
        for (int i = 0; i < n; ++i, ++count, v >>= 1)
            bits |= (v & 1) << count;
        for (; count >= 8; count -= 8, bits >>= 8)
            data += char(bits);
    };
    const auto code = [&](std::uint32_t c, int n) { // a Huffman code: its most significant bit first
        for (int i = n - 1; i >= 0; --i)
            value(c >> i, 1);
    };
    value(1, 1), value(2, 2);                // the last block, with codes of its own
    value(29, 5), value(1, 5), value(14, 4); // 286 literal and length codes, 2 distance codes, 18 code lengths
    // Code lengths for the code-length symbols, in their odd order: 2 for
    // 0, 1, 2 and 18 (codes 00, 01, 10 and 11), none for the others.
    for (int length : {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2})
        value(std::uint32_t(length), 3);
    // Literal 0 and end of block 2 bits long, length 258 (285) 1 bit: code 0;
    // distances 1 and 2, 1 bit each.
    code(2, 2), code(3, 2), value(127, 7), code(3, 2), value(106, 7); // 0: 2; 1 to 255: none
    code(2, 2), code(3, 2), value(17, 7), code(1, 2);                 // 256: 2; 257 to 284: none; 285: 1
    code(1, 2), code(1, 2);                                           // distances: 1 each
    code(2, 2);                                                       // one literal 0, then zeros: copies, for ever
    value(0, 7);
    return savePng(path, 1024, 1024, 0, data); // grey
}

bool writeJpeg(const std::string &path, const Picture &picture, int quality, bool grey)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, file);
    jpeg.image_width = JDIMENSION(picture.width);
    jpeg.image_height = JDIMENSION(picture.height);
    jpeg.input_components = grey ? 1 : 3;
    jpeg.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, quality, TRUE);
    jpeg_start_compress(&jpeg, TRUE);
    std::vector<std::uint8_t> greys(size_t(grey ? picture.width : 0));
    for (int y = 0; y < picture.height; ++y) {
        auto *row = reinterpret_cast<JSAMPROW>(const_cast<Rgb *>(&picture.at(0, y)));
        for (int x = 0; x < int(greys.size()); ++x)
            greys[size_t(x)] = picture.at(x, y).g;
        if (grey)
            row = greys.data();
        jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    return std::fclose(file) == 0;
}
