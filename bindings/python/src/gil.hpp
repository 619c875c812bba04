#pragma once
// Core work on large inputs takes seconds; other Python threads run meanwhile. Only work on
// inputs no Python code can change (bytes, the UTF-8 form of a str, an index built once) may run
// this way, and it must touch no Python object.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>

#include "base/interrupt.hpp"

namespace quarnel::python {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  [[nodiscard]] PyThreadState* thread_state() const { return state_; }

 private:
  PyThreadState* state_;
};

// Whether this is the thread on which the interpreter runs signal handlers (requires the lock).
[[nodiscard]] bool handles_signals();

// The core's poll for Ctrl-C: re-takes the lock of `thread_state` briefly and runs pending
// signal handlers. True when one raised (KeyboardInterrupt); its exception then stands.
[[nodiscard]] bool signal_handler_raised(void* thread_state);

// The result of `work()`, computed with the interpreter lock released; an exception passes on
// once the lock is held again. On the signal-handling thread a Ctrl-C stops the work at the
// core's next checkpoint and the call raises KeyboardInterrupt.
template <class Work>
[[nodiscard]] auto without_gil(Work&& work) {
  const bool poll = handles_signals();
  const GilRelease release;
  std::optional<core::interrupt::Scope> interruptible;
  if (poll) interruptible.emplace(&signal_handler_raised, release.thread_state());
  return std::forward<Work>(work)();
}

}  // namespace quarnel::python
