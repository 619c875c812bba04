#pragma once
// FM-index over a byte text: bucket starts, the Burrows-Wheeler transform in a wavelet matrix and
// a suffix-order sample of the suffix array. The text is terminated by one 0x00 sentinel, so the
// input itself must not contain 0x00. The text is not kept.

#include <array>
#include <cstdint>
#include <ranges>
#include <span>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "fm_index/bit_vec.hpp"
#include "fm_index/rs_vec.hpp"
#include "fm_index/wavelet_matrix.hpp"
#include "text/normalize.hpp"

namespace quarnel::core::fm_index {

// Half-open interval of suffix-array rows.
struct RowInterval {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  [[nodiscard]] std::uint64_t size() const noexcept { return hi - lo; }
  friend bool operator==(const RowInterval&, const RowInterval&) = default;
};

// Bit length of n: 64 minus its leading zero bits.
[[nodiscard]] unsigned bit_length(std::uint64_t n) noexcept;

// The sampling level actually used for n rows: `requested` when n > 2^(requested mod 64), else 0.
[[nodiscard]] std::uint64_t effective_sampling_level(std::uint64_t n,
                                                     std::uint64_t requested) noexcept;

// Suffix-order sample: SA[k << s] for k = 0 .. (n - 1) >> s, with s = level mod 64, each stored in
// word_size = bit_length(n) bits.
struct SOSampledSuffixArray {
  BitVec samples;
  // The sample words of a loaded index, in memory its wavelet matrix keeps; empty when built.
  std::span<const std::uint64_t> loaded_words;
  std::uint64_t level = 0;
  std::uint64_t word_size = 0;
  std::uint64_t sa_len = 0;

  [[nodiscard]] unsigned shift() const noexcept { return static_cast<unsigned>(level % 64); }
  [[nodiscard]] std::uint64_t sample_count() const noexcept {
    return sa_len == 0 ? 0 : ((sa_len - 1) >> shift()) + 1;
  }
  [[nodiscard]] std::span<const std::uint64_t> words() const noexcept {
    return loaded_words.empty() ? samples.words() : loaded_words;
  }
  [[nodiscard]] std::uint64_t sample(std::uint64_t k) const {
    return BitVec::bits_at(words(), k * word_size, static_cast<unsigned>(word_size));
  }
};

class FMIndexBackend {
 public:
  // Builds the index of `text` (which must not contain 0x00) plus its sentinel.
  FMIndexBackend(std::span<const std::uint8_t> text, std::uint64_t level);
  // An index from the parts of one built before (a loaded one).
  FMIndexBackend(const std::array<std::uint64_t, 256>& c_array, SOSampledSuffixArray sampled_sa,
                 WaveletMatrix bwt_matrix);

  // Rows n = text length + 1.
  [[nodiscard]] std::uint64_t len() const noexcept { return bwt_matrix_.len(); }
  [[nodiscard]] const std::array<std::uint64_t, 256>& c_array() const noexcept { return c_array_; }
  [[nodiscard]] const SOSampledSuffixArray& sampled_sa() const noexcept { return sampled_sa_; }
  [[nodiscard]] const WaveletMatrix& bwt_matrix() const noexcept { return bwt_matrix_; }

  // c_array[c] + rank_c(BWT, i), for 0 <= i <= n.
  [[nodiscard]] std::uint64_t lf_map2(std::uint8_t c, std::uint64_t i) const noexcept {
    return lf_base_[c] + bwt_matrix_.descend(c, i);
  }

  // Backward search: the rows whose (cyclic) suffix starts with the pattern. An empty result is
  // [lo, lo) at the row where the search ran dry.
  [[nodiscard]] RowInterval search(std::span<const std::uint8_t> pattern) const noexcept;

