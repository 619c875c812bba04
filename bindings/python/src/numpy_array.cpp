#include "numpy_array.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "error_mapping.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quarnel_numpy_array_api
#include <numpy/arrayobject.h>

namespace quarnel::python {
namespace {

PyRef import_attribute(const char* module, const char* attribute) {
  PyRef mod = checked(PyImport_ImportModule(module));
  return checked(PyObject_GetAttrString(mod.get(), attribute));
}

// NumPy 2 moved the multiarray module under numpy._core.
const char* multiarray_module_name() {
  PyRef numpy = checked(PyImport_ImportModule("numpy"));
  PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
  PyRef numpy_version = import_attribute("numpy.lib", "NumpyVersion");
  PyRef parsed = checked(PyObject_CallOneArg(numpy_version.get(), version.get()));
  PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  return value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void load_array_api() {
  if (PyArray_API != nullptr) return;
  try {
    PyRef capsule = import_attribute(multiarray_module_name(), "_ARRAY_API");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) throw PythonErrorSet{};
    PyArray_API = static_cast<void**>(table);  // the capsule's module stays imported for good
  } catch (const PythonErrorSet&) {
    // Only a NumPy that cannot be imported is reported as missing: Ctrl-C or MemoryError during
    // the import stays what it is.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyRef cause = take_pending_exception();
    PyErr_SetString(PyExc_ImportError,
                    "quarnel needs NumPy to return arrays; install it with 'pip install numpy'");
    if (cause) {
      PyRef error = take_pending_exception();
      PyException_SetCause(error.get(), cause.release());
      restore_exception(std::move(error));
    }
    throw;
  }
}

}  // namespace

PyRef new_u64_array(std::size_t size) {
  load_array_api();
  npy_intp dims[1] = {static_cast<npy_intp>(size)};
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_UINT64);
  if (descr == nullptr) throw PythonErrorSet{};
  // PyArray_NewFromDescr steals the descriptor reference.
  return checked(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
}

std::uint64_t* u64_data(const PyRef& array) {
  return static_cast<std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

PyRef to_u64_array(std::span<const std::uint64_t> values) {
  PyRef array = new_u64_array(values.size());
  if (!values.empty()) std::memcpy(u64_data(array), values.data(), values.size_bytes());
  return array;
}

PyRef to_u64_array(std::span<const std::uint32_t> values) {
  PyRef array = new_u64_array(values.size());
  std::copy(values.begin(), values.end(), u64_data(array));
  return array;
}

namespace {

int unsigned_type_number(unsigned element_size) {
  switch (element_size) {
    case 1:
      return NPY_UINT8;
    case 2:
      return NPY_UINT16;
    case 4:
      return NPY_UINT32;
    case 8:
      return NPY_UINT64;
    default:
      PyErr_SetString(PyExc_SystemError, "unsupported array element size");
      throw PythonErrorSet{};
  }
}

PyRef new_unsigned_array(std::size_t count, unsigned element_size, void* data, int flags) {
  load_array_api();
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyArray_Descr* descr = PyArray_DescrFromType(unsigned_type_number(element_size));
  if (descr == nullptr) throw PythonErrorSet{};
  return checked(
      PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data, flags, nullptr));
}

}  // namespace

PyRef to_unsigned_array(const void* bytes, std::size_t count, unsigned element_size) {
  PyRef array = new_unsigned_array(count, element_size, nullptr, 0);
  if (count > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), bytes,
                count * element_size);
  }
  return array;
}

namespace {

constexpr const char* kHeldColumn = "quarnel.column";

void free_held_column(PyObject* capsule) {
  delete static_cast<std::vector<std::uint64_t>*>(PyCapsule_GetPointer(capsule, kHeldColumn));
}

}  // namespace

PyRef adopt_u64_array(std::vector<std::uint64_t>&& values) {
  if (values.empty()) return new_u64_array(0);
  auto held = std::make_unique<std::vector<std::uint64_t>>(std::move(values));
  PyRef owner = checked(PyCapsule_New(held.get(), kHeldColumn, free_held_column));
  std::vector<std::uint64_t>* column = held.release();  // the capsule's now
  PyRef array = new_unsigned_array(column->size(), 8, column->data(), NPY_ARRAY_CARRAY);
  check_status(
      PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
  return array;
}

PyRef readonly_view(const void* data, std::size_t count, unsigned element_size, PyObject* owner) {
  // NumPy never writes through an array without NPY_ARRAY_WRITEABLE, so the cast is safe.
  PyRef array = new_unsigned_array(count, element_size, const_cast<void*>(data),
                                   NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED);
  check_status(
      PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), Py_NewRef(owner)));
  return array;
}

}  // namespace quarnel::python
