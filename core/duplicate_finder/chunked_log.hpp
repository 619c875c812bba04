#pragma once
// Append-only storage in fixed chunks of 64 Ki entries. Memory: the entries, rounded up to a
// chunk; appending is O(1) and never moves an entry.

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

namespace quarnel::core::duplicate_finder {

// Growing never copies what is stored, which matters when
// the hits of a repetitive text run into the hundreds of millions.
template <class T>
class ChunkedLog {
 public:
  void push_back(const T& value) {
    if (chunks_.empty() || chunks_.back().used == kChunk) {
      chunks_.push_back({std::make_unique_for_overwrite<T[]>(kChunk), 0});
    }
    Chunk& last = chunks_.back();
    last.data[last.used++] = value;
  }

  [[nodiscard]] std::size_t size() const {
    std::size_t n = 0;
    for (const Chunk& chunk : chunks_) n += chunk.used;
    return n;
  }

  // Appends the entries of `later` after these, without copying them.
  void splice(ChunkedLog&& later) {
    std::move(later.chunks_.begin(), later.chunks_.end(), std::back_inserter(chunks_));
    later.chunks_.clear();
  }

  // visit(entry) for every entry, which it may change.
  template <class Visit>
  void update_each(Visit&& visit) {
    for (Chunk& chunk : chunks_) {
      for (std::size_t i = 0; i < chunk.used; ++i) visit(chunk.data[i]);
    }
  }

  template <class Visit>
  void for_each(Visit&& visit) const {
    for_each_in_part(0, 1, visit);
  }

  // visit(entry) for the entries of part `part` of `parts`, in order: the parts visit every entry
  // once between them, in about equal shares.
  template <class Visit>
  void for_each_in_part(std::size_t part, std::size_t parts, Visit&& visit) const {
    const std::size_t n = size();
    const std::size_t begin = n * part / parts;
    const std::size_t end = n * (part + 1) / parts;
    std::size_t first = 0;  // of the chunk
    for (const Chunk& chunk : chunks_) {
      const std::size_t from = std::max(begin, first) - first;
      const std::size_t to = std::min(end, first + chunk.used) - first;
      for (std::size_t i = from; i < to; ++i) visit(chunk.data[i]);
      first += chunk.used;
      if (first >= end) break;
    }
  }

  void clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  struct Chunk {
    std::unique_ptr<T[]> data;
    std::size_t used;
  };
  std::vector<Chunk> chunks_;
};

}  // namespace quarnel::core::duplicate_finder
