#include "loader/viewer_side/loading_heap.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

void useLoadingHeap()
{
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    // A block taken and freed at once leaves the heap that much bigger; its
    // huge-page-aligned middle is then marked for huge pages.
    const size_t arenaBytes = size_t(256) << 20, hugePage = size_t(2) << 20;
    void *arena = std::malloc(arenaBytes);
    if (!arena)
        return;
    const size_t skip = (hugePage - reinterpret_cast<uintptr_t>(arena) % hugePage) % hugePage;
    madvise(static_cast<char *>(arena) + skip, (arenaBytes - skip) / hugePage * hugePage, MADV_HUGEPAGE);
    std::free(arena);
}

void leaveLoadingHeap()
{
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    mallopt(M_TRIM_THRESHOLD, 128 << 10);
    malloc_trim(0);
}
