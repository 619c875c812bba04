#include "arena_prefault.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "parallel.hpp"

namespace quarnel::python {
namespace {

// The object allocator's arena size in the supported versions: 1 MiB on 64-bit builds, 256 KiB
// on 32-bit ones. Requests of any other size go straight to the interpreter's allocator.
constexpr std::size_t kArenaSize = sizeof(void*) > 4 ? std::size_t{1} << 20 : std::size_t{1} << 18;
constexpr std::size_t kPage = 4096;
// Below this many arenas, nothing changes: mapping a whole arena for a few objects, or starting a
// thread, would cost more than it saves.
constexpr std::size_t kMinArenas = 8;
// How far the helper runs ahead of the allocations, in arenas.
constexpr std::size_t kAhead = 16;

// Maps every page of a fresh arena now rather than at first use. Kernels before 5.14 lack the
// populate advice; there every page is written once instead (a fresh arena reads as zeros, and
// zeros are what is written). Any other refusal (no memory now) leaves the pages to first use.
void fault_in(void* arena) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  if (madvise(arena, kArenaSize, MADV_POPULATE_WRITE) == 0 || errno != EINVAL) return;
#endif
  auto* bytes = static_cast<volatile unsigned char*>(arena);
  for (std::size_t offset = 0; offset < kArenaSize; offset += kPage) bytes[offset] = 0;
}

// One per process. The allocator functions below may still be called by a thread that read the
// allocator just before it was restored, so they reach this state through a static, never
// through a pointer that could dangle.
struct State {
  PyObjectArenaAllocator interpreter{};
  std::mutex mutex;
  std::condition_variable wanted;
  std::deque<void*> ready;
  std::size_t still_to_make = 0;
  bool requested = false;  // an arena was asked for: the interpreter allocates objects in arenas
  bool stopping = false;
  bool in_use = false;
  std::thread helper;
};

State& state() {
  static State instance;
  return instance;
}

// An arena the helper made if one is ready; otherwise one faulted in here, which still costs
// less than faulting its pages one at a time as the allocator first touches them.
void* allocate_arena(void*, std::size_t size) {
  State& s = state();
  if (size != kArenaSize) return s.interpreter.alloc(s.interpreter.ctx, size);
  void* arena = nullptr;
  {
    const std::lock_guard lock(s.mutex);
    s.requested = true;
    if (!s.ready.empty()) {
      arena = s.ready.front();
      s.ready.pop_front();
    }
  }
  s.wanted.notify_one();
  if (arena != nullptr) return arena;
  arena = s.interpreter.alloc(s.interpreter.ctx, size);
  if (arena != nullptr) fault_in(arena);
  return arena;
}

void free_arena(void*, void* arena, std::size_t size) {
  State& s = state();
  s.interpreter.free(s.interpreter.ctx, arena, size);
}

// The helper's loop, from the first arena request on (an interpreter run with its object
// allocator off, PYTHONMALLOC=malloc, makes none): the interpreter's arena allocator maps memory
// and takes no interpreter state, so calling it here, without the interpreter lock, is as safe as
// the allocator itself.
void make_arenas_ahead() {
  State& s = state();
  for (;;) {
    {
      std::unique_lock lock(s.mutex);
      s.wanted.wait(lock, [&] { return s.stopping || (s.requested && s.ready.size() < kAhead); });
      if (s.stopping || s.still_to_make == 0) return;
      --s.still_to_make;
    }
    void* arena = s.interpreter.alloc(s.interpreter.ctx, kArenaSize);
    if (arena == nullptr) return;
    fault_in(arena);
    const std::lock_guard lock(s.mutex);
    s.ready.push_back(arena);
  }
}

}  // namespace

ArenaPrefault::ArenaPrefault(std::size_t expected_bytes) {
  State& s = state();
  const std::size_t arenas = expected_bytes / kArenaSize;
  if (arenas < kMinArenas || s.in_use) return;
  PyObject_GetArenaAllocator(&s.interpreter);
  s.ready.clear();
  s.still_to_make = arenas;
  s.requested = s.stopping = false;
  if (core::parallel::threads_allowed()) {
    try {
      s.helper = std::thread(make_arenas_ahead);
    } catch (const std::system_error&) {
      // Without a helper, every arena is faulted in as it is requested.
    }
  }
  PyObjectArenaAllocator wrapped{nullptr, allocate_arena, free_arena};
  PyObject_SetArenaAllocator(&wrapped);
  s.in_use = active_ = true;
}

ArenaPrefault::~ArenaPrefault() {
  if (!active_) return;
  State& s = state();
  PyObject_SetArenaAllocator(&s.interpreter);
  {
    const std::lock_guard lock(s.mutex);
    s.stopping = true;
  }
  s.wanted.notify_one();
  if (s.helper.joinable()) s.helper.join();
  for (void* arena : s.ready) s.interpreter.free(s.interpreter.ctx, arena, kArenaSize);
  s.ready.clear();
  s.in_use = false;
}

}  // namespace quarnel::python
