#pragma once

// Picture files in every format SOIL reads, for the tests and the benchmark.

#include "picture.h"

#include <cstdint>

enum class Format : std::uint8_t { Bmp, Png, Jpeg, Tga, Dds, Psd, Hdr };
const Format allFormats[] = {Format::Bmp, Format::Png, Format::Jpeg, Format::Tga,
                             Format::Dds, Format::Psd, Format::Hdr};
const char *formatName(Format format);

// Writes `picture` in `format`: 24-bit BMP, RGB PNG, JPEG of quality 90,
// 24-bit TGA, DXT1 DDS, raw RGB PSD, flat Radiance HDR. False if the file
// cannot be written in full.
bool writePicture(const std::string &path, const Picture &picture, Format format);

// In colour, or in grey if `grey`.
bool writeJpeg(const std::string &path, const Picture &picture, int quality, bool grey = false);
// Rows unfiltered, or all filtered with Paeth, the filter slowest to undo.
bool writePng(const std::string &path, const Picture &picture, bool paethFilter = false);
// The same of width x height samples of `channels` bytes each, top row
// first, of PNG colour type `type`, compressed at zlib's `level`, with
// `chunks` (a palette, transparency) before the data.
bool writePngSamples(const std::string &path, int width, int height, int type, int channels, const std::string &samples,
                     bool paethFilter, int level, const std::string &chunks = "");
// One chunk of a PNG, length and checksum included.
std::string pngChunk(const char *type, const std::string &data);

// A grey PNG of width x height black pixels whose data inflates to
// height * (width + 1) bytes from a file of about a thousandth of that:
// a decompression bomb.
bool writeZeroPng(const std::string &path, int width, int height);

// A PNG of a few dozen bytes whose compressed data never ends: its code
// table makes the zeros an inflater reads past the end of the data copies
// of 258 bytes each. SOIL's inflater doubles its output buffer in an int,
// so past 1 GiB the doubling overflows and it spins for ever.
bool writeEndlessPng(const std::string &path);