  // SA[row] for row < n: a position of the terminated text; kDamaged when no sample is reached
  // within n steps or the sample is not below n, which only a damaged (loaded) index allows.
  [[nodiscard]] std::uint64_t get_sa(std::uint64_t row) const noexcept;
  static constexpr std::uint64_t kDamaged = ~std::uint64_t{0};

  // Nodes of the suffix trie count_batch searches at once (about 30 bytes each); a pattern
  // longer than this is searched alone.
  static constexpr std::size_t kTrieNodes = std::size_t{1} << 20;

  // The number of rows search() finds for each pattern k of a batch (pattern k
  // is bytes [offsets[k], offsets[k + 1])), into out[k]; an empty pattern counts len() - 1.
  // The patterns are taken in the order order[begin .. end), best sorted by their bytes read
  // backwards: a suffix that neighbours share is searched once. `trie_nodes` (at least 1) bounds
  // the memory this takes.
  void count_batch(std::span<const std::uint8_t> bytes, std::span<const std::uint64_t> offsets,
                   std::span<const std::uint32_t> order, std::size_t begin, std::size_t end,
                   std::uint64_t* out, std::size_t trie_nodes = kTrieNodes) const;

  // get_sa of every row of the interval, in row order, appended to `out`. Throws
  // interrupt::Interrupted when the caller asks to stop, and FMIndexError::damaged() when a walk
  // takes n steps without reaching a sample or reaches one beyond the text (a damaged index).
  void locate_rows(RowInterval rows, std::vector<std::uint64_t>& out) const;

  // 2048 bytes of bucket starts, the sample words and the eight levels' rank vectors.
  [[nodiscard]] std::uint64_t heap_size() const noexcept;

 private:
  // The walks of locate_rows into out[0, rows.size()). Exceptions must not leave a function of
  // several target clones (GCC's callers treat them as not throwing), hence the status.
  enum class Walk { Done, Stopped, Damaged };
  [[nodiscard]] Walk walk_rows(RowInterval rows, std::uint64_t* out) const noexcept;
  void set_lf_base() noexcept;
  // One backward step for each of `nodes`: rows[v] becomes the rows of byte[v] followed by the
  // string whose rows are rows[parent[v]].
  void extend_rows(std::span<const std::uint32_t> nodes, std::span<const std::uint32_t> parent,
                   std::span<const std::uint8_t> byte, std::span<RowInterval> rows) const noexcept;

  std::array<std::uint64_t, 256> c_array_{};
  // c_array[c] - bwt_matrix.symbol_start(c) (mod 2^64): turns a descent position into an LF row.
  std::array<std::uint64_t, 256> lf_base_{};
  SOSampledSuffixArray sampled_sa_;
  WaveletMatrix bwt_matrix_;
};

// The rows of a search result, ascending.
class MatchIteratorWrapper {
 public:
  explicit MatchIteratorWrapper(RowInterval rows) noexcept : rows_(rows.lo, rows.hi) {}
  [[nodiscard]] auto begin() const noexcept { return rows_.begin(); }
  [[nodiscard]] auto end() const noexcept { return rows_.end(); }
  [[nodiscard]] std::uint64_t size() const noexcept { return rows_.size(); }

 private:
  std::ranges::iota_view<std::uint64_t, std::uint64_t> rows_;
};

// Construction errors, reported to Python as ValueError with what() as the message.
class FMIndexError : public UsageError {
 public:
  enum class Kind { NullByte, Construction, Damaged };

  [[nodiscard]] static FMIndexError null_byte();
  // A query found the index inconsistent (only a loaded one can be).
  [[nodiscard]] static FMIndexError damaged();
  // "FM-index construction failed: " + message.
  [[nodiscard]] static FMIndexError construction(const std::string& message);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }

 private:
  FMIndexError(Kind kind, const std::string& text) : UsageError(text), kind_(kind) {}
  Kind kind_;
};

inline constexpr const char* kNullByteMessage =
    "Input data must not contain null bytes (0x00); they are reserved as sentinels";
