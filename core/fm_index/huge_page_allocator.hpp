#pragma once
// Allocator for the large arrays that queries probe at random. Backward search and LF walks touch
// one cache line per level at an unpredictable place, so with 4 KiB pages nearly every probe of a
// large index also misses the TLB. Arrays of at least 2 MiB are therefore placed on 2 MiB
// boundaries and offered to the kernel for transparent huge pages; smaller ones use the default
// allocator.

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quarnel::core::fm_index {

template <class T>
class HugePageAllocator {
 public:
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  HugePageAllocator() noexcept = default;
  template <class U>
  explicit HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return std::allocator<T>().allocate(n);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: without huge pages the memory works the same, just with more TLB misses.
    (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }

  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kHugePage) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }

  template <class U>
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace quarnel::core::fm_index
