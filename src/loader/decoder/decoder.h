#pragma once

// The decoder program's life, from its arguments to its exit: one picture,
// decoded in a sandbox, handed back in its result file.

#include <cstdio>

// A decoder of SOIL's family reading its picture from `file`, with
// `forceChannels` 0 for the picture's own channels; null if it cannot be
// decoded.
using Decoder = unsigned char *(*)(FILE *file, int *width, int *height, int *channels, int forceChannels);

// With the arguments the viewer gives (decoder_command.h) and its result
// file on descriptor 3: sets its death signal and leaves if the viewer is
// gone, sets its limits, maps the picture, enters the sandbox, decodes it
// through a stream that reads the mapping as a regular file is read, and
// writes the result, header last. Exits 0 once the result is whole, and as
// soon as anything is off otherwise: the viewer trusts nothing but a
// complete result.
[[noreturn]] void runDecoder(int argc, char **argv, Decoder decode);
