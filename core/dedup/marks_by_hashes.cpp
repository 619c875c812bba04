// Marks from window hashes, checked word by word.
//
// 1. Each window (k words of one document and the text between them) gets a polynomial hash
//    modulo 2^61 - 1 over the hashes of its first k - 1 tokens (a word with the gap after it)
//    and of its last word, rolled along the document. The seeds and the base are drawn once per
//    process: no text can be made to collide on purpose.
// 2. A filter of 2-bit counters, each window counted in two slots, tells the windows whose hash
//    may occur twice: a window that has a slot counted once has a hash found nowhere else, so its
//    text is found nowhere else either. In a corpus this leaves the repeats and about 5 % of the
//    rest.
// 3. In position order, each window left is linked to the last window before it with the same
//    hash (a table of the last position seen with each hash).
// 4. In position order each link is checked and the window takes its first copy from the window
//    it is linked to. Most links continue the link of the position before (the next window of
//    the same two copies): then the last gap and word decide the check; otherwise the windows'
//    bytes are compared whole. A window's bytes run from its first word's start to its last
//    word's end, and equal bytes mean equal words and gaps (words are maximal runs of word
//    bytes). A check that fails means two different windows with one hash: no marks then.
// Time: one pass over the text, a few over the positions, and a comparison of a window's bytes at
// the start of each run of linked windows; no token table and no suffix sort.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/prefetch.hpp"
#include "base/string_interner.hpp"
#include "dedup/marks.hpp"
#include "dedup/modular.hpp"
#include "dedup/words.hpp"
#include "text/tokenizer.hpp"

namespace quarnel::core::dedup::detail {
namespace {

// Hashes are below 2^61, so neither of these is one: kGathered is set in a hash kept in step 2,
// kNoWindow stands where no window begins.
constexpr std::uint64_t kGathered = std::uint64_t{1} << 63;
constexpr std::uint64_t kNoWindow = kGathered - 1;
constexpr std::size_t kAhead = 16;

struct Seeds {
  std::uint64_t token, word, base;
};
const Seeds& process_seeds() {
  static const Seeds seeds = [] {
    const string_interner::HashKey& key = string_interner::process_hash_key();
    return Seeds{key.k0, key.k1, 2 + modular::mix(key.k0 ^ (key.k1 << 1)) % (modular::kPrime - 2)};
  }();
  return seeds;
}

// Per position, the first byte of its word; a document's end position holds its end. A word
// ends at its first byte that is not a word byte, never past the next position's start. Held as
// addresses in the caller's array, which the cut reuses after.
class WordStarts {
 public:
  WordStarts(std::vector<std::uint64_t>& memory, std::size_t n, parallel::Lanes lanes)
      : at_(memory) {
    if (at_.size() < n) at_ = large_array_faulted_in<std::uint64_t>(n, lanes);
  }
  void set(std::size_t p, const char* at) { at_[p] = reinterpret_cast<std::uintptr_t>(at); }
  [[nodiscard]] const char* start(std::size_t p) const {
    return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(at_[p]));
  }
  [[nodiscard]] const char* end(std::size_t p) const {
    const char* s = start(p);
    const char* const limit = start(p + 1);
    while (s < limit && tokenizer::is_word_byte(static_cast<unsigned char>(*s))) ++s;
    return s;
  }
  void prefetch(std::size_t p) const { prefetch_read(&at_[p]); }

