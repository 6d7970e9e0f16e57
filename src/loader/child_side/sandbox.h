#pragma once

// The sandbox a decoding child enters once it has mapped its picture and
// closed every descriptor but its result file: no new privileges, writes
// capped at `maxResultBytes`, and a seccomp filter that lets through only
// what decoding and handing the result back need: new memory that cannot
// run code, and writes to the result. Anything else ends the child at once.

#include <cstdint>

// Builds the filter, in the viewer, before the first child is forked, so
// that entering it costs a child two system calls.
void prepareDecodeSandbox(int resultFd);

// In the child. False if the filter could not be built or the kernel
// refused it: the child must then not decode. True without a filter only
// on a kernel built without seccomp, where the other limits must do.
bool enterDecodeSandbox(std::uint64_t maxResultBytes);
