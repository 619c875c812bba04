#pragma once
// Owning reference to a Python object: the one way this extension holds references, so that no
// error path can leak one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quarnel::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  [[nodiscard]] PyObject* get() const { return obj_; }
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Thrown when a Python exception is already set; the call boundary returns NULL for it.
struct PythonErrorSet {};

// Returns `owned` wrapped, or throws PythonErrorSet when the C API reported failure with NULL.
inline PyRef checked(PyObject* owned) {
  if (owned == nullptr) throw PythonErrorSet{};
  return PyRef(owned);
}

inline void check_status(int status) {
  if (status < 0) throw PythonErrorSet{};
}

}  // namespace quarnel::python
