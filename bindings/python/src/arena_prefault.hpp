#pragma once
// Building millions of result objects spends much of its time in first-touch page faults on the
// object allocator's fresh arenas, one 4 KiB page at a time. While an `ArenaPrefault` lives, each
// new arena has all its pages mapped at once, and, where a second thread is allowed, a helper
// thread does that ahead of need so the allocator finds arenas ready. Arenas still come from, and
// go back to, the interpreter's own arena allocator, so nothing else about them changes.

#include <cstddef>

namespace quarnel::python {

class ArenaPrefault {
 public:
  // `expected_bytes`: about how much object memory the caller is about to allocate; below eight
  // arenas' worth nothing changes. The interpreter lock must be held for the whole lifetime.
  explicit ArenaPrefault(std::size_t expected_bytes);
  ~ArenaPrefault();
  ArenaPrefault(const ArenaPrefault&) = delete;
  ArenaPrefault& operator=(const ArenaPrefault&) = delete;

 private:
  bool active_ = false;
};

}  // namespace quarnel::python
