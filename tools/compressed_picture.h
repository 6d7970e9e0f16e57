#pragma once

// Writers of compressed pictures, for the tests and the benchmark.

#include "picture.h"

bool writePng(const std::string &path, const Picture &picture);
bool writeJpeg(const std::string &path, const Picture &picture, int quality = 90);

// A grey PNG of width x height black pixels whose data inflates to
// height * (width + 1) bytes from a file of about a thousandth of that:
// a decompression bomb.
bool writeZeroPng(const std::string &path, int width, int height);
