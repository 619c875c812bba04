#pragma once
// Arrays that span many pages and are read in scattered order (suffix arrays, LCP arrays and
// their inverses) spend much of their time on page-table walks and first-touch faults with 4 KiB
// pages. Asking for transparent huge pages before the first touch removes most of both.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/parallel.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quarnel::core {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// The whole huge pages inside [begin, end), as addresses [first, last); empty where last <= first.
struct WholeHugePages {
  std::uintptr_t first;
  std::uintptr_t last;
};
[[nodiscard]] inline WholeHugePages whole_huge_pages(const void* begin, const void* end) {
  constexpr auto kMask = ~(std::uintptr_t{kHugePage} - 1);
  return {(reinterpret_cast<std::uintptr_t>(begin) + kHugePage - 1) & kMask,
          reinterpret_cast<std::uintptr_t>(end) & kMask};
}

// Advises the kernel to back the whole huge pages inside [p, p + bytes) with huge pages. A hint
// only: kernels without transparent huge pages ignore it.
inline void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto [first, last] = whole_huge_pages(p, static_cast<const std::byte*>(p) + bytes);
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
}

// Hands the whole huge pages of [begin, end) back to the system (their contents are lost) and
// returns where the next call should begin: a reader that goes front to back through an array it
// will not read again can free the array's pages as it goes, the array itself kept until later.
[[nodiscard]] inline const std::byte* release_pages_behind(const std::byte* begin,
                                                           const std::byte* end) {
  const auto [first, last] = whole_huge_pages(begin, end);
  if (last <= first) return begin;
#if defined(__linux__) && defined(MADV_DONTNEED)
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#endif
  return reinterpret_cast<const std::byte*>(last);
}

// Faults in the pages of [p, p + bytes) ready for writing, leaving their contents as they are;
// false where the kernel cannot (before Linux 5.14). Called on a second thread for an array that
// the first is about to fill, it takes the page faults off the first: fresh memory is zeroed as it
// is faulted in, which costs about as much as writing it.
[[nodiscard]] inline bool populate_for_writing([[maybe_unused]] void* p,
                                               [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = reinterpret_cast<std::uintptr_t>(p) & ~(kPage - 1);
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(p) + bytes;
  return end <= begin ||
         madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE) == 0;
#else
  return false;
#endif
}

// Hands the heap's free pages back to the system. After millions of small blocks are freed
// (records' offsets, a stage's tables) the allocator keeps their pages, and the large arrays
// that follow come from fresh mappings: without this both stay resident.
inline void return_free_heap_pages() {
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}

// A vector of n copies of `value` whose memory was advised before it was first written.
template <class T>
[[nodiscard]] std::vector<T> large_array(std::size_t n, const T& value = T{}) {
  std::vector<T> v;
  if (n * sizeof(T) >= 2 * kHugePage) {
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
  }
  v.resize(n, value);
  return v;
}

// large_array(n), its pages faulted in by halves on the call's lanes first: fresh memory
// is zeroed (in a virtual machine often backed by the host too) as it is faulted in, which costs
// several times what writing it does.
template <class T>
[[nodiscard]] std::vector<T> large_array_faulted_in(std::size_t n, parallel::Lanes lanes) {
  std::vector<T> v;
  v.reserve(n);
  advise_huge_pages(v.data(), n * sizeof(T));
  auto* const bytes = reinterpret_cast<std::byte*>(v.data());
  const std::size_t size = n * sizeof(T);
  parallel::over_parts(lanes, size, size / 2, [&](parallel::Part part) {
    (void)populate_for_writing(bytes + part.begin, part.end - part.begin);
  });
  v.resize(n);
  return v;
}

}  // namespace quarnel::core