 private:
  std::vector<std::uint64_t>& at_;
};

// The hash of every window that begins at a position of documents [part.begin, part.end),
// kNoWindow at the other positions, and the positions' word starts.
void hash_windows(std::span<const std::string_view> documents,
                  const std::vector<std::uint64_t>& doc_begin, std::uint64_t k, std::uint64_t mask,
                  parallel::Part part, std::vector<std::uint64_t>& hashes, WordStarts& starts) {
  const Seeds& seeds = process_seeds();
  WordBounds words;
  std::array<std::vector<std::uint64_t>, 1> token;
  for (std::size_t d = part.begin; d < part.end; ++d) {
    interrupt::checkpoint();
    const std::string_view text = documents[d];
    words.of(text);
    const std::uint64_t begin = doc_begin[d];
    const std::uint64_t n = words.size();
    if (n != doc_begin[d + 1] - 1 - begin) {
      throw InternalError("dedup: the document's words and its positions disagree");
    }
    for (std::uint64_t w = 0; w < n; ++w) starts.set(begin + w, text.data() + words.starts[w]);
    starts.set(begin + n, text.data() + text.size());
    const std::uint64_t windows = n >= k ? n - k + 1 : 0;
    std::fill(hashes.begin() + static_cast<std::ptrdiff_t>(begin + windows),
              hashes.begin() + static_cast<std::ptrdiff_t>(begin + n + 1), kNoWindow);
    if (windows == 0) continue;
    token_hashes_each<1>(text, words, {seeds.token}, token);
    modular::roll_windows(
        token[0], k, seeds.base,
        [&](std::uint64_t w) { return word_hash(text, words, w, seeds.word); },
        [&](std::uint64_t w, std::uint64_t hash) {
          interrupt::checkpoint_every(w);
          hashes[begin + w] = hash & mask;
        });
  }
}

// The filter's two slots of a hash, for a table of 2^bits counters.
struct Slots {
  std::uint64_t first, second;
};
Slots slots_of(std::uint64_t hash, unsigned bits) {
  return {(hash * 0x9e3779b97f4a7c15ULL) >> (64 - bits),
          (hash * 0xc2b2ae3d27d4eb4fULL) >> (64 - bits)};
}

// 2-bit counters that stop at 2.
class TwiceFilter {
 public:
  TwiceFilter(std::size_t windows, parallel::Lanes lanes)
      : bits_(static_cast<unsigned>(std::bit_width(std::max<std::size_t>(windows * 8, 256) - 1))),
        counts_(large_array_faulted_in<std::uint8_t>(std::size_t{1} << (bits_ - 2), lanes)) {}
  void prefetch(std::uint64_t hash) const {
    const Slots s = slots_of(hash, bits_);
    prefetch_read(&counts_[s.first >> 2]);
    prefetch_read(&counts_[s.second >> 2]);
  }
  // Counts `hash` in those of its slots that lie in half `half` of the table: two lanes count
  // every window each, in halves whose bytes are apart.
  void add_in_half(std::uint64_t hash, std::size_t half) {
    const Slots s = slots_of(hash, bits_);
    if (s.first >> (bits_ - 1) == half) bump(s.first);
    if (s.second >> (bits_ - 1) == half) bump(s.second);
  }
  [[nodiscard]] bool maybe_twice(std::uint64_t hash) const {
    const Slots s = slots_of(hash, bits_);
    return count(s.first) >= 2 && count(s.second) >= 2;
  }

 private:
  [[nodiscard]] unsigned count(std::uint64_t slot) const {
    return (counts_[slot >> 2] >> ((slot & 3) * 2)) & 3u;
  }
  void bump(std::uint64_t slot) {
    if (count(slot) < 2)
      counts_[slot >> 2] = static_cast<std::uint8_t>(counts_[slot >> 2] + (1u << ((slot & 3) * 2)));
  }
  unsigned bits_;
  std::vector<std::uint8_t> counts_;
};

// Flags with kGathered the windows (of `windows`) whose hash may occur twice; returns how many.
std::size_t flag_gathered(std::vector<std::uint64_t>& hashes, std::size_t windows,
                          parallel::Lanes lanes) {
  const std::size_t n = hashes.size();
  TwiceFilter filter(windows, lanes);
  parallel::over_parts(lanes, 2, 1, [&](parallel::Part half) {
    for (std::size_t p = 0; p < n; ++p) {
      interrupt::checkpoint_every(p);
      if (p + kAhead < n && hashes[p + kAhead] != kNoWindow) filter.prefetch(hashes[p + kAhead]);
      if (hashes[p] != kNoWindow) filter.add_in_half(hashes[p], half.index);
    }
  });
  return parallel::over_parts(
      lanes, n, n / 2,
      [&](parallel::Part part) {
        std::size_t gathered = 0;
        for (std::size_t p = part.begin; p < part.end; ++p) {
          interrupt::checkpoint_every(p);
          if (p + kAhead < part.end && hashes[p + kAhead] != kNoWindow) {
            filter.prefetch(hashes[p + kAhead]);
          }
          if (hashes[p] != kNoWindow && filter.maybe_twice(hashes[p])) {
            hashes[p] |= kGathered;
            ++gathered;
          }
        }
        return gathered;
      },
      [](std::size_t first, std::size_t second) { return first + second; });
}

// The last position seen with each hash: open addressing with linear probing, at most 3/4 full,
// slots of the whole hash and a position of `Position` (12 bytes for 32-bit positions).
template <class Position>
class LastSeen {
 public:
  LastSeen(std::size_t keys, parallel::Lanes lanes)
      : bits_(static_cast<unsigned>(std::bit_width(std::max<std::size_t>(keys + keys / 3, 16)))),
        slots_(large_array_faulted_in<Slot>(std::size_t{1} << bits_, lanes)) {
    std::fill(slots_.begin(), slots_.end(), Slot{kNoWindow, 0});
  }
  void prefetch(std::uint64_t hash) const { prefetch_read(&slots_[home(hash)]); }
  // The position last seen with `hash` (kUnmarked if none); `position` is seen with it now.
  std::uint64_t exchange(std::uint64_t hash, std::uint64_t position) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.hash == hash) {
        const std::uint64_t last = slot.position;
        slot.position = static_cast<Position>(position);
        return last;
      }
      if (slot.hash == kNoWindow) {
        slot = {hash, static_cast<Position>(position)};
        return kUnmarked<std::uint64_t>;
      }
    }
  }

 private:
  struct __attribute__((packed)) Slot {
    std::uint64_t hash;
    Position position;
  };
  static_assert(sizeof(Slot) == 8 + sizeof(Position));
  [[nodiscard]] std::size_t home(std::uint64_t hash) const {
    return (hash * 0xff51afd7ed558ccdULL) >> (64 - bits_);
  }
  unsigned bits_;
  std::vector<Slot> slots_;
};

