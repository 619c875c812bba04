// The SuffixArray class: a suffix array built once over a caller's buffer or token array and
// queried many times, one pattern or a batch per call.

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "buffers.hpp"
#include "error_mapping.hpp"
#include "gil.hpp"
#include "index_module.hpp"
#include "numpy_array.hpp"
#include "results.hpp"
#include "suffix_array/saved_form.hpp"
#include "suffix_array/suffix_index.hpp"

namespace quarnel::python {
namespace {

namespace sa = core::suffix_array;

// Everything one object owns. Built before the object becomes visible; afterwards only the LCP
// array and the sampled keys are added, each once, under its flag.
struct Record {
  IndexedText data;
  sa::IndexArray entries;
  sa::PrefixBuckets buckets;
  std::once_flag lcp_built;
  sa::IndexArray lcp;
  std::once_flag keys_built;
  std::atomic<bool> keys_ready{false};  // set once `keys` is complete
  sa::SampledKeys keys;
};

// A batch this large builds the sampled keys if they are missing: they take as many bytes as the
// data and about a tenth of a second per 64 MB to build, which only a large batch repays.
constexpr std::size_t kKeyedBatch = 1024;

// The sampled keys for a search of `batch_size` patterns (empty when not built yet and the batch
// is too small to build them). Called without the interpreter lock: another thread may be
// building them.
const sa::SampledKeys& keys_for(Record& r, std::size_t batch_size) {
  static const sa::SampledKeys none;
  if (batch_size >= kKeyedBatch) {
    std::call_once(r.keys_built, [&] {
      r.keys = sa::sample_keys(r.data.text, r.entries);
      r.keys_ready.store(true, std::memory_order_release);
    });
  }
  return r.keys_ready.load(std::memory_order_acquire) ? r.keys : none;
}

struct SuffixArrayObject {
  PyObject_HEAD std::unique_ptr<Record> record;
};

Record& record_of(PyObject* self) {
  return *reinterpret_cast<SuffixArrayObject*>(self)->record;
}

PyObject* wrap(PyObject* type, std::unique_ptr<Record> record) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyRef self = checked(tp->tp_alloc(tp, 0));
  new (&reinterpret_cast<SuffixArrayObject*>(self.get())->record)
      std::unique_ptr<Record>(std::move(record));
  return self.release();
}

PyObject* sa_new(PyObject* type, const BoundArgs& args) {
  auto record = std::make_unique<Record>();
  to_indexed_text(args, 0, record->data);
  const sa::SymbolText text = record->data.text;
  without_gil([&] {
    record->entries = sa::sort_suffixes(text);
    record->buckets = sa::bucket_prefixes(text);
  });
  return wrap(type, std::move(record));
}

std::vector<sa::SaInterval> ranges_of(Record& r, const sa::PatternBatch& batch) {
  std::vector<sa::SaInterval> ranges(batch.size());
  without_gil([&] {
    const sa::SampledKeys& keys = keys_for(r, batch.size());
    sa::search_many(r.data.text, r.entries, r.buckets, keys, batch, ranges);
  });
  return ranges;
}

sa::SaInterval range_of_one(PyObject* self, const BoundArgs& args) {
  Record& r = record_of(self);
  return ranges_of(r, to_pattern(args, 0, r.data.text.width))[0];
}

std::vector<sa::SaInterval> ranges_of_many(PyObject* self, const BoundArgs& args) {
  Record& r = record_of(self);
  return ranges_of(r, to_pattern_batch(args, 0, r.data.text.width));
}

PyObject* sa_count(PyObject* self, const BoundArgs& args) {
  const sa::SaInterval range = range_of_one(self, args);
  return py_int(range.hi - range.lo).release();
}

PyObject* sa_count_many(PyObject* self, const BoundArgs& args) {
  const auto ranges = ranges_of_many(self, args);
  std::vector<std::uint64_t> counts(ranges.size());
  for (std::size_t k = 0; k < ranges.size(); ++k) counts[k] = ranges[k].hi - ranges[k].lo;
  return to_u64_array(counts).release();
}

PyObject* sa_range(PyObject* self, const BoundArgs& args) {
  const sa::SaInterval range = range_of_one(self, args);
  return py_pair(py_int(range.lo), py_int(range.hi)).release();
}

PyObject* sa_range_many(PyObject* self, const BoundArgs& args) {
  const auto ranges = ranges_of_many(self, args);
  std::vector<std::uint64_t> lo(ranges.size()), hi(ranges.size());
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    lo[k] = ranges[k].lo;
    hi[k] = ranges[k].hi;
  }
  return py_pair(to_u64_array(lo), to_u64_array(hi)).release();
}

