#include "loading_heap.h"

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
    const size_t arenaBytes = size_t(256) << 20;
    const uintptr_t hugePage = uintptr_t(2) << 20;
    void *arena = std::malloc(arenaBytes);
    if (!arena)
        return;
    const uintptr_t start = (uintptr_t(arena) + hugePage - 1) & ~(hugePage - 1);
    const uintptr_t end = (uintptr_t(arena) + arenaBytes) & ~(hugePage - 1);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    std::free(arena);
}

void leaveLoadingHeap()
{
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
    mallopt(M_TRIM_THRESHOLD, 128 << 10);
    malloc_trim(0);
}
