#pragma once
// Building millions of result objects spends much of its time in first-touch page faults on the
// object allocator's fresh arenas. While an `ArenaPrefault` lives, a helper thread obtains arenas
// from the interpreter's own arena allocator ahead of need and faults their pages in, and the
// allocator hands those out first; arenas still come from, and go back to, the interpreter's
// allocator, so nothing else about them changes.

#include <cstddef>

namespace quarnel::python {

class ArenaPrefault {
 public:
  // `expected_bytes`: about how much object memory the caller is about to allocate. Below a few
  // dozen arenas no helper is started. The interpreter lock must be held for the whole lifetime.
  explicit ArenaPrefault(std::size_t expected_bytes);
  ~ArenaPrefault();
  ArenaPrefault(const ArenaPrefault&) = delete;
  ArenaPrefault& operator=(const ArenaPrefault&) = delete;

 private:
  bool active_ = false;
};

}  // namespace quarnel::python
