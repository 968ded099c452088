// Advice to the kernel about large, freshly reserved buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brimel::detail {

// Asks for transparent huge pages over the whole 2 MiB blocks of `bytes` bytes
// at `start`, when the buffer is large enough for that to matter. Candidate
// lists run to gigabytes and are written once, front to back: with 4 KiB pages
// the page faults cost about as much as writing the candidates themselves.
// Only a hint: it changes no contents, and failures are ignored.
inline void advise_huge_pages(const void* start, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (start == nullptr || bytes < 4 * kHuge) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace brimel::detail
