#pragma once

// The sandbox a decoder enters once it has mapped its picture: no new
// privileges, writes capped at `maxResultBytes`, and a seccomp filter that
// lets through only what decoding and handing the result back need: new
// memory that cannot run code, and writes to the result. Anything else ends
// the decoder at once.

#include <cstdint>

// False if the filter could not be built or the kernel refused it: the
// decoder must then not decode. True without a filter only on a kernel
// built without seccomp, where the other limits must do.
bool enterDecodeSandbox(std::uint64_t maxResultBytes);
