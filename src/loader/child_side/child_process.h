#pragma once

// What a decoding child does to its own process before it decodes: its
// descriptors, its limits and its heap.

#include <cstdint>

// Sets both the soft and the hard limit of `resource`, never above the
// hard limit inherited; a value rlim_t cannot hold is no limit.
void limit(int resource, std::uint64_t value);

// The address space this process has mapped, in bytes, found without /proc.
std::uint64_t mappedBytes();

// Sets the heap so that every buffer the decoder uses is a mapping of its
// own, which the child alone maps and the watchdog can see it use.
void freshBuffers();

// Closes every descriptor numbered `first` or more; false if it cannot.
bool closeFrom(int first);
