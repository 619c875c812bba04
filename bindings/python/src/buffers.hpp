#pragma once
// Converters for arguments read through the buffer protocol: indexed texts (any C-contiguous
// byte buffer, or a one-dimensional array of integer token ids), batches of patterns, and paths.

#include <cstdint>
#include <string>
#include <utility>

#include "binder.hpp"
#include "suffix_array/suffix_index.hpp"

namespace quarnel::python {

// A buffer export held for as long as this lives; released (with the interpreter lock held) on
// destruction. While it is held, bytearray cannot resize and mmap cannot close.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  ~HeldBuffer() { release(); }
  HeldBuffer(HeldBuffer&& other) noexcept
      : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  HeldBuffer& operator=(HeldBuffer&&) = delete;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  // Exports `obj` with its format and shape, C-contiguous; throws PythonErrorSet on failure.
  void acquire(PyObject* obj);
  void release() noexcept;
  [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The symbols an index reads: the caller's own memory when nothing can change it (bytes,
// read-only views whose memory belongs to bytes or to a read-only mmap), otherwise a private
// copy, so that later writes to the source cannot reach a built index.
struct IndexedText {
  HeldBuffer source;
  std::vector<std::uint8_t> byte_copy;
  core::suffix_array::TokenCopy token_copy;
  core::suffix_array::SymbolText text;
  bool copied = false;
};

// Bytes-like objects give 1-byte symbols (as do uint8 arrays); uint16 arrays 2-byte ones;
// uint32, int32, uint64 and int64 arrays 4-byte ones (ids must be 0 .. 2^32 - 1: ValueError).
void to_indexed_text(const BoundArgs& args, std::size_t i, IndexedText& out);

// One pattern or a batch of them, flattened, for a text of `symbol_width`-byte symbols: for
// byte texts bytes-like objects, for token texts integer arrays or sequences of ints. A batch is
// a list or tuple of patterns, or a two-dimensional array whose rows are patterns.
[[nodiscard]] core::suffix_array::PatternBatch to_pattern(const BoundArgs& args, std::size_t i,
                                                          unsigned symbol_width);
[[nodiscard]] core::suffix_array::PatternBatch to_pattern_batch(const BoundArgs& args,
                                                                std::size_t i,
                                                                unsigned symbol_width);

// `str`, `bytes` or an os.PathLike, in the file system's encoding.
[[nodiscard]] std::string to_path(const BoundArgs& args, std::size_t i);

}  // namespace quarnel::python
