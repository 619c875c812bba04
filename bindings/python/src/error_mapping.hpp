#pragma once
// Mapping of C++ failures onto Python exceptions. No C++ exception crosses into the interpreter:
// every entry point runs inside `guarded`.

#include <exception>
#include <new>
#include <string>

#include "pyref.hpp"

namespace quarnel::python {

// The panic type, derived from BaseException so that `except Exception` does not swallow it;
// created on first use.
PyObject* panic_exception_type();

// Sets the Python error that stands for the exception currently being handled.
void set_error_from_current_exception() noexcept;

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Takes the pending exception out of the interpreter (null when none is pending).
PyRef take_pending_exception();
// Makes `exception` the pending one again.
void restore_exception(PyRef exception);

// Replaces a pending TypeError by one whose message starts with "argument '<name>': ", keeping
// the original's cause; any other pending exception is left as it is. Always throws.
[[noreturn]] void rethrow_with_argument_prefix(const char* param_name);

}  // namespace quarnel::python