// Per position, the link of its window (the last window before it with its hash, kUnmarked for
// none) in place of the hash flagged by flag_gathered.
template <class Table>
void link_windows(std::vector<std::uint64_t>& marks, std::size_t gathered, parallel::Lanes lanes) {
  Table last_seen(gathered, lanes);
  const std::size_t n = marks.size();
  for (std::size_t p = 0; p < n; ++p) {
    interrupt::checkpoint_every(p);
    if (p + kAhead < n && (marks[p + kAhead] & kGathered) != 0) {
      last_seen.prefetch(marks[p + kAhead] & ~kGathered);
    }
    const std::uint64_t h = marks[p];
    marks[p] =
        (h & kGathered) != 0 ? last_seen.exchange(h & ~kGathered, p) : kUnmarked<std::uint64_t>;
  }
}

}  // namespace

std::optional<std::vector<std::uint64_t>> marks_by_hashes(
    std::span<const std::string_view> documents, const std::vector<std::uint64_t>& doc_begin,
    std::uint64_t k, std::uint64_t reference_begin, parallel::Lanes lanes,
    std::vector<std::uint64_t>& scratch, unsigned hash_bits) {
  using Idx = std::uint64_t;
  const std::size_t n = doc_begin.back();
  const std::uint64_t mask =
      hash_bits >= 61 ? ~std::uint64_t{0} : (std::uint64_t{1} << hash_bits) - 1;
  WordStarts starts(scratch, n + 1, lanes);
  // Per position its window's hash, then its link, then its mark: one array, faulted in once.
  std::vector<std::uint64_t> marks = large_array_faulted_in<std::uint64_t>(n, lanes);
  {
    // Documents split where their positions are halved.
    const auto half = static_cast<std::size_t>(
        std::lower_bound(doc_begin.begin(), doc_begin.end() - 1, n / 2) - doc_begin.begin());
    parallel::over_parts(lanes, documents.size(), half, [&](parallel::Part part) {
      hash_windows(documents, doc_begin, k, mask, part, marks, starts);
    });
    std::size_t windows = 0;
    for (std::size_t d = 0; d + 1 < doc_begin.size(); ++d) {
      const std::uint64_t words = doc_begin[d + 1] - 1 - doc_begin[d];
      windows += words >= k ? words - k + 1 : 0;
    }
    const std::size_t gathered = flag_gathered(marks, windows, lanes);
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
      link_windows<LastSeen<std::uint32_t>>(marks, gathered, lanes);
    } else {
      link_windows<LastSeen<std::uint64_t>>(marks, gathered, lanes);
    }
  }
  interrupt::checkpoint();
  const auto same_bytes = [](const char* a, const char* a_end, const char* b, const char* b_end) {
    return a_end - a == b_end - b && std::memcmp(a, b, static_cast<std::size_t>(a_end - a)) == 0;
  };
  // Whether the first copy of a window has a reference position in its class: bit per position.
  std::vector<std::uint64_t> in_reference((n + 63) / 64, 0);
  Idx linked_before = kUnmarked<Idx>;  // the link of p - 1, checked, or none
  for (std::size_t p = 0; p < n; ++p) {
    interrupt::checkpoint_every(p);
    if (p + kAhead < n) {
      const Idx ahead = marks[p + kAhead];
      if (ahead != kUnmarked<Idx>) {
        prefetch_read(&marks[ahead]);
        starts.prefetch(ahead + k - 1);
      }
    }
    const Idx q = marks[p];
    if (q == kUnmarked<Idx>) {
      linked_before = kUnmarked<Idx>;
      continue;
    }
    // With the windows at p - 1 and q - 1 equal, those at p and q differ at most in the gap
    // after the word before the last and in the last word.
    const bool equal = k >= 2 && linked_before != kUnmarked<Idx> && q == linked_before + 1
                           ? same_bytes(starts.end(p + k - 2), starts.end(p + k - 1),
                                        starts.end(q + k - 2), starts.end(q + k - 1))
                           : same_bytes(starts.start(p), starts.end(p + k - 1), starts.start(q),
                                        starts.end(q + k - 1));
    if (!equal) return std::nullopt;
    linked_before = q;
    const Idx first = marks[q] == kUnmarked<Idx> ? q : marks[q];
    marks[p] = first;
    if (p >= reference_begin) in_reference[first / 64] |= std::uint64_t{1} << (first % 64);
  }
  interrupt::checkpoint();
  for (std::size_t p = 0; p < n; ++p) {
    interrupt::checkpoint_every(p);
    if (p >= reference_begin) {
      marks[p] = kUnmarked<Idx>;
      continue;
    }
    const Idx first = marks[p] == kUnmarked<Idx> ? static_cast<Idx>(p) : marks[p];
    if (((in_reference[first / 64] >> (first % 64)) & 1) != 0) marks[p] = kInReference<Idx>;
  }
  return marks;
}

}  // namespace quarnel::core::dedup::detail
