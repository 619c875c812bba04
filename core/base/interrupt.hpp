#pragma once
// Stopping a long call early at its caller's request. The caller installs a Scope with a poll
// on its thread; the core calls checkpoint() between stages and every so many steps of long
// loops. Once the poll reports a request, checkpoint() throws Interrupted, which unwinds the call
// like any other error and frees what it allocated. Threads the call starts adopt the scope:
// their checkpoints do not poll, but stop as soon as the calling thread has seen a request.
// Without a scope, checkpoint() costs one thread-local load.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>

namespace quarnel::core::interrupt {

class Interrupted : public std::exception {
 public:
  [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the call should stop. Called only on the thread that installed it, at most
// once per kPollInterval.
using Poll = bool (*)(void* context);

inline constexpr std::chrono::milliseconds kPollInterval{50};

// What a call and the threads it starts share: whether a stop was requested.
struct Shared {
  std::atomic<bool> stop{false};
};

namespace detail {
struct Local {
  Shared* shared = nullptr;
  Poll poll = nullptr;
  void* context = nullptr;
  std::chrono::steady_clock::time_point next_poll{};
};
// Static TLS: a thread started inside the extension module must not allocate its copy lazily,
// where a failed allocation aborts the process instead of raising.
[[gnu::tls_model("initial-exec")]] inline thread_local Local local;
}  // namespace detail

// Polls `poll` at this thread's checkpoints while it lives; scopes nest.
class Scope {
 public:
  Scope(Poll poll, void* context) : saved_(detail::local) {
    detail::local = {&shared_, poll, context, std::chrono::steady_clock::now() + kPollInterval};
  }
  ~Scope() { detail::local = saved_; }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  Shared shared_;
  detail::Local saved_;
};

// The scope of the calling thread (null if none), for a thread it starts to adopt.
[[nodiscard]] inline Shared* current() {
  return detail::local.shared;
}

// Makes this thread stop when the thread that started it does.
class Adopt {
 public:
  explicit Adopt(Shared* shared) : saved_(detail::local) { detail::local = {shared}; }
  ~Adopt() { detail::local = saved_; }
  Adopt(const Adopt&) = delete;
  Adopt& operator=(const Adopt&) = delete;

 private:
  detail::Local saved_;
};

// Whether a stop was requested, polling first if the interval has passed; for code that must
// not throw.
[[nodiscard]] inline bool stop_requested() noexcept {
  // The thread-local named directly, never through a reference: under -fsanitize=null, GCC 12
  // tests a reference to an initial-exec thread-local against null with flags left by an
  // earlier instruction, and reports a null pointer that is not there.
  using detail::local;
  if (local.shared == nullptr) return false;
  if (local.shared->stop.load(std::memory_order_relaxed)) return true;
  if (local.poll == nullptr) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < local.next_poll) return false;
  local.next_poll = now + kPollInterval;
  if (!local.poll(local.context)) return false;
  local.shared->stop.store(true, std::memory_order_relaxed);
  return true;
}

// Throws Interrupted when a stop was requested.
inline void checkpoint() {
  if (stop_requested()) throw Interrupted();
}

// For loops: a checkpoint every 2^16 steps, so that the clock is not read at each one.
inline void checkpoint_every(std::size_t step) {
  if ((step & 0xFFFF) == 0) checkpoint();
}

}  // namespace quarnel::core::interrupt
