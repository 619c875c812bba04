// The FMIndex class: a compressed index built once over a byte string, then queried.

#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "buffers.hpp"
#include "converters.hpp"
#include "entry_points.hpp"
#include "error_mapping.hpp"
#include "fm_index/fm_index.hpp"
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
};

const fm::FMIndex& record_of(PyObject* self) {
  return *reinterpret_cast<FMIndexObject*>(self)->index;
}

// A new object of `type` (FMIndex or a subclass) owning the record.
PyObject* wrap(PyObject* type, std::unique_ptr<fm::FMIndex> record) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyRef self = checked(tp->tp_alloc(tp, 0));
  auto* obj = reinterpret_cast<FMIndexObject*>(self.get());
  new (&obj->index) std::unique_ptr<fm::FMIndex>(std::move(record));
  return self.release();
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
  return wrap(type, std::move(record));
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

PyObject* fm_count_many(PyObject* self, const BoundArgs& args) {
  const auto batch = to_pattern_batch(args, 0, 1);
  const auto& index = record_of(self);
  std::vector<std::uint64_t> counts(batch.size());
  without_gil([&] { fm::count_many(index, batch.bytes, batch.offsets, counts); });
  return to_u64_array(counts).release();
}

PyObject* fm_locate_many(PyObject* self, const BoundArgs& args) {
  const auto batch = to_pattern_batch(args, 0, 1);
  const auto& index = record_of(self);
  const auto located =
      without_gil([&] { return fm::locate_many(index, batch.bytes, batch.offsets); });
  return py_pair(to_u64_array(located.positions), to_u64_array(located.offsets)).release();
}

PyObject* fm_save(PyObject* self, const BoundArgs& args) {
  const std::string path = to_path(args, 0);
  const auto& index = record_of(self);
  without_gil([&] { fm::save_fm_index(path, index); });
  Py_RETURN_NONE;
}

PyObject* fm_load(PyObject* type, const BoundArgs& args) {
  const std::string path = to_path(args, 0);
  auto record = without_gil([&] { return std::make_unique<fm::FMIndex>(fm::load_fm_index(path)); });
  return wrap(type, std::move(record));
}

PyObject* fm_to_bytes(PyObject* self, const BoundArgs&) {
  const auto& index = record_of(self);
  const fm::SavedForm form = fm::saved_form(index);
  PyRef bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(form.size())));
  // Nothing else can see the new object yet.
  char* out = PyBytes_AS_STRING(bytes.get());
  without_gil([&] {
    for (const auto part : form.parts) {
      if (!part.empty()) std::memcpy(out, part.data(), part.size());
      out += part.size();
    }
  });
  return bytes.release();
}

PyObject* fm_from_bytes(PyObject* type, const BoundArgs& args) {
  const auto data = to_byte_text(args, 0);
  auto record =
      without_gil([&] { return std::make_unique<fm::FMIndex>(fm::fm_index_from_bytes(data)); });
  return wrap(type, std::move(record));
}

PyObject* fm_reduce(PyObject* self, const BoundArgs& args) {
  PyRef rebuild =
      checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
  PyRef state(fm_to_bytes(self, args));
  if (!state) throw PythonErrorSet{};
  PyRef call_args = checked(PyTuple_Pack(1, state.get()));
  return py_pair(std::move(rebuild), std::move(call_args)).release();
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

const FunctionDescriptor kFmCountMany =
    describe("count_many", {{"patterns"}},
             "Count occurrences of every pattern of a list of bytes; a uint64 array.",
             fm_count_many, "FMIndex", true);
const FunctionDescriptor kFmLocateMany =
    describe("locate_many", {{"patterns"}},
             "Locate every pattern of a list of bytes: (positions, offsets), the positions of "
             "pattern k being positions[offsets[k]:offsets[k + 1]], each in locate() order.",
             fm_locate_many, "FMIndex", true);
const FunctionDescriptor kFmSave =
    describe("save", {{"path"}}, "Save the index to a file that FMIndex.load() maps back.", fm_save,
             "FMIndex", true);
const FunctionDescriptor kFmLoad =
    describe("load", {{"path"}},
             "Open an index saved by save(); a damaged or foreign file raises ValueError.", fm_load,
             "FMIndex");
const FunctionDescriptor kFmToBytes =
    describe("to_bytes", {}, "The saved form of the index as bytes (what pickling uses).",
             fm_to_bytes, "FMIndex", true);
const FunctionDescriptor kFmFromBytes = describe(
    "from_bytes", {{"data"}}, "Rebuild an index from to_bytes(); damaged data raises ValueError.",
    fm_from_bytes, "FMIndex");
const FunctionDescriptor kFmReduce =
    describe("__reduce__", {}, "Pickle through the saved form.", fm_reduce, "FMIndex", true);

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
                           ", locate_level=" + std::to_string(obj->index->locate_level) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

struct TypeRecords {
  std::string class_doc = "FMIndex" + kFmNew.signature() + "\n--\n\n";
  std::array<std::string, 10> docs = {kFmCount.docstring(),      kFmLocate.docstring(),
                                      kFmHeapSize.docstring(),   kFmCountMany.docstring(),
                                      kFmLocateMany.docstring(), kFmSave.docstring(),
                                      kFmLoad.docstring(),       kFmToBytes.docstring(),
                                      kFmFromBytes.docstring(),  kFmReduce.docstring()};
  std::array<PyMethodDef, 11> methods = {method_def<kFmCount>(docs[0]),
                                         method_def<kFmLocate>(docs[1]),
                                         method_def<kFmHeapSize>(docs[2]),
                                         method_def<kFmCountMany>(docs[3]),
                                         method_def<kFmLocateMany>(docs[4]),
                                         method_def<kFmSave>(docs[5]),
                                         method_def<kFmLoad>(docs[6], METH_CLASS),
                                         method_def<kFmToBytes>(docs[7]),
                                         method_def<kFmFromBytes>(docs[8], METH_CLASS),
                                         method_def<kFmReduce>(docs[9]),
                                         PyMethodDef{}};
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

PyObject* new_fm_index_type(PyObject* module) {
  static TypeRecords records;  // the type keeps pointers into these for the life of the process
  return PyType_FromModuleAndSpec(module, &records.type_spec, nullptr);
}

}  // namespace quarnel::python
