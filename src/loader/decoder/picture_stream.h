#pragma once

// The decoder's picture, mapped, read as a stdio stream with a regular
// file's rules, so that a decoder reads it exactly as it reads the file
// through stdio, damaged or not (docs/loader.md: which reader).

#include <cstdint>
#include <cstdio>

// A stream over the `size` bytes at `bytes`, which must stay mapped while
// it is read; null if none can be had. Needs no system call.
FILE *pictureStream(const void *bytes, std::uint64_t size);
