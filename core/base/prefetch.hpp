#pragma once
// A read hint for memory needed soon, for loops that visit scattered data in a known order.

namespace quarnel::core {

// Spelled as an instruction on x86: GCC's dead-code elimination drops __builtin_prefetch from
// some inlined loops.
inline void prefetch_read(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

}  // namespace quarnel::core
