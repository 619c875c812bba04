// The FMIndex class: a compressed index built once over a byte string, then queried.

#include <array>
#include <memory>
#include <new>
#include <string>

#include "converters.hpp"
#include "entry_points.hpp"
#include "error_mapping.hpp"
#include "fm_index.hpp"
#include "gil.hpp"
#include "numpy_array.hpp"
#include "results.hpp"

namespace quarnel::python {
namespace {

namespace fm = core::fm_index;

struct FMIndexObject {
  PyObject_HEAD
      // Set once by the constructor, before the object is visible to Python; never changed after.
      std::unique_ptr<fm::FMIndex>
          index;
  std::uint64_t locate_level;
};

const fm::FMIndex& record_of(PyObject* self) {
  return *reinterpret_cast<FMIndexObject*>(self)->index;
}

PyObject* fm_new(PyObject* type, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  const auto level = to_defaulted(args, 1, to_unsigned_index, std::uint64_t{2});
  const bool case_insensitive = to_defaulted(args, 2, to_flag, false);
  const bool normalize_whitespace = to_defaulted(args, 3, to_flag, false);
  auto record = without_gil([&] {
    return std::make_unique<fm::FMIndex>(
        fm::build_fm_index(data, level, case_insensitive, normalize_whitespace));
  });
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyRef self = checked(tp->tp_alloc(tp, 0));
  auto* obj = reinterpret_cast<FMIndexObject*>(self.get());
  new (&obj->index) std::unique_ptr<fm::FMIndex>(std::move(record));
  obj->locate_level = level;
  return self.release();
}

PyObject* fm_count(PyObject* self, const BoundArgs& args) {
  const auto pattern = to_byte_text(args, 0);
  const auto& index = record_of(self);
  return py_int(without_gil([&] { return fm::count(index, pattern); })).release();
}

PyObject* fm_locate(PyObject* self, const BoundArgs& args) {
  const auto pattern = to_byte_text(args, 0);
  const auto& index = record_of(self);
  return to_u64_array(without_gil([&] { return fm::locate(index, pattern); })).release();
}

PyObject* fm_heap_size(PyObject* self, const BoundArgs&) {
  return py_int(fm::heap_size(record_of(self))).release();
}

const FunctionDescriptor kFmNew = describe("__new__",
                                           {{"data"},
                                            {"locate_level", "2"},
                                            {"case_insensitive", "False"},
                                            {"normalize_whitespace", "False"}},
                                           "", fm_new, "FMIndex");
const FunctionDescriptor kFmCount =
    describe("count", {{"pattern"}},
             "Count occurrences of pattern in O(p) time (independent of text length).", fm_count,
             "FMIndex", true);
const FunctionDescriptor kFmLocate =
    describe("locate", {{"pattern"}}, "Locate all positions where pattern occurs.", fm_locate,
             "FMIndex", true);
const FunctionDescriptor kFmHeapSize = describe(
    "heap_size", {}, "Heap memory used by the index in bytes.", fm_heap_size, "FMIndex", true);

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_entry_tuple(kFmNew, reinterpret_cast<PyObject*>(type), args, kwargs);
}

void tp_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<FMIndexObject*>(self);
  obj->index.~unique_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t mp_length(PyObject* self) {
  return static_cast<Py_ssize_t>(record_of(self).text_len);
}

PyObject* tp_repr(PyObject* self) {
  const auto* obj = reinterpret_cast<FMIndexObject*>(self);
  const std::string text = "FMIndex(len=" + std::to_string(obj->index->text_len) +
                           ", locate_level=" + std::to_string(obj->locate_level) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <const FunctionDescriptor& Fn>
PyMethodDef method_def(const std::string& doc) {
  return {Fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall<Fn>)),
          METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

struct TypeRecords {
  std::string class_doc = "FMIndex" + kFmNew.signature() + "\n--\n\n";
  std::array<std::string, 3> docs = {kFmCount.docstring(), kFmLocate.docstring(),
                                     kFmHeapSize.docstring()};
  std::array<PyMethodDef, 4> methods = {method_def<kFmCount>(docs[0]),
                                        method_def<kFmLocate>(docs[1]),
                                        method_def<kFmHeapSize>(docs[2]), PyMethodDef{}};
  std::array<PyType_Slot, 7> slots = {{
      {Py_tp_new, reinterpret_cast<void*>(tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
      {Py_tp_methods, methods.data()},
      {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
      {Py_mp_length, reinterpret_cast<void*>(mp_length)},
      {0, nullptr},
  }};
  PyType_Spec type_spec = {"quarnel._native.FMIndex", sizeof(FMIndexObject), 0, Py_TPFLAGS_DEFAULT,
                           slots.data()};
};

}  // namespace

int add_fm_index_type(PyObject* module) {
  static TypeRecords records;  // the type keeps pointers into these for the life of the process
  PyRef type(PyType_FromModuleAndSpec(module, &records.type_spec, nullptr));
  if (!type) return -1;
  try {
    add_to_module(module, "FMIndex", type.get());
  } catch (const PythonErrorSet&) {
    return -1;
  }
  return 0;
}

}  // namespace quarnel::python
