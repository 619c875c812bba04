#include "buffers.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include "base/errors.hpp"
#include "error_mapping.hpp"

namespace quarnel::python {
namespace {

namespace sa = core::suffix_array;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonErrorSet{};
}

// Gives a pending ValueError the parameter prefix that TypeErrors of conversions carry.
void prefix_value_error(const char* name) {
  PyRef original = take_pending_exception();
  PyRef text = checked(PyObject_Str(original.get()));
  PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  PyErr_SetObject(PyExc_ValueError, message.get());
}

// Runs one conversion; TypeErrors and ValueErrors get the parameter prefix.
template <class Body>
auto converting(const BoundArgs& args, std::size_t i, Body&& body) -> decltype(body(args[i])) {
  try {
    return body(args[i]);
  } catch (const PythonErrorSet&) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) prefix_value_error(args.name(i));
    rethrow_with_argument_prefix(args.name(i));
  }
}

[[noreturn]] void raise_not_buffer(PyObject* obj, const char* expected) {
  PyRef qualname = checked(PyType_GetQualName(Py_TYPE(obj)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not %s", qualname.get(), expected);
  throw PythonErrorSet{};
}

// The element kind of a buffer format: 'u' unsigned, 'i' signed, 0 for anything else.
char integer_kind(const Py_buffer& v) {
  std::string_view f = v.format == nullptr ? "B" : v.format;
  if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<' || f[0] == '!' || f[0] == '>')) {
    if (f[0] == '>' || f[0] == '!') return 0;  // big-endian elements
    f.remove_prefix(1);
  }
  if (f.size() != 1) return 0;
  switch (f[0]) {
    case 'B':
    case 'c':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      return 'u';
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      return 'i';
    default:
      return 0;
  }
}

bool is_numpy_array(PyObject* obj) {
  for (PyTypeObject* t = Py_TYPE(obj); t != nullptr; t = t->tp_base) {
    if (std::strcmp(t->tp_name, "numpy.ndarray") == 0) return true;
  }
  return false;
}

bool exports_writable(PyObject* obj) {
  Py_buffer probe;
  if (PyObject_GetBuffer(obj, &probe, PyBUF_WRITABLE) == 0) {
    PyBuffer_Release(&probe);
    return true;
  }
  PyErr_Clear();
  return false;
}

// Whether no Python code can change the memory `obj` exports: it is bytes, a read-only mmap,
// or a read-only view (memoryview, NumPy array) of such memory. Anything else is copied.
bool memory_is_immutable(PyObject* obj) {
  PyRef current = PyRef::borrow(obj);
  for (int depth = 0; depth < 64; ++depth) {
    PyObject* o = current.get();
    if (PyBytes_Check(o)) return true;
    if (exports_writable(o)) return false;
    if (std::strcmp(Py_TYPE(o)->tp_name, "mmap.mmap") == 0) return true;
    if (PyMemoryView_Check(o)) {
      PyObject* base = PyMemoryView_GET_BUFFER(o)->obj;
      if (base == nullptr) return false;
      current = PyRef::borrow(base);
      continue;
    }
    if (!is_numpy_array(o)) return false;
    // An array that owns its memory can be made writable again; one that borrows it is as
    // immutable as its base.
    PyRef base = checked(PyObject_GetAttrString(o, "base"));
    if (base.get() == Py_None) return false;
    current = std::move(base);
  }
  return false;
}

void require_one_dimension(const Py_buffer& v) {
  if (v.ndim != 1) {
    raise(PyExc_ValueError,
          "expected a one-dimensional array, got " + std::to_string(v.ndim) + " dimensions");
  }
}

sa::TokenType token_type(char kind, Py_ssize_t itemsize) {
  if (kind == 'u' && itemsize == 2) return sa::TokenType::U16;
  if (kind == 'u' && itemsize == 4) return sa::TokenType::U32;
  if (kind == 'i' && itemsize == 4) return sa::TokenType::I32;
  if (kind == 'i' && itemsize == 8) return sa::TokenType::I64;
  if (kind == 'u' && itemsize == 8) return sa::TokenType::U64;
  raise(PyExc_ValueError,
        "token arrays must have element type uint8, uint16, uint32, int32, "
        "uint64 or int64");
}

// Raises the core's validation error as ValueError without the argument prefix (it names the
// parameter itself).
template <class Body>
auto reporting_usage_errors(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const core::UsageError& e) {
    raise(PyExc_ValueError, e.message());
  }
}