inline constexpr const char* kDamagedMessage = "index is damaged";
inline constexpr const char* kConstructionPrefix = "FM-index construction failed: ";
inline constexpr const char* kInvalidUtf8Message = "Normalization requires valid UTF-8 input";

// The index of one prepared text with what its queries need to answer in source terms.
struct FMIndex {
  FMIndexBackend index;
  std::vector<normalize::CumulativeDelta> deltas;
  std::uint64_t text_len = 0;
  bool case_insensitive = false;
  std::uint64_t locate_level = 0;  // as requested
};

// Prepares `data` (ASCII lower-casing and whitespace collapsing when asked, which requires valid
// UTF-8) and indexes it. Throws FMIndexError for invalid UTF-8 under a flag or a 0x00 byte.
[[nodiscard]] FMIndex build_fm_index(std::span<const std::uint8_t> data, std::uint64_t locate_level,
                                     bool case_insensitive, bool normalize_whitespace);

// Occurrences of the pattern; the empty pattern counts text_len.
[[nodiscard]] std::uint64_t count(const FMIndex& fm, std::span<const std::uint8_t> pattern);

// Source offsets of the occurrences, in suffix order. The empty pattern gives 0 .. text_len - 1,
// positions of the prepared text.
[[nodiscard]] std::vector<std::uint64_t> locate(const FMIndex& fm,
                                                std::span<const std::uint8_t> pattern);

[[nodiscard]] inline std::uint64_t heap_size(const FMIndex& fm) noexcept {
  return fm.index.heap_size();
}

// The occurrence count of every pattern of a batch (pattern k is bytes [offsets[k],
// offsets[k + 1]) of `bytes`), on two threads for large batches.
void count_many(const FMIndex& fm, std::span<const std::uint8_t> bytes,
                std::span<const std::uint64_t> offsets, std::span<std::uint64_t> out);

// Every pattern's locate result, concatenated; pattern k owns [offsets[k], offsets[k + 1]).
struct LocatedBatch {
  std::vector<std::uint64_t> positions;
  std::vector<std::uint64_t> offsets;
};
[[nodiscard]] LocatedBatch locate_many(const FMIndex& fm, std::span<const std::uint8_t> bytes,
                                       std::span<const std::uint64_t> offsets);

namespace detail {
// A copy with the ASCII capitals 'A' to 'Z' lower-cased: the query form of a case-insensitive
// index's patterns.
[[nodiscard]] std::vector<std::uint8_t> folded_ascii(std::span<const std::uint8_t> bytes);
}  // namespace detail

// Saved form, little-endian: a header of 2368 bytes (magic, version, flags, lengths, sampling,
// bucket starts, the summaries of the eight levels, a checksum of the rest of the file and one
// of the header), then the lines of the eight levels, the sample words and the delta pairs.
// Sections start at multiples of 64 bytes, so a mapped file is used in place.
struct SavedForm {
  std::vector<std::uint8_t> header;
  std::vector<std::span<const std::uint8_t>> parts;  // the header first
  [[nodiscard]] std::uint64_t size() const noexcept;
};
[[nodiscard]] SavedForm saved_form(const FMIndex& fm);
void save_fm_index(const std::string& path, const FMIndex& fm);
// Maps the file, after checking its size against its header; damage of any kind raises
// persist::FormatError naming the problem. Besides the checksums, every header field and the
// structure of the data are checked (see saved_form.cpp), in one linear pass that shares the
// checksum's read of the memory, so that no query of a loaded index can leave its arrays; the
// one thing a linear pass cannot prove, that the LF mapping is a single cycle, is caught by
// locate's bounded walks instead, which also check each sample they read.
[[nodiscard]] FMIndex load_fm_index(const std::string& path);
// The same checks on a saved form held in memory, which is copied (and checked in the copy).
[[nodiscard]] FMIndex fm_index_from_bytes(std::span<const std::uint8_t> bytes);

}  // namespace quarnel::core::fm_index
