#pragma once

// The sandbox a decoding child enters once it has mapped its picture and
// closed every descriptor but its result file: no new privileges, writes
// capped at `maxResultBytes`, and a seccomp filter that lets through only
// what decoding and handing the result back need. Anything else ends the
// child at once.

#include <cstdint>

// Builds the filter, in the viewer, before the first child is forked, so
// that entering it costs a child two system calls.
void prepareDecodeSandbox(int resultFd);

// In the child. False if the kernel refused the filter (or it could not be
// built); the child then decodes under its other limits alone.
bool enterDecodeSandbox(std::uint64_t maxResultBytes);
