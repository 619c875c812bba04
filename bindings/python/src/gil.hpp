#pragma once
// Core work on large inputs takes seconds; other Python threads run meanwhile. Only work on
// inputs no Python code can change (bytes, the UTF-8 form of a str, an index built once) may run
// this way, and it must touch no Python object.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarnel::python {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// The result of `work()`, computed with the interpreter lock released; an exception passes on
// once the lock is held again.
template <class Work>
[[nodiscard]] auto without_gil(Work&& work) {
  const GilRelease release;
  return std::forward<Work>(work)();
}

}  // namespace quarnel::python
