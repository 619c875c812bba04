#include "converters.hpp"

#include <cstring>
#include <string>

#include "error_mapping.hpp"

namespace quarnel::python {
namespace {

[[noreturn]] void raise_not_instance(PyObject* obj, const char* expected) {
  PyRef qualname = checked(PyType_GetQualName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
  throw PythonErrorSet{};
}

// Runs one conversion; a failure gets the parameter prefix (TypeError only) and ends the call.
template <class Body>
auto converting(const BoundArgs& args, std::size_t i, Body&& body) -> decltype(body(args[i])) {
  try {
    return body(args[i]);
  } catch (const PythonErrorSet&) {
    rethrow_with_argument_prefix(args.name(i));
  }
}

std::uint64_t unsigned_index_of(PyObject* obj) {
  PyRef index = checked(PyNumber_Index(obj));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

bool is_numpy_bool(PyObject* obj) {
  // NumPy 2 names the scalar type numpy.bool, NumPy 1 numpy.bool_; no import is needed to
  // recognise one, since such an object exists only when NumPy is loaded.
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

PyObject* sequence_abc_name() {
  // Looked up once per process, only to name the expected type in the message.
  static PyObject* name = nullptr;
  if (name == nullptr) {
    PyRef abc = checked(PyImport_ImportModule("collections.abc"));
    PyRef sequence = checked(PyObject_GetAttrString(abc.get(), "Sequence"));
    name = checked(PyObject_GetAttrString(sequence.get(), "__name__")).release();
  }
  return name;
}

core::normalize::RemovedRange range_pair_of(PyObject* item) {
  if (!PyTuple_Check(item)) raise_not_instance(item, "tuple");
  const Py_ssize_t len = PyTuple_GET_SIZE(item);
  if (len != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
    throw PythonErrorSet{};
  }
  const std::uint64_t start = unsigned_index_of(PyTuple_GET_ITEM(item, 0));
  const std::uint64_t end = unsigned_index_of(PyTuple_GET_ITEM(item, 1));
  return {start, end};
}

std::vector<core::normalize::RemovedRange> range_pairs_of(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PythonErrorSet{};
  }
  if (!PySequence_Check(obj)) {
    PyObject* expected = sequence_abc_name();
    PyRef qualname = checked(PyType_GetQualName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", qualname.get(),
                 expected);
    throw PythonErrorSet{};
  }
  std::vector<core::normalize::RemovedRange> pairs;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();  // the size only reserves room
  } else {
    pairs.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iterator = checked(PyObject_GetIter(obj));
  while (PyRef item{PyIter_Next(iterator.get())}) pairs.push_back(range_pair_of(item.get()));
  if (PyErr_Occurred()) throw PythonErrorSet{};
  return pairs;
}

}  // namespace

std::span<const std::uint8_t> to_byte_text(const BoundArgs& args, std::size_t i) {
  return converting(args, i, [](PyObject* obj) {
    if (!PyBytes_Check(obj)) raise_not_instance(obj, "bytes");
    return std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
        static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  });
}

std::string_view to_text(const BoundArgs& args, std::size_t i) {
  return converting(args, i, [](PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_not_instance(obj, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) throw PythonErrorSet{};
    return std::string_view(utf8, static_cast<std::size_t>(size));
  });
}

std::uint64_t to_unsigned_index(const BoundArgs& args, std::size_t i) {
  return converting(args, i, unsigned_index_of);
}

bool to_flag(const BoundArgs& args, std::size_t i) {
  return converting(args, i, [](PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
      const int truth = PyObject_IsTrue(obj);
      check_status(truth);
      return truth == 1;
    }
    if (obj == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bool'");
      throw PythonErrorSet{};
    }
    raise_not_instance(obj, "bool");
  });
}

std::vector<core::normalize::RemovedRange> to_range_pairs(const BoundArgs& args, std::size_t i) {
  return converting(args, i, range_pairs_of);
}

}  // namespace quarnel::python
