#include "loader/child_side/child_process.h"

#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// A limit in rlim_t, which is 32 bits wide on some systems: anything it
// cannot hold is no limit at all.
rlim_t asLimit(std::uint64_t value) { return value >= std::uint64_t(RLIM_INFINITY) ? RLIM_INFINITY : rlim_t(value); }

} // namespace

// Sets both the soft and the hard limit, never above the hard limit inherited.
void limit(int resource, std::uint64_t value)
{
    rlimit now{};
    getrlimit(resource, &now);
    const rlim_t capped = std::min(asLimit(value), now.rlim_max);
    const rlimit set = {capped, capped};
    setrlimit(resource, &set);
}

// The address space this process has mapped, in bytes: found by halving
// the soft limit until one more page only just maps, so that it needs no
// /proc. About fifty tries of a page each.
std::uint64_t mappedBytes()
{
    rlimit inherited{};
    getrlimit(RLIMIT_AS, &inherited);
    const std::uint64_t page = std::uint64_t(sysconf(_SC_PAGESIZE));
    const auto oneMorePageMaps = [&](std::uint64_t pages) {
        const rlimit probe = {std::min(asLimit(pages * page), inherited.rlim_max), inherited.rlim_max};
        if (setrlimit(RLIMIT_AS, &probe) != 0)
            return false;
        void *more = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (more == MAP_FAILED)
            return false;
        munmap(more, page);
        return true;
    };
    // Smallest number of pages under which one more maps: what is mapped, plus one.
    std::uint64_t fails = 0, maps = UINT64_MAX / page;
    if (oneMorePageMaps(maps))
        while (maps - fails > 1) {
            const std::uint64_t middle = fails + (maps - fails) / 2;
            (oneMorePageMaps(middle) ? maps : fails) = middle;
        }
    setrlimit(RLIMIT_AS, &inherited);
    return (maps - 1) * page;
}

// Sets the heap so that every buffer the decoder uses is a mapping of its
// own, which the child alone maps, and whose use the watchdog can see
// (docs/loader.md): every buffer over 128 KiB is mapped afresh and unmapped
// when freed, and the heap is trimmed as it shrinks. The threshold is fixed,
// for glibc's own would rise and serve such buffers from the heap. The heap's
// free memory, inherited from the viewer, goes back to the system and out of
// the allocator's reach, held for good: it would serve such buffers first.
void freshBuffers()
{
    const size_t threshold = 128 << 10;
    mallopt(M_MMAP_THRESHOLD, int(threshold));
    mallopt(M_TRIM_THRESHOLD, int(threshold));
    malloc_trim(0);
    size_t piece = 1;
    while (piece < mallinfo2().fordblks && piece <= SIZE_MAX / 2)
        piece *= 2;
    while (piece >= threshold) {
        const size_t mapped = mallinfo2().hblks;
        void *held = std::malloc(piece);
        if (!held || mallinfo2().hblks != mapped) { // not from the heap: a smaller piece
            std::free(held);
            piece /= 2;
        }
    }
}

// Closes every descriptor numbered `first` or more. close_range does that
// in one call (Linux 5.9 on). Before it, every number below the hard limit
// on open files is looked at with poll, 1024 a call, and the open ones are
// closed: under 1 ms of processor time per hundred thousand numbers.
bool closeFrom(int first)
{
    if (syscall(SYS_close_range, first, ~0U, 0) == 0)
        return true;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const std::uint64_t end = std::min<std::uint64_t>(files.rlim_max, 1U << 30); // the kernel's own ceiling
    const std::uint64_t batch = std::min<std::uint64_t>(1024, std::max<rlim_t>(files.rlim_cur, 1));
    pollfd fds[1024];
    for (std::uint64_t base = std::uint64_t(first); base < end; base += batch) {
        const nfds_t count = nfds_t(std::min(batch, end - base));
        for (nfds_t i = 0; i < count; ++i)
            fds[i] = {int(base + i), 0, 0};
        if (poll(fds, count, 0) < 0)
            return false;
        for (nfds_t i = 0; i < count; ++i)
            if (!(fds[i].revents & POLLNVAL))
                close(fds[i].fd);
    }
    return true;
}
