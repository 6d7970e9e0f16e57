#include "compressed_picture.h"

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <jpeglib.h>

static_assert(sizeof(Rgb) == 3, "rows are handed to libjpeg as packed RGB");
#include <zlib.h>

namespace {

void putBig32(std::string &out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((v >> shift) & 0xff);
}

void pngChunk(std::string &out, const char *type, const std::string &data)
{
    putBig32(out, std::uint32_t(data.size()));
    const size_t start = out.size();
    out += type;
    out += data;
    putBig32(out, std::uint32_t(crc32(0, reinterpret_cast<const Bytef *>(out.data() + start), uInt(out.size() - start))));
}

bool savePng(const std::string &path, int width, int height, int colourType, const std::string &zlibData)
{
    std::string header;
    putBig32(header, std::uint32_t(width));
    putBig32(header, std::uint32_t(height));
    header += char(8); // bits per sample
    header += char(colourType);
    header.append(3, '\0'); // deflate, adaptive filters, no interlace
    std::string out = "\x89PNG\r\n\x1a\n";
    pngChunk(out, "IHDR", header);
    pngChunk(out, "IDAT", zlibData);
    pngChunk(out, "IEND", "");
    std::ofstream file(path, std::ios::binary);
    file.write(out.data(), std::streamsize(out.size()));
    return bool(file.flush());
}

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

} // namespace

bool writePng(const std::string &path, const Picture &picture)
{
    std::string raw;
    for (int y = 0; y < picture.height; ++y) {
        raw += '\0'; // no filter
        for (int x = 0; x < picture.width; ++x) {
            const Rgb &p = picture.at(x, y);
            raw += char(p.r);
            raw += char(p.g);
            raw += char(p.b);
        }
    }
    uLongf size = compressBound(uLong(raw.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(packed.data()), &size, reinterpret_cast<const Bytef *>(raw.data()),
                  uLong(raw.size()), 6) != Z_OK)
        return false;
    packed.resize(size);
    return savePng(path, picture.width, picture.height, 2, packed);
}

bool writeZeroPng(const std::string &path, int width, int height)
{
    const size_t row = size_t(width) + 1, rowsPerPart = 100;
    const std::string part = deflatedZeros(row * rowsPerPart), rest = deflatedZeros(row * (size_t(height) % rowsPerPart));
    std::string data = "\x78\x01";
    for (int i = 0; i < height / int(rowsPerPart); ++i)
        data += part;
    data += rest;
    data += std::string("\x01\x00\x00\xff\xff", 5); // final, empty stored block
    // Adler-32 of n zero bytes: a = 1, b = n.
    putBig32(data, std::uint32_t((row * size_t(height) % 65521) << 16 | 1));
    return savePng(path, width, height, 0, data);
}

bool writeJpeg(const std::string &path, const Picture &picture, int quality)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, file);
    jpeg.image_width = JDIMENSION(picture.width);
    jpeg.image_height = JDIMENSION(picture.height);
    jpeg.input_components = 3;
    jpeg.in_color_space = JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, quality, TRUE);
    jpeg_start_compress(&jpeg, TRUE);
    for (int y = 0; y < picture.height; ++y) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<Rgb *>(&picture.at(0, y)));
        jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    return std::fclose(file) == 0;
}
