#pragma once

// Heap settings for loading pictures. A loading process handles buffers of
// many megabytes (a decoder's result, SOIL's copy of it, the driver's
// texture storage), and on a fresh page each costs a page fault.

// Serves buffers of up to 512 MiB from the heap, keeps freed ones there for
// the next picture, and backs the first 256 MiB with transparent huge pages
// where the kernel offers them on request.
void useLoadingHeap();

// Back to the usual settings; returns the free memory to the system.
void leaveLoadingHeap();
