#pragma once

// Every kind of picture SOIL reads, as encoders write them: each format in
// the layouts and colour types its decoder takes different paths for (rows
// bottom first or top first, run-length coded or raw, grey, palette, alpha).

#include "picture.h"

#include <string>
#include <vector>

struct PictureKind {
    const char *name;
    int channels; // what SOIL decodes it to
    // Writes `picture` as this kind; false if the file cannot be written.
    bool (*write)(const std::string &path, const Picture &picture);
};

const std::vector<PictureKind> &pictureKinds();