sa::Occurrences located(PyObject* self, const std::vector<sa::SaInterval>& ranges) {
  const Record& r = record_of(self);
  return without_gil([&] { return sa::locate_many(r.entries, ranges); });
}

PyObject* sa_locate(PyObject* self, const BoundArgs& args) {
  const sa::Occurrences occ = located(self, {range_of_one(self, args)});
  return to_u64_array(occ.positions).release();
}

PyObject* sa_locate_many(PyObject* self, const BoundArgs& args) {
  const sa::Occurrences occ = located(self, ranges_of_many(self, args));
  return py_pair(to_u64_array(occ.positions), to_u64_array(occ.offsets)).release();
}

PyObject* sa_lcp(PyObject* self, const BoundArgs&) {
  Record& r = record_of(self);
  // Another thread may be building it: wait without the interpreter lock.
  without_gil(
      [&] { std::call_once(r.lcp_built, [&] { r.lcp = sa::lcp_of(r.data.text, r.entries); }); });
  return readonly_view(r.lcp.data, r.lcp.size, r.lcp.width, self).release();
}

PyObject* sa_bwt(PyObject* self, const BoundArgs&) {
  const Record& r = record_of(self);
  const sa::SymbolBwt bwt = without_gil([&] { return sa::bwt_of(r.data.text, r.entries); });
  const unsigned width = r.data.text.width;
  PyRef last =
      width == 1 ? py_bytes({reinterpret_cast<const char*>(bwt.symbols.data()), bwt.symbols.size()})
                 : to_unsigned_array(bwt.symbols.data(), r.data.text.size, width);
  return py_pair(std::move(last), py_int(bwt.primary)).release();
}

PyObject* sa_save(PyObject* self, const BoundArgs& args) {
  const std::string path = to_path(args, 0);
  const Record& r = record_of(self);
  without_gil([&] { sa::save_suffix_array(path, r.data.text, r.entries); });
  Py_RETURN_NONE;
}

PyObject* sa_load(PyObject* type, const BoundArgs& args) {
  const std::string path = to_path(args, 0);
  auto record = std::make_unique<Record>();
  to_indexed_text(args, 1, record->data);
  const sa::SymbolText text = record->data.text;
  without_gil([&] {
    record->entries = sa::load_suffix_array(path, text);
    record->buckets = sa::bucket_prefixes(text);
  });
  return wrap(type, std::move(record));
}

const FunctionDescriptor kNew = describe("__new__", {{"data"}}, "", sa_new, "SuffixArray");
const FunctionDescriptor kCount = describe(
    "count", {{"pattern"}}, "Number of occurrences of one pattern.", sa_count, "SuffixArray", true);
const FunctionDescriptor kCountMany =
    describe("count_many", {{"patterns"}},
             "Occurrence counts of a list of patterns (or the rows of a 2-D array), as uint64. "
             "The first batch here or in range_many or locate_many of 1024 or more byte patterns "
             "builds sampled keys, kept for later batches: one more byte per byte of data.",
             sa_count_many, "SuffixArray", true);
const FunctionDescriptor kRange =
    describe("range", {{"pattern"}}, "The suffix-array interval (lo, hi) of one pattern.", sa_range,
             "SuffixArray", true);
const FunctionDescriptor kRangeMany =
    describe("range_many", {{"patterns"}}, "The intervals of many patterns as (lo, hi) arrays.",
             sa_range_many, "SuffixArray", true);
const FunctionDescriptor kLocate =
    describe("locate", {{"pattern"}}, "Ascending start positions of one pattern.", sa_locate,
             "SuffixArray", true);
const FunctionDescriptor kLocateMany =
    describe("locate_many", {{"patterns"}},
             "Ascending positions of many patterns: (positions, offsets), pattern k owning "
             "positions[offsets[k]:offsets[k + 1]].",
             sa_locate_many, "SuffixArray", true);
const FunctionDescriptor kLcp =
    describe("lcp", {}, "The LCP array (built on first use, then kept), read-only.", sa_lcp,
             "SuffixArray", true);