void fill_indexed_text(PyObject* obj, IndexedText& out) {
  out.source.acquire(obj);
  const Py_buffer& v = out.source.view();
  require_one_dimension(v);
  const char kind = integer_kind(v);
  if (kind == 0 || (v.itemsize == 1 && kind != 'u')) {
    raise(PyExc_ValueError, "expected bytes or an array of unsigned bytes or integer token ids");
  }
  const std::uint64_t count = static_cast<std::uint64_t>(v.shape[0]);
  const bool in_place = memory_is_immutable(obj);
  if (v.itemsize == 1) {
    if (in_place) {
      out.text = {v.buf, count, 1};
      return;
    }
    const auto* b = static_cast<const std::uint8_t*>(v.buf);
    out.byte_copy.assign(b, b + count);
    out.text = {out.byte_copy.data(), count, 1};
  } else {
    const sa::TokenType type = token_type(kind, v.itemsize);
    const bool usable_as_is =
        in_place &&
        (type == sa::TokenType::U16 || type == sa::TokenType::U32 || type == sa::TokenType::I32);
    if (usable_as_is) {
      if (type == sa::TokenType::I32) {
        reporting_usage_errors([&] {
          sa::check_int32_tokens({static_cast<const std::int32_t*>(v.buf), count}, "");
        });
      }
      out.text = {v.buf, count, static_cast<unsigned>(v.itemsize)};
      return;
    }
    out.token_copy =
        reporting_usage_errors([&] { return sa::copy_tokens(v.buf, count, type, ""); });
    out.text = out.token_copy.text();
  }
  out.copied = true;
  out.source.release();
}

// The element at `e` read as a signed and as an unsigned number of its width.
template <class Signed>
void read_both(const std::uint8_t* e, std::int64_t& s, std::uint64_t& u) {
  Signed as_signed;
  std::memcpy(&as_signed, e, sizeof as_signed);
  s = as_signed;
  std::make_unsigned_t<Signed> as_unsigned;
  std::memcpy(&as_unsigned, e, sizeof as_unsigned);
  u = as_unsigned;
}

// Appends the symbols of one pattern to the batch.
void append_buffer_pattern(const Py_buffer& v, const void* row, std::uint64_t count, char kind,
                           unsigned symbol_width, sa::PatternBatch& batch) {
  if (symbol_width == 1) {
    if (v.itemsize != 1) raise(PyExc_ValueError, "patterns of a byte text must be bytes-like");
    const auto* b = static_cast<const std::uint8_t*>(row);
    batch.bytes.insert(batch.bytes.end(), b, b + count);
  } else {
    const auto* base = static_cast<const std::uint8_t*>(row);
    for (std::uint64_t k = 0; k < count; ++k) {
      const std::uint8_t* e = base + k * v.itemsize;
      std::int64_t s = 0;
      std::uint64_t u = 0;
      switch (v.itemsize) {
        case 1:
          read_both<std::int8_t>(e, s, u);
          break;
        case 2:
          read_both<std::int16_t>(e, s, u);
          break;
        case 4:
          read_both<std::int32_t>(e, s, u);
          break;
        case 8:
          read_both<std::int64_t>(e, s, u);
          break;
        default:
          raise(PyExc_ValueError, "unsupported token element size");
      }
      if ((kind == 'i' && s < 0) || u > std::numeric_limits<std::uint32_t>::max()) {
        raise(PyExc_ValueError, "token ids must be between 0 and 4294967295");
      }
      batch.tokens.push_back(u);
    }
  }
  batch.offsets.push_back(batch.offsets.back() + count);
}

std::uint64_t token_of(PyObject* item) {
  PyRef index = checked(PyNumber_Index(item));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  if (overflow != 0 || value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
    raise(PyExc_ValueError, "token ids must be between 0 and 4294967295");
  }
  return static_cast<std::uint64_t>(value);
}

// A sequence of ints: one token pattern.
bool append_int_sequence(PyObject* obj, sa::PatternBatch& batch) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) return false;
  PyRef fast = checked(PySequence_Fast(obj, "a pattern"));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  for (Py_ssize_t k = 0; k < n; ++k) batch.tokens.push_back(token_of(items[k]));
  batch.offsets.push_back(batch.offsets.back() + static_cast<std::uint64_t>(n));
  return true;
}

