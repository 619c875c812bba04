#include "error_mapping.hpp"

#include <cstring>

#include "base/errors.hpp"  // the core's error types
#include "base/interrupt.hpp"
#include "persist/mapped_file.hpp"

namespace quarnel::python {
namespace {

constexpr const char* kGenericPanic = "quarnel panicked without a message";

void set_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the type failed; that error stands
  PyErr_SetString(type, (message && *message) ? message : kGenericPanic);
}

void set_value_error(const std::string& message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// OSError (or its subclass for the errno, such as FileNotFoundError) with errno and file name.
void set_os_error(const core::persist::FileError& e) {
  PyRef code(PyLong_FromLong(e.error_number()));
  PyRef text(PyUnicode_DecodeFSDefault(std::strerror(e.error_number())));
  PyRef name(PyUnicode_DecodeFSDefault(e.path().c_str()));
  if (!code || !text || !name) return;
  PyRef args(PyTuple_Pack(3, code.get(), text.get(), name.get()));
  if (!args) return;
  PyRef error(PyObject_Call(PyExc_OSError, args.get(), nullptr));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return PyRef(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("quarnel.PanicException",
                                     "An internal consistency check of quarnel failed.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // Already set by the C API or by the binder.
  } catch (const core::interrupt::Interrupted&) {
    // The signal handler's exception (KeyboardInterrupt) is pending already.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const core::persist::FileError& e) {
    set_os_error(e);
  } catch (const core::UsageError& e) {
    set_value_error(e.message());
  } catch (const core::InternalError& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic(nullptr);
  }
}

void rethrow_with_argument_prefix(const char* param_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
  PyRef original = take_pending_exception();
  PyRef text(PyObject_Str(original.get()));
  if (!text) throw PythonErrorSet{};
  PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", param_name, text.get()));
  PyRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  PyObject* cause = PyException_GetCause(original.get());                // new reference or null
  if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  throw PythonErrorSet{};
}

}  // namespace quarnel::python