const FunctionDescriptor kBwt =
    describe("bwt", {}, "The Burrows-Wheeler transform: (last column, primary index).", sa_bwt,
             "SuffixArray", true);
const FunctionDescriptor kSave =
    describe("save", {{"path"}}, "Save the suffix array (not the data) to a file.", sa_save,
             "SuffixArray", true);
const FunctionDescriptor kLoad =
    describe("load", {{"path"}, {"data"}},
             "Map a saved suffix array back over the data it was built from; a damaged file or "
             "other data raises ValueError.",
             sa_load, "SuffixArray");

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_entry_tuple(kNew, reinterpret_cast<PyObject*>(type), args, kwargs);
}

void tp_dealloc(PyObject* self) {
  reinterpret_cast<SuffixArrayObject*>(self)->record.~unique_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t mp_length(PyObject* self) {
  return static_cast<Py_ssize_t>(record_of(self).data.text.size);
}

PyObject* tp_repr(PyObject* self) {
  const Record& r = record_of(self);
  const std::string text = "SuffixArray(len=" + std::to_string(r.data.text.size) +
                           ", symbol_bytes=" + std::to_string(r.data.text.width) +
                           ", entry_bytes=" + std::to_string(r.entries.width) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_array(PyObject* self, void*) noexcept {
  return guarded([&] {
    const Record& r = record_of(self);
    return readonly_view(r.entries.data, r.entries.size, r.entries.width, self).release();
  });
}

PyObject* get_copied(PyObject* self, void*) noexcept {
  return PyBool_FromLong(record_of(self).data.copied ? 1 : 0);
}

PyObject* get_symbol_bytes(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(record_of(self).data.text.width);
}

struct TypeRecords {
  std::string class_doc =
      "SuffixArray" + kNew.signature() +
      "\n--\n\nA suffix array kept with its data: bytes-like data or a 1-D integer token array.";
  std::array<std::string, 11> docs = {kCount.docstring(),
                                      kCountMany.docstring(),
                                      kRange.docstring(),
                                      kRangeMany.docstring(),
                                      kLocate.docstring(),
                                      kLocateMany.docstring(),
                                      kLcp.docstring(),
                                      kBwt.docstring(),
                                      kSave.docstring(),
                                      kLoad.docstring(),
                                      ""};
  std::array<PyMethodDef, 11> methods = {method_def<kCount>(docs[0]),
                                         method_def<kCountMany>(docs[1]),
                                         method_def<kRange>(docs[2]),
                                         method_def<kRangeMany>(docs[3]),
                                         method_def<kLocate>(docs[4]),
                                         method_def<kLocateMany>(docs[5]),
                                         method_def<kLcp>(docs[6]),
                                         method_def<kBwt>(docs[7]),
                                         method_def<kSave>(docs[8]),
                                         method_def<kLoad>(docs[9], METH_CLASS),
                                         PyMethodDef{}};
  std::array<PyGetSetDef, 4> getset = {{
      {"array", get_array, nullptr,
       "The suffix array as a read-only NumPy view (uint32 below 2^31 symbols, else uint64).",
       nullptr},
      {"copied", get_copied, nullptr,
       "Whether the data was copied (its source could change) rather than used in place.", nullptr},
      {"symbol_bytes", get_symbol_bytes, nullptr,
       "Bytes per indexed symbol: 1 for bytes, 2 or 4 for token ids.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  }};
  std::array<PyType_Slot, 8> slots = {{
      {Py_tp_new, reinterpret_cast<void*>(tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(tp_repr)},
      {Py_tp_methods, methods.data()},
      {Py_tp_getset, getset.data()},
      {Py_tp_doc, const_cast<char*>(class_doc.c_str())},
      {Py_mp_length, reinterpret_cast<void*>(mp_length)},
      {0, nullptr},
  }};
  PyType_Spec type_spec = {"quarnel._index.SuffixArray", sizeof(SuffixArrayObject), 0,
                           Py_TPFLAGS_DEFAULT, slots.data()};
};

}  // namespace

PyObject* new_suffix_array_type(PyObject* module) {
  static TypeRecords records;  // the type keeps pointers into these for the life of the process
  return PyType_FromModuleAndSpec(module, &records.type_spec, nullptr);
}

}  // namespace quarnel::python