void append_pattern(PyObject* obj, unsigned symbol_width, sa::PatternBatch& batch) {
  if (symbol_width == 1 && PyBytes_Check(obj)) {  // the common case, without a buffer export
    const auto* b = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    batch.bytes.insert(batch.bytes.end(), b, b + PyBytes_GET_SIZE(obj));
    batch.offsets.push_back(batch.bytes.size());
    return;
  }
  if (symbol_width != 1 && append_int_sequence(obj, batch)) return;
  if (!PyObject_CheckBuffer(obj) || PyUnicode_Check(obj)) {
    raise_not_buffer(
        obj, symbol_width == 1 ? "a bytes-like object" : "an integer array or a sequence of ints");
  }
  HeldBuffer held;
  held.acquire(obj);
  const Py_buffer& v = held.view();
  require_one_dimension(v);
  const char kind = integer_kind(v);
  if (kind == 0) raise(PyExc_ValueError, "patterns must hold bytes or integers");
  append_buffer_pattern(v, v.buf, static_cast<std::uint64_t>(v.shape[0]), kind, symbol_width,
                        batch);
}

// Rows of a two-dimensional array, each one pattern.
bool append_rows(PyObject* obj, unsigned symbol_width, sa::PatternBatch& batch) {
  if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj)) return false;
  HeldBuffer held;
  held.acquire(obj);
  const Py_buffer& v = held.view();
  if (v.ndim != 2) return false;
  const char kind = integer_kind(v);
  if (kind == 0) raise(PyExc_ValueError, "patterns must hold bytes or integers");
  const auto* base = static_cast<const std::uint8_t*>(v.buf);
  const std::uint64_t width = static_cast<std::uint64_t>(v.shape[1]);
  for (Py_ssize_t r = 0; r < v.shape[0]; ++r) {
    append_buffer_pattern(v, base + r * width * v.itemsize, width, kind, symbol_width, batch);
  }
  return true;
}

}  // namespace

void HeldBuffer::acquire(PyObject* obj) {
  release();
  if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_not_buffer(obj, "a bytes-like object or an integer array");
    }
    if (PyErr_ExceptionMatches(PyExc_BufferError)) {
      PyErr_Clear();
      raise(PyExc_ValueError, "the buffer must be C-contiguous");
    }
    throw PythonErrorSet{};
  }
  held_ = true;
}

void HeldBuffer::release() noexcept {
  if (held_) PyBuffer_Release(&view_);
  held_ = false;
}

void to_indexed_text(const BoundArgs& args, std::size_t i, IndexedText& out) {
  converting(args, i, [&](PyObject* obj) {
    if (PyUnicode_Check(obj)) raise_not_buffer(obj, "a bytes-like object or an integer array");
    fill_indexed_text(obj, out);
    return 0;
  });
}

sa::PatternBatch to_pattern(const BoundArgs& args, std::size_t i, unsigned symbol_width) {
  return converting(args, i, [&](PyObject* obj) {
    sa::PatternBatch batch;
    append_pattern(obj, symbol_width, batch);
    return batch;
  });
}

sa::PatternBatch to_pattern_batch(const BoundArgs& args, std::size_t i, unsigned symbol_width) {
  return converting(args, i, [&](PyObject* obj) {
    sa::PatternBatch batch;
    if (append_rows(obj, symbol_width, batch)) return batch;
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
      raise_not_buffer(obj, "a list or tuple of patterns or a two-dimensional array");
    }
    PyRef fast = checked(PySequence_Fast(obj, "patterns"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    batch.offsets.reserve(static_cast<std::size_t>(n) + 1);
    for (Py_ssize_t k = 0; k < n; ++k) {
      append_pattern(PySequence_Fast_ITEMS(fast.get())[k], symbol_width, batch);
    }
    return batch;
  });
}

std::string to_path(const BoundArgs& args, std::size_t i) {
  return converting(args, i, [](PyObject* obj) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(obj, &encoded) == 0) throw PythonErrorSet{};
    PyRef owned(encoded);
    return std::string(PyBytes_AS_STRING(encoded),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
  });
}

}  // namespace quarnel::python
