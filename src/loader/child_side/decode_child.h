#pragma once

// The decoding child's side of the isolated face loader: everything a
// freshly forked child does, from its first step to its exit.

#include <sys/types.h>

#include <cstdio>

// A decoder of SOIL's family reading its picture from `file`, with
// `forceChannels` 0 for the picture's own channels; null if it cannot be
// decoded.
using Decoder = unsigned char *(*)(FILE *file, int *width, int *height, int *channels, int forceChannels);

// In a child just forked by `viewer`: takes `result` as descriptor 3 and
// `go` as descriptor 4 (both must be numbered 5 or more in the viewer),
// closes everything else, sets its limits, and waits until the viewer
// writes to `go`. Then it maps the picture at `path`, enters the sandbox,
// decodes it through a stream that reads the mapping as a regular file is
// read, and writes the result, header last. It exits as soon as
// anything is off: the viewer trusts nothing but a complete result.
[[noreturn]] void decodeInChild(int slot, const char *path, int result, int go, pid_t viewer, Decoder decode);
