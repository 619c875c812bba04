#include "duplicate_finder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <tuple>
#include <utility>

#include "aho_corasick.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "interval_merger.hpp"
#include "large_array.hpp"
#include "parallel.hpp"
#include "prefetch.hpp"
#include "radix_sort.hpp"
#include "sentence_splitter.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/halves_sort.hpp"
#include "suffix_array/lcp.hpp"
#include "suffix_array/lcp_runs.hpp"
#include "suffix_array/search.hpp"
#include "swar.hpp"
#include "tokenizer.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

using string_interner::HashKey;
using string_interner::StringInterner;
using suffix_array::LcpRun;
using types::FinderParams;
using types::kMaxU64;
using types::PhraseData;
using types::PhraseResult;

bool is_char_start(std::string_view text, std::uint64_t pos) {
  return pos < text.size() && !types::is_utf8_continuation(static_cast<unsigned char>(text[pos]));
}

// ---------------------------------------------------------------------------------------------
// Candidate phrases

// Eight ASCII bytes classified at once, by range tests on the bytes gathered into one bit per
// byte.
struct AsciiClasses {
  std::uint64_t word, space, plain;  // one bit per byte, byte 0 lowest
};

constexpr AsciiClasses ascii_classes(std::uint64_t eight) {
  using swar::in_range;
  const std::uint64_t plain = in_range(eight, ' ', ' ');
  return {swar::gather_high_bits(in_range(eight, '0', '9') | in_range(eight, 'A', 'Z') |
                                 in_range(eight, 'a', 'z')),
          swar::gather_high_bits(in_range(eight, 0x09, 0x0D) | plain),
          swar::gather_high_bits(plain)};
}

// The range tests agree with the tokenizer's word bytes and the one-byte white space, for every
// ASCII byte in every lane.
constexpr bool ascii_classes_agree() {
  const auto lanes = [](bool set) { return set ? std::uint64_t{0xFF} : 0; };
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    const char c[1] = {static_cast<char>(byte)};
    const AsciiClasses classes = ascii_classes(swar::kLowBits * byte);
    if (classes.word != lanes(tokenizer::is_word_byte(static_cast<unsigned char>(byte))) ||
        classes.space != lanes(types::white_space_length_at(std::string_view(c, 1), 0) == 1) ||
        classes.plain != lanes(byte == ' ')) {
      return false;
    }
  }
  return true;
}
static_assert(ascii_classes_agree());

// Word starts, word ends, sentence boundaries and white space as one bit per text position, 64
// positions per block, with running counts and the first boundary after each block. Positions
// arrive in suffix-array order, i.e. scattered over the text; this answers what is asked of each
// one (does a word start here, which word ends follow, which sentence boundary comes next, how
// many non-space bytes a window has and whether normalising changes it) from its block and the
// next few, instead of bisecting lists and reading the text.
class PositionIndex {
  // One cache line per 64 positions.
  struct alignas(64) Block {
    std::uint64_t starts = 0;
    std::uint64_t ends = 0;
    std::uint64_t boundaries = 0;
    std::uint64_t space_bytes = 0;  // bytes of white-space characters
    std::uint64_t alterations = 0;  // white-space characters that normalisation rewrites
    std::uint64_t boundary_after_block = kMaxU64;  // first boundary in a later block
    std::uint64_t space_bytes_before = 0;
    std::uint64_t alterations_before = 0;
  };

 public:
  PositionIndex(std::string_view text, std::span<const std::uint64_t> sentence_boundaries)
      : blocks_(large_array<Block>(text.size() / 64 + 1)) {
    mark_words_and_white_space(text);
    // A boundary at or past the end of the text never shortens a phrase.
    for (const std::uint64_t b : sentence_boundaries) {
      if (b < text.size()) set(&Block::boundaries, b);
    }
    std::uint64_t next = kMaxU64;
    for (std::size_t i = blocks_.size(); i-- > 0;) {
      blocks_[i].boundary_after_block = next;
      if (blocks_[i].boundaries != 0) next = 64 * i + std::countr_zero(blocks_[i].boundaries);
    }
    std::uint64_t space = 0;
    std::uint64_t alterations = 0;
    for (Block& block : blocks_) {
      block.space_bytes_before = space;
      block.alterations_before = alterations;
      space += std::popcount(block.space_bytes);
      alterations += std::popcount(block.alterations);
    }
  }

  // Bytes of white-space characters in [from, to), positions on character boundaries.
  [[nodiscard]] std::uint64_t space_bytes(std::uint64_t from, std::uint64_t to) const {
    return rank(&Block::space_bytes, &Block::space_bytes_before, to) -
           rank(&Block::space_bytes, &Block::space_bytes_before, from);
  }

  // Whether normalising the text [from, to) changes it, `from` being a word start: then some
  // white-space character in it is not a lone 0x20 after a character that is not white space.
  [[nodiscard]] bool alters(std::uint64_t from, std::uint64_t to) const {
    return rank(&Block::alterations, &Block::alterations_before, to) !=
           rank(&Block::alterations, &Block::alterations_before, from);
  }

  [[nodiscard]] bool starts_word(std::uint64_t p) const {
    return (blocks_[p >> 6].starts >> (p & 63)) & 1U;
  }

  // Whether a word ends (exclusively) at e.
  [[nodiscard]] bool ends_word_at(std::uint64_t e) const {
    return e >= 1 && e - 1 < 64 * blocks_.size() &&
           ((blocks_[(e - 1) >> 6].ends >> ((e - 1) & 63)) & 1U);
  }

  void prefetch(std::uint64_t p) const { prefetch_read(&blocks_[p >> 6]); }

  // The blocks after p's: a word window spans a few hundred bytes at most in prose.
  void prefetch_following(std::uint64_t p) const {
    for (std::size_t block = (p >> 6) + 1; block <= (p >> 6) + 3; ++block) {
      if (block < blocks_.size()) prefetch_read(&blocks_[block]);
    }
  }

  // The first sentence boundary after p, or kMaxU64 when there is none.
  [[nodiscard]] std::uint64_t boundary_after(std::uint64_t p) const {
    const Block& block = blocks_[p >> 6];
    const std::uint64_t later = block.boundaries & ~(below(p) | bit(p));
    return later != 0 ? (p & ~std::uint64_t{63}) + std::countr_zero(later)
                      : block.boundary_after_block;
  }

  // Walks the word ends after p in order, skipping the first `skip` of them.
  class EndCursor {
   public:
    EndCursor(const PositionIndex& index, std::uint64_t p, std::uint64_t skip)
        : blocks_(index.blocks_), block_(p >> 6), bits_(blocks_[block_].ends & ~below(p)) {
      while (skip > 0 && load_bits()) {
        const auto in_block = static_cast<std::uint64_t>(std::popcount(bits_));
        if (in_block > skip) {
          for (; skip > 0; --skip) bits_ &= bits_ - 1;
        } else {
          skip -= in_block;
          bits_ = 0;
        }
      }
    }

    // The next word end, or nullopt past the last one.
    std::optional<std::uint64_t> next() {
      if (!load_bits()) return std::nullopt;
      const std::uint64_t end = 64 * block_ + std::countr_zero(bits_) + 1;
      bits_ &= bits_ - 1;
      return end;
    }

   private:
    bool load_bits() {
      while (bits_ == 0) {
        if (++block_ >= blocks_.size()) return false;
        bits_ = blocks_[block_].ends;
      }
      return true;
    }

    const std::vector<Block>& blocks_;
    std::size_t block_;
    std::uint64_t bits_;
  };

 private:
  static std::uint64_t bit(std::uint64_t p) { return std::uint64_t{1} << (p & 63); }
  static std::uint64_t below(std::uint64_t p) { return bit(p) - 1; }
  void set(std::uint64_t Block::*field, std::uint64_t p) { blocks_[p >> 6].*field |= bit(p); }

  // Marked bits before position x.
  [[nodiscard]] std::uint64_t rank(std::uint64_t Block::*bits, std::uint64_t Block::*before,
                                   std::uint64_t x) const {
    const Block& block = blocks_[x >> 6];
    return block.*before + std::popcount(block.*bits & below(x));
  }

  // A whole block of ASCII bytes, as most of prose is, is marked 64 bytes at once: each of its
  // white-space characters is one byte. Same marks as the byte walk below; false for any other
  // block.
  bool mark_ascii_block(std::string_view text, std::size_t b, bool& previous_is_word,
                        bool& after_space) {
    // Eight bytes per word in memory order, so byte i of the block is bit i of the masks.
    if constexpr (std::endian::native != std::endian::little) return false;
    if (64 * b + 64 > text.size()) return false;
    std::array<std::uint64_t, 8> eights;
    std::memcpy(eights.data(), text.data() + 64 * b, 64);
    std::uint64_t high = 0;
    for (const std::uint64_t eight : eights) high |= eight;
    if (!swar::all_ascii(high)) return false;
    std::uint64_t word = 0, space = 0, plain = 0;
    for (unsigned k = 0; k < 8; ++k) {
      const AsciiClasses classes = ascii_classes(eights[k]);
      word |= classes.word << (8 * k);
      space |= classes.space << (8 * k);
      plain |= classes.plain << (8 * k);
    }
    const std::uint64_t word_before = previous_is_word ? 1 : 0;
    if (previous_is_word && (word & 1) == 0) blocks_[b - 1].ends |= bit(63);
    blocks_[b].starts = word & ~((word << 1) | word_before);
    blocks_[b].ends = word & ~(word >> 1) & ~bit(63);  // bit 63: decided by the next byte
    blocks_[b].space_bytes = space;
    // A white-space byte is altered unless it is a lone ' ' after a byte that is not one.
    blocks_[b].alterations = space & ((space << 1) | (after_space ? 1 : 0) | ~plain);
    previous_is_word = (word >> 63) != 0;
    after_space = (space >> 63) != 0;
    return true;
  }

  // One pass over the text, each block's bits gathered in registers. Words are the tokenizer's:
  // maximal runs of word bytes; an end (exclusive) is marked on the word's last byte.
  void mark_words_and_white_space(std::string_view text) {
    bool previous_is_word = false;
    bool after_space = true;
    std::size_t space_left = 0;  // continuation bytes of the current white-space character
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      if (space_left == 0 && mark_ascii_block(text, b, previous_is_word, after_space)) continue;
      std::uint64_t starts = 0, ends = 0, space = 0, alterations = 0;
      const std::size_t end = std::min(text.size(), 64 * b + 64);
      for (std::size_t i = 64 * b; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool is_word = tokenizer::is_word_byte(byte);
        if (is_word && !previous_is_word) starts |= bit(i);
        if (!is_word && previous_is_word) {
          if (i > 64 * b) {
            ends |= bit(i - 1);
          } else {
            blocks_[b - 1].ends |= bit(63);  // the word ended on the previous block's last byte
          }
        }
        previous_is_word = is_word;
        if (space_left > 0) {
          space |= bit(i);
          --space_left;
          continue;
        }
        const std::size_t length =
            types::may_begin_white_space(byte) ? types::white_space_length_at(text, i) : 0;
        if (length == 0) {
          after_space = false;
          continue;
        }
        space |= bit(i);
        if (after_space || length != 1 || byte != ' ') alterations |= bit(i);
        space_left = length - 1;
        after_space = true;
      }
      blocks_[b].starts = starts;
      blocks_[b].ends = ends;
      blocks_[b].space_bytes = space;
      blocks_[b].alterations = alterations;
    }
    if (previous_is_word) set(&Block::ends, text.size() - 1);
  }

  std::vector<Block> blocks_;
};

// The normalised form of the text read from one start position. Normalisation is a streaming
// transformation, so the phrase of every word window at that start is a prefix of one output
// (less a trailing space): each position's text is normalised once, however many windows it
// has. As long as the output equals the text read (single spaces between other characters, the
// common case) it is not copied at all; the copy starts at the first white space that changes.
class NormalizedStream {
 public:
  void reset(std::string_view text, std::uint64_t start) {
    text_ = text;
    start_ = start;
    raw_length_ = 0;
    after_space_ = true;
    altered_ = false;
    buffer_.clear();
  }

  // Reads on to raw length `raw_length`, which must end on a character boundary.
  void extend_to(std::uint64_t raw_length) {
    const std::size_t stop = start_ + raw_length;
    std::size_t at = start_ + raw_length_;
    while (at < stop) {
      const std::size_t space = types::white_space_length_at(text_, at);
      if (space != 0) {
        read_white_space(at, space);
        at += space;
        continue;
      }
      // The run of bytes that cannot begin white space is taken in one go.
      std::size_t run_end = at + 1;
      while (run_end < stop &&
             !types::may_begin_white_space(static_cast<unsigned char>(text_[run_end]))) {
        ++run_end;
      }
      if (altered_) buffer_.append(text_.data() + at, run_end - at);
      after_space_ = false;
      at = run_end;
    }
    raw_length_ = at - start_;
  }

  [[nodiscard]] std::string_view phrase() const {
    std::string_view out = altered_ ? std::string_view(buffer_) : text_.substr(start_, raw_length_);
    if (!out.empty() && out.back() == ' ') out.remove_suffix(1);
    return out;
  }

 private:
  void read_white_space(std::size_t at, std::size_t length) {
    const bool kept_as_is = !after_space_ && length == 1 && text_[at] == ' ';
    if (!kept_as_is && !altered_) {
      // The output so far is the text so far; from here on it is built separately.
      buffer_.assign(text_.data() + start_, at - start_);
      altered_ = true;
    }
    if (altered_ && !after_space_) buffer_.push_back(' ');
    after_space_ = true;
  }

  std::string_view text_;
  std::uint64_t start_ = 0;
  std::uint64_t raw_length_ = 0;
  bool after_space_ = true;
  bool altered_ = false;  // the output differs from the text read; it is in buffer_
  std::string buffer_;
};

// The phrases that might be removed by another phrase: every phrase shorter than an anchor (its
// first kAnchor bytes), every phrase whose head and tail anchors occur at the right distance in
// some other phrase with at least its count, and every phrase of a group sharing a head with too
// many others to check each, once that head occurs with room. The others are never removed, so
// the automaton is built without them and runs only over the phrases in which something was
// found: on prose the phrases left by the exact pre-filters overlap a lot, but hardly any lies
// inside another that occurs as often.
class ContainmentPrefilter {
 public:
  static constexpr std::size_t kAnchor = 8;

  [[nodiscard]] static std::uint64_t anchor_at(std::string_view s, std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, s.data() + at, kAnchor);
    return v;
  }

  // Only the pairs of a target and a container are looked at.
  ContainmentPrefilter(std::span<const std::string_view> phrases,
                       std::span<const std::uint64_t> counts, std::span<const char> is_target,
                       std::span<const char> is_container)
      : phrases_(phrases), counts_(counts), is_target_(is_target), is_container_(is_container) {
    for (std::size_t j = 0; j < phrases.size(); ++j) {
      const std::string_view p = phrases[j];
      if (is_target[j] && p.size() >= kAnchor) {
        anchors_.push_back({anchor_at(p, 0), anchor_at(p, p.size() - kAnchor), p.size(), j});
      }
    }
    std::sort(anchors_.begin(), anchors_.end(), [](const Anchor& a, const Anchor& b) {
      return a.head != b.head ? a.head < b.head : a.length < b.length;
    });
    // About 16 bits per anchor, so that few bytes scanned need a bisection.
    while ((std::size_t{1} << filter_bits_) < 16 * anchors_.size()) ++filter_bits_;
    filter_.assign((std::size_t{1} << filter_bits_) / 64, 0);
    group_end_.resize(anchors_.size());
    for (std::size_t k = 0; k < anchors_.size();) {
      std::size_t end = k;
      while (end < anchors_.size() && anchors_[end].head == anchors_[k].head) ++end;
      std::fill(group_end_.begin() + static_cast<std::ptrdiff_t>(k),
                group_end_.begin() + static_cast<std::ptrdiff_t>(end), end);
      mark_filter(anchors_[k].head);
      k = end;
    }
  }

  struct Candidates {
    std::vector<std::size_t> targets;  // phrases that may be contained, ascending
    std::vector<char> may_contain;     // by phrase: whether it may contain a target
  };

  [[nodiscard]] Candidates find() const {
    Candidates found{{}, std::vector<char>(phrases_.size(), 0)};
    std::vector<char> anchor_hit(anchors_.size(), 0);
    for (std::size_t i = 0; i < phrases_.size(); ++i) {
      if (is_container_[i]) found.may_contain[i] = mark_anchors_in(i, anchor_hit);
    }
    // A hit on a large group is marked on its first anchor and stands for all of them.
    for (std::size_t k = 0; k < anchors_.size(); k = group_end_[k]) {
      if (anchor_hit[k] && is_large_group(k)) {
        std::fill(anchor_hit.begin() + static_cast<std::ptrdiff_t>(k),
                  anchor_hit.begin() + static_cast<std::ptrdiff_t>(group_end_[k]), 1);
      }
    }
    // Targets without an anchor stay targets.
    std::vector<char> target(is_target_.begin(), is_target_.end());
    for (std::size_t k = 0; k < anchors_.size(); ++k) target[anchors_[k].phrase] = anchor_hit[k];
    bool unanchored_target = false;  // one that may lie in any phrase
    for (std::size_t j = 0; j < phrases_.size(); ++j) {
      if (!target[j]) continue;
      found.targets.push_back(j);
      unanchored_target = unanchored_target || phrases_[j].size() < kAnchor;
    }
    if (unanchored_target) found.may_contain.assign(is_container_.begin(), is_container_.end());
    return found;
  }

 private:
  struct Anchor {
    std::uint64_t head;  // first and last kAnchor bytes of the phrase
    std::uint64_t tail;
    std::size_t length;  // of the phrase
    std::size_t phrase;
  };
  // Phrases of a larger group are not checked one by one, which bounds the work per byte.
  static constexpr std::size_t kMaxGroup = 32;

  [[nodiscard]] bool is_large_group(std::size_t first) const {
    return group_end_[first] - first > kMaxGroup;
  }

  [[nodiscard]] std::size_t filter_slot(std::uint64_t bytes) const {
    return static_cast<std::size_t>((bytes * 0x9E3779B97F4A7C15ULL) >> (64 - filter_bits_));
  }
  void mark_filter(std::uint64_t bytes) {
    const std::size_t slot = filter_slot(bytes);
    filter_[slot >> 6] |= std::uint64_t{1} << (slot & 63);
  }
  [[nodiscard]] bool filter_has(std::uint64_t bytes) const {
    const std::size_t slot = filter_slot(bytes);
    return (filter_[slot >> 6] >> (slot & 63)) & 1U;
  }

  // Marks the anchors whose head and tail occur in phrase i as at least a whole phrase would, if
  // phrase i occurs at least as often; true if any does. A collision in the bit filter only
  // costs a bisection, so crafted text cannot do worse.
  bool mark_anchors_in(std::size_t i, std::vector<char>& anchor_hit) const {
    bool any = false;
    const std::string_view text = phrases_[i];
    for (std::size_t at = 0; at + kAnchor <= text.size(); ++at) {
      const std::uint64_t bytes = anchor_at(text, at);
      if (!filter_has(bytes)) continue;
      auto k = static_cast<std::size_t>(
          std::lower_bound(anchors_.begin(), anchors_.end(), bytes,
                           [](const Anchor& a, std::uint64_t b) { return a.head < b; }) -
          anchors_.begin());
      if (k < anchors_.size() && anchors_[k].head == bytes && is_large_group(k)) {
        // Its shortest phrase other than this one, if that fits.
        const std::size_t shortest = at == 0 && anchors_[k].phrase == i ? k + 1 : k;
        if (anchors_[shortest].length <= text.size() - at) {
          anchor_hit[k] = 1;
          any = true;
        }
        continue;
      }
      for (; k < anchors_.size() && anchors_[k].head == bytes; ++k) {
        const Anchor& a = anchors_[k];
        if (a.length > text.size() - at) break;  // shortest first: none fits
        if ((at == 0 && a.phrase == i) || counts_[a.phrase] > counts_[i]) continue;
        if (anchor_at(text, at + a.length - kAnchor) == a.tail) {
          anchor_hit[k] = 1;
          any = true;
        }
      }
    }
    return any;
  }

  std::span<const std::string_view> phrases_;
  std::span<const std::uint64_t> counts_;
  std::span<const char> is_target_;
  std::span<const char> is_container_;
  std::vector<Anchor> anchors_;         // by head, then phrase length
  std::vector<std::size_t> group_end_;  // by anchor: one past the last anchor with its head
  unsigned filter_bits_ = 6;
  std::vector<std::uint64_t> filter_;  // one bit per slot of an anchor's hash
};

// Substring elimination on phrase texts and counts, for the pairs of a target and a container:
// flags every target that occurs inside another, unflagged container with at least its count.
void flag_contained_among(std::span<const std::string_view> phrases,
                          std::span<const std::uint64_t> counts, std::span<const char> is_target,
                          std::span<const char> is_container, std::vector<char>& contained) {
  const auto [targets, may_contain] =
      ContainmentPrefilter(phrases, counts, is_target, is_container).find();
  if (targets.empty()) return;
  std::vector<std::string_view> patterns(targets.size());
  for (std::size_t k = 0; k < targets.size(); ++k) patterns[k] = phrases[targets[k]];
  const aho_corasick::Automaton automaton(patterns);
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (contained[i] || !may_contain[i]) continue;  // a removed phrase never removes another
    automaton.for_each_match(phrases[i], [&](aho_corasick::PatternId k, std::uint64_t) {
      const std::size_t j = targets[k];
      if (contained[j] || counts[j] > counts[i] || j == i) return;
      if (phrases[j].size() == phrases[i].size() && phrases[j] == phrases[i]) return;
      contained[j] = 1;
    });
  }
}

// The targets that may lie in one of the containers, narrowed from the containers' side when
// their text is small: a target of anchor length or more must begin with one of their
// anchor-length substrings. Otherwise every target.
std::vector<char> targets_meeting(std::span<const std::string_view> phrases,
                                  std::span<const char> is_target,
                                  std::span<const char> is_container) {
  constexpr std::size_t kAnchor = ContainmentPrefilter::kAnchor;
  constexpr std::size_t kMostContainerBytes = std::size_t{1} << 20;
  std::vector<std::uint64_t> anchors;
  std::size_t longest = 0;
  for (std::size_t j = 0; j < phrases.size(); ++j) {
    if (!is_container[j]) continue;
    const std::string_view p = phrases[j];
    longest = std::max(longest, p.size());
    for (std::size_t at = 0; at + kAnchor <= p.size(); ++at) {
      anchors.push_back(ContainmentPrefilter::anchor_at(p, at));
    }
    if (anchors.size() > kMostContainerBytes) return {is_target.begin(), is_target.end()};
  }
  std::sort(anchors.begin(), anchors.end());
  std::vector<char> targets(phrases.size(), 0);
  for (std::size_t j = 0; j < phrases.size(); ++j) {
    const std::string_view p = phrases[j];
    if (!is_target[j] || p.size() > longest) continue;
    targets[j] = p.size() < kAnchor || std::binary_search(anchors.begin(), anchors.end(),
                                                          ContainmentPrefilter::anchor_at(p, 0));
  }
  return targets;
}

// Substring elimination on phrase texts and counts, ordered by byte length descending: flags
// every phrase that occurs inside an earlier, unflagged phrase with at least its count.
std::vector<char> flag_contained_phrases(std::span<const std::string_view> phrases,
                                         std::span<const std::uint64_t> counts) {
  std::vector<char> contained(phrases.size(), 0);
  const std::vector<char> all(phrases.size(), 1);
  flag_contained_among(phrases, counts, all, all, contained);
  return contained;
}

// For a sweep over the text: the largest count among the containers added so far, by end
// position. Ends are kept on a ring of slots, a power of two longer than the longest container,
// so that every container that can still cover a query has its own slot; a segment tree over
// the ring answers range maxima.
class EndRing {
 public:
  explicit EndRing(std::uint64_t longest)
      : size_(std::bit_ceil(longest + 1)), tree_(2 * size_, 0), end_at_(size_, kNoEnd) {}

  [[nodiscard]] std::uint64_t size() const { return size_; }
  [[nodiscard]] std::uint64_t max() const { return tree_[1]; }

  // Forgets the containers that end before x: no query at x or later can use them. Every end
  // before the last x was forgotten then, so only the slots of ends since then can hold one.
  void expire_before(std::uint64_t x) {
    for (std::uint64_t e = std::max(swept_, x > size_ ? x - size_ : 0); e < x; ++e) {
      const std::uint64_t slot = e & (size_ - 1);
      if (end_at_[slot] != kNoEnd && end_at_[slot] < x) set(slot, 0, kNoEnd);
    }
    swept_ = std::max(swept_, x);
  }

  void add(std::uint64_t end, std::uint64_t count) {
    const std::uint64_t slot = end & (size_ - 1);
    const std::uint64_t held = end_at_[slot] == end ? tree_[size_ + slot] : 0;
    if (count > held || end_at_[slot] != end) set(slot, std::max(count, held), end);
  }

  // The largest count among containers ending in [from, to], to - from < size().
  [[nodiscard]] std::uint64_t max_between(std::uint64_t from, std::uint64_t to) const {
    if (from > to) return 0;
    const std::uint64_t a = from & (size_ - 1);
    const std::uint64_t b = to & (size_ - 1);
    return a <= b ? max_of_slots(a, b) : std::max(max_of_slots(a, size_ - 1), max_of_slots(0, b));
  }

 private:
  static constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

  void set(std::uint64_t slot, std::uint64_t count, std::uint64_t end) {
    end_at_[slot] = end;
    std::uint64_t node = size_ + slot;
    tree_[node] = count;
    for (node /= 2; node >= 1; node /= 2)
      tree_[node] = std::max(tree_[2 * node], tree_[2 * node + 1]);
  }

  [[nodiscard]] std::uint64_t max_of_slots(std::uint64_t a, std::uint64_t b) const {
    std::uint64_t best = 0;
    for (std::uint64_t lo = a + size_, hi = b + size_ + 1; lo < hi; lo /= 2, hi /= 2) {
      if (lo & 1) best = std::max(best, tree_[lo++]);
      if (hi & 1) best = std::max(best, tree_[--hi]);
    }
    return best;
  }

  std::uint64_t size_;
  std::vector<std::uint64_t> tree_;
  std::vector<std::uint64_t> end_at_;
  std::uint64_t swept_ = 0;
};

// Substring elimination between phrases that are their own raw bytes, answered on the text: one
// such phrase lies inside another exactly when one of its occurrences in the text lies inside
// an occurrence of the other, and is strictly shorter. The occurrences of a target are every
// start of its bytes (the suffix-array interval of its bytes, word starts or not). A container
// has the same bytes at each of its starts, so one of them stands for all. One sweep over the
// text answers them all.
template <class Offset>
struct Occurrence {
  Offset start;
  Offset end;
  Offset count;
  std::uint32_t phrase;  // the target's index (queries only)
};

template <class Offset>
void flag_contained_in_text(std::vector<Occurrence<Offset>> queries,
                            std::vector<Occurrence<Offset>> containers, std::uint64_t longest,
                            std::vector<char>& contained) {
  const auto start_of = [](const Occurrence<Offset>& o) { return o.start; };
  radix_sort_by_position(queries, start_of);
  radix_sort_by_position(containers, start_of);
  EndRing ring(longest);
  std::size_t c = 0;
  for (std::size_t q = 0; q < queries.size();) {
    const std::uint64_t x = queries[q].start;
    ring.expire_before(x);
    for (; c < containers.size() && containers[c].start < x; ++c) {
      if (containers[c].end >= x) ring.add(containers[c].end, containers[c].count);
    }
    std::size_t q_end = q;
    while (q_end < queries.size() && queries[q_end].start == x) ++q_end;
    const std::uint64_t last_end = x + ring.size() - 1;
    // Containers starting before x cover a query when they reach its end; those starting at x
    // only when they reach beyond it.
    for (std::size_t k = q; k < q_end; ++k) {
      const auto& query = queries[k];
      if (!contained[query.phrase] && ring.max() >= query.count &&
          ring.max_between(query.end, last_end) >= query.count) {
        contained[query.phrase] = 1;
      }
    }
    const std::size_t added_at_x = c;
    for (; c < containers.size() && containers[c].start == x; ++c) {
      ring.add(containers[c].end, containers[c].count);
    }
    for (std::size_t k = q; k < q_end && c > added_at_x; ++k) {
      const auto& query = queries[k];
      if (!contained[query.phrase] && ring.max() >= query.count &&
          ring.max_between(query.end + 1, last_end) >= query.count) {
        contained[query.phrase] = 1;
      }
    }
    q = q_end;
  }
}

// A Bloom filter over phrases: false positives possible, false negatives not. Its hash need not
// resist crafted input: a collision only costs one exact lookup.
class PhraseFilter {
 public:
  void add(std::string_view phrase) {
    keys_.push_back(quick_hash(phrase));
    lengths_.push_back(phrase.size());
  }

  // Sizes the bit array for the phrases added so far, about 16 bits per phrase, and notes their
  // lengths: a length test needs no access to the phrase's bytes.
  void seal() {
    if (keys_.empty()) return;
    std::size_t bits = 64;
    while (bits < 16 * keys_.size()) bits *= 2;
    words_.assign(bits / 64, 0);
    mask_ = bits - 1;
    for (const std::uint64_t h : keys_) {
      set(h);
      set(h >> 32);
    }
    const std::size_t longest = *std::max_element(lengths_.begin(), lengths_.end());
    length_bits_.assign(longest / 64 + 1, 0);
    for (const std::size_t length : lengths_) length_bits_[length / 64] |= bit(length);
    std::vector<std::uint64_t>().swap(keys_);
    std::vector<std::size_t>().swap(lengths_);
  }

  [[nodiscard]] bool empty() const { return words_.empty(); }

  [[nodiscard]] bool may_have_length(std::size_t length) const {
    return length / 64 < length_bits_.size() && (length_bits_[length / 64] & bit(length)) != 0;
  }

  [[nodiscard]] bool may_contain(std::string_view phrase) const {
    if (words_.empty() || !may_have_length(phrase.size())) return false;
    const std::uint64_t h = quick_hash(phrase);
    return test(h) && test(h >> 32);
  }

 private:
  static std::uint64_t bit(std::size_t k) { return std::uint64_t{1} << (k & 63); }

  static std::uint64_t load_up_to_8(std::string_view s) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < s.size() && i < 8; ++i) {
      v = (v << 8) | static_cast<unsigned char>(s[i]);
    }
    return v;
  }

  static std::uint64_t quick_hash(std::string_view s) {
    const std::uint64_t head = load_up_to_8(s);
    const std::uint64_t tail = load_up_to_8(s.substr(s.size() > 8 ? s.size() - 8 : 0));
    std::uint64_t h = head * 0x9E3779B97F4A7C15ULL ^ (tail + s.size()) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 32);
  }

  void set(std::uint64_t h) { words_[(h & mask_) >> 6] |= std::uint64_t{1} << (h & 63); }
  [[nodiscard]] bool test(std::uint64_t h) const {
    return (words_[(h & mask_) >> 6] >> (h & 63)) & 1U;
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::size_t> lengths_;
  std::vector<std::uint64_t> words_;
  std::vector<std::uint64_t> length_bits_;
  std::uint64_t mask_ = 0;
};

// Append-only storage in fixed chunks: growing never copies what is stored, which matters when
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

  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Chunk& chunk : chunks_) {
      for (std::size_t i = 0; i < chunk.used; ++i) visit(chunk.data[i]);
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

// The offsets of one phrase arrive in suffix-array order, often already ascending or exactly
// descending (copies of a repeated passage sort by how much text follows them).
template <class It>
void sort_offsets(It begin, It end) {
  if (std::is_sorted(begin, end)) return;
  if (std::is_sorted(begin, end, std::greater<>())) {
    std::reverse(begin, end);
  } else {
    std::sort(begin, end);
  }
}

// Candidate phrases are normalised: their words are separated by single spaces, with none at
// either end, so counting words is counting spaces.
std::uint64_t word_count(std::string_view phrase) {
  return phrase.empty()
             ? 0
             : 1 + static_cast<std::uint64_t>(std::count(phrase.begin(), phrase.end(), ' '));
}

// Whether a normalised phrase has at least `needed` words; looks only as far as that word.
bool has_words(std::string_view phrase, std::uint64_t needed) {
  if (needed == 0) return true;
  if (phrase.empty()) return false;
  std::size_t at = 0;
  for (std::uint64_t words = 1; words < needed; ++words) {
    at = phrase.find(' ', at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return true;
}

// Scans the runs and fills the candidate table. Within a run, the phrase of raw length d at one
// rank is the same at the next rank whenever d <= the LCP between them, so verdicts are cached by
// raw length and truncated at every rank step: each distinct phrase of a run is classified once
// and becomes one slot of the run, however many ranks reach it.
//
// A slot's starts are complete when its run ends (equal raw bytes of threshold length share a
// run), so the run decides there which raw phrases to store. The window one word longer at a
// start of a phrase is hit only from starts that also hit the phrase; with the same number of
// starts it contains the phrase at least as often, which removes the phrase in substring
// elimination unless a rewritten phrase equal to it adds starts. With `drop_contained` such
// phrases are not stored, only set aside with the phrases seen at one start, in case a
// rewritten phrase turns out equal to one of them: on a duplicated passage that stores a few
// windows per start instead of every one.
// Offsets are stored as `Offset`: 32 bits whenever the text allows, since on repetitive text the
// hits are the largest working array.
template <class Offset>
class CandidateCollector {
 public:
  CandidateCollector(const BasicAnalysisIndex<Offset>& index, const PositionIndex& positions,
                     const FinderParams& params, const HashKey& key, bool drop_contained)
      : index_(index),
        params_(params),
        threshold_(types::phrase_threshold(params)),
        drop_contained_(drop_contained),
        skipped_words_(std::max<std::uint64_t>(params.min_words, 1) - 1),
        windows_per_start_(params.max_words > skipped_words_ ? params.max_words - skipped_words_
                                                             : 0),
        positions_(positions),
        phrases_(key) {}

  [[nodiscard]] std::uint64_t threshold() const { return threshold_; }

  // Collects the runs within ranks [first, last); no run may cross either end.
  void collect_runs(std::size_t first, std::size_t last) {
    ahead_ = first - 1;  // the cursor steps before it looks
    for (std::size_t k = 0; k < kPrefetchDistance; ++k) advance_ahead();
    suffix_array::for_each_lcp_run(index_.lcp, threshold_, first, last,
                                   [&](const LcpRun& run) { collect_run(run); });
  }

  // Takes over what `later` collected from runs that all come after this one's, as if this
  // collector had gone on to collect them: the same phrase ids, lists and logs.
  void absorb(CandidateCollector&& later);

  void collect_run(const LcpRun& run) {
    cache_.clear();
    slots_.clear();
    run_starts_.clear();
    run_windows_.clear();
    last_start_rank_ = kNoStart;
    run_end_ = run.end;
    const auto& lcp = index_.lcp;
    for (std::size_t rank = run.begin - 1; rank < run.end; ++rank) {
      prefetch_ahead();
      if (rank >= run.begin) forget_longer_than(lcp[rank]);
      const std::uint64_t shared_after = rank + 1 < lcp.size() ? lcp[rank + 1] : 0;
      cut_phrases_at(rank, run.max_lcp, std::max<std::uint64_t>(lcp[rank], shared_after));
    }
    close_run();
  }

  // Phrases seen at two or more offsets with enough words, by byte length descending, then
  // first start ascending (a total order). With `drop_contained`, substring elimination runs on
  // the phrases and counts alone, and only the survivors become records.
  [[nodiscard]] std::vector<PhraseData> take_records();

 private:
  static constexpr std::uint32_t kRejected = 0xFFFF'FFFF;  // verdict: too few non-space bytes
  static constexpr std::uint32_t kLonely = 0xFFFF'FFFE;    // verdict: shared with no neighbour
  static constexpr std::uint32_t kNone = 0xFFFF'FFFF;      // no slot, no id

  struct CachedVerdict {
    std::uint64_t raw_length = 0;
    std::uint32_t slot = kRejected;
  };

  // One phrase of the current run.
  struct Slot {
    std::uint64_t raw_length = 0;
    std::uint64_t first_rank = 0;
    std::uint32_t id = kNone;    // table id; a raw slot gets one when the run closes, if stored
    std::uint32_t count = 0;     // starts of the run that hit it
    std::uint32_t next = kNone;  // the slot one word longer at one of its starts
    bool raw = false;            // the phrase is its raw bytes, of threshold length or more
  };

  // A raw run phrase that was not stored: its starts are the ranks around `rank` that share its
  // bytes and cut a window of that length.
  struct SetAsidePhrase {
    Offset rank;
    Offset raw_length;
  };
  // The raw windows at `start` longer than `shared`, the most it shares with a neighbour: their
  // bytes occur nowhere else.
  struct SetAsideStart {
    Offset start;
    Offset shared;
    Offset limit;
  };
  // The raw windows at the start at `rank` of raw lengths [from, to): phrases set aside as above,
  // all at once (see cut_phrases_at).
  struct SetAsideWindows {
    Offset rank;
    Offset from, to;
  };

  // Positions come in suffix-array order, scattered over the text, and most runs are short and
  // far apart: a cursor walks the ranks that lie in runs a fixed number of them ahead of the
  // scan, and fetches the blocks of their positions.
  static constexpr std::size_t kPrefetchDistance = 16;
  void prefetch_ahead() { advance_ahead(); }

  void advance_ahead() {
    const auto& lcp = index_.lcp;
    while (++ahead_ + 1 < lcp.size()) {
      if (lcp[ahead_] >= threshold_ || lcp[ahead_ + 1] >= threshold_) {
        positions_.prefetch(index_.suffix_array[ahead_]);
        return;
      }
    }
    ahead_ = lcp.size();
  }

  void forget_longer_than(std::uint64_t shared) {
    while (!cache_.empty() && cache_.back().raw_length > shared) cache_.pop_back();
  }

  // The limit of the windows at p (sentence boundary, run maximum); nullopt when p cuts none.
  [[nodiscard]] std::optional<std::uint64_t> window_limit(std::uint64_t p,
                                                          std::uint64_t run_max) const;
  // Calls visit(end) for the end of every window cut at p up to `limit`, shortest first, until
  // visit returns false.
  template <class Visit>
  void for_each_window_end(std::uint64_t p, std::uint64_t limit, Visit&& visit) const {
    PositionIndex::EndCursor ends(positions_, p, skipped_words_);
    std::uint64_t windows = windows_per_start_;
    for (auto e = ends.next(); e && *e <= limit && windows > 0; e = ends.next(), --windows) {
      if (!visit(*e)) return;
    }
  }
  void cut_phrases_at(std::size_t rank, std::uint64_t run_max, std::uint64_t own_shared);
  [[nodiscard]] bool repeats_previous_start(std::size_t rank, std::uint64_t span) const;
  void repeat_previous_start(std::uint64_t p);
  void hit(std::uint32_t slot, std::size_t rank, std::uint32_t& previous);
  [[nodiscard]] std::uint32_t resolve(std::uint64_t raw_length);
  [[nodiscard]] std::uint32_t classify(std::uint64_t raw_length);
  [[nodiscard]] std::uint32_t new_slot(std::uint64_t raw_length, std::uint32_t id, bool raw);
  void remember_fresh_verdicts();
  void close_run();
  void record_position_hits(std::uint64_t p);
  template <class Visit>
  void for_each_hit(Visit&& visit) const;
  [[nodiscard]] std::optional<std::uint32_t> rewritten_id_of(std::uint64_t start,
                                                             std::uint64_t raw_length) const;
  [[nodiscard]] bool cuts_window(std::uint64_t q, std::uint64_t raw_length) const;
  void admit_set_aside_phrase(const SetAsidePhrase& phrase);
  void admit_set_aside_start(const SetAsideStart& start);
  void admit_set_aside_windows(const SetAsideWindows& windows);
  [[nodiscard]] std::uint64_t shared_with_other_ranks(std::size_t rank, std::uint64_t run_max,
                                                      std::uint64_t span) const;
  [[nodiscard]] bool cuts_raw_slot(std::uint64_t raw_length) const;
  [[nodiscard]] bool has_enough_chars(std::uint64_t raw_length) const;
  void admit_set_aside_windows();
  void drop_admitted_duplicates();
  void join_raw_phrases();
  void replace_ids(std::span<const std::uint32_t> replacement);

  struct Repeated {
    std::string_view phrase;
    std::uint64_t first_start;
    std::uint32_t id;
    Offset count;  // counts[id], kept here: later stages take phrases in length order
    [[nodiscard]] std::uint64_t length() const { return phrase.size(); }
  };
  [[nodiscard]] std::vector<Repeated> select_repeated(std::span<const Offset> counts,
                                                      std::span<const Offset> first_start,
                                                      std::span<const char> extended) const;
  [[nodiscard]] static bool extends(std::uint32_t outer, std::uint32_t inner,
                                    std::span<const Offset> counts);
  void mark_right_extensions(std::span<const Offset> counts, std::vector<char>& extended) const;
  void mark_left_extensions(std::span<const Offset> counts, std::vector<char>& extended) const;
  [[nodiscard]] std::vector<PhraseData> build_records(std::span<const Repeated> repeated) const;
  // The ranks [first, last) of the suffixes that share the first `length` bytes of the one at
  // `rank`.
  [[nodiscard]] std::pair<std::size_t, std::size_t> ranks_sharing(std::size_t rank,
                                                                  std::uint64_t length) const {
    const auto& lcp = index_.lcp;
    std::size_t low = rank;
    while (low > 0 && lcp[low] >= length) --low;
    std::size_t high = rank + 1;
    while (high < lcp.size() && lcp[high] >= length) ++high;
    return {low, high};
  }
  [[nodiscard]] std::uint64_t rank_of(std::uint32_t id) const {
    return id < rank_of_.size() ? rank_of_[id] : kNoRank;
  }
  // The ranks of the suffixes that begin with `phrase`.
  [[nodiscard]] std::pair<std::size_t, std::size_t> search_text(std::string_view phrase) const {
    const auto found = suffix_array::sa_search_range(
        {reinterpret_cast<const std::uint8_t*>(index_.text.data()), index_.text.size()},
        index_.suffix_array, {reinterpret_cast<const std::uint8_t*>(phrase.data()), phrase.size()});
    return {static_cast<std::size_t>(found.lo), static_cast<std::size_t>(found.hi)};
  }
  void flag_contained(std::span<const Repeated> repeated, std::vector<char>& contained) const;

  const BasicAnalysisIndex<Offset>& index_;
  const FinderParams& params_;
  std::uint64_t threshold_;
  bool drop_contained_;
  // The k-th word end after a start closes its window of k words: the first `skipped_words_`
  // windows have fewer than min_words words, and at most max_words are cut.
  std::uint64_t skipped_words_;
  std::uint64_t windows_per_start_;
  const PositionIndex& positions_;
  StringInterner phrases_;
  PhraseFilter rewritten_;                    // stored phrases that differ from their raw bytes
  std::vector<std::uint32_t> rewritten_ids_;  // their ids
  // The tables of collectors absorbed into this one: their keys are borrowed.
  std::vector<StringInterner> absorbed_tables_;
  // Hits are stored per position as a list of phrase ids; consecutive positions of a run mostly
  // repeat the same list (their verdicts come from the cache), and then share it.
  struct PositionHits {
    Offset position;
    Offset list;  // there are no more lists than positions
  };
  // A window of a list: its phrase (interner ids are 32-bit) and its raw length from the start.
  struct Window {
    std::uint32_t id;
    Offset raw_length;
    friend bool operator==(const Window&, const Window&) = default;
  };
  [[nodiscard]] std::vector<PositionHits> hits_by_position() const;
  void prefetch_list_of(std::span<const PositionHits> hits, std::size_t k,
                        std::span<const Offset> counts) const;
  ChunkedLog<PositionHits> position_hits_;
  std::vector<Window> list_windows_;
  std::vector<std::uint64_t> list_begin_{0};  // list k: list_windows_[list_begin_[k], [k + 1])
  std::vector<Window> current_;               // windows hit at the current position
  std::vector<std::pair<std::uint32_t, Offset>> admitted_;  // set-aside windows with a phrase
  // Tens of millions on a duplicated text, and needed only if rewritten phrases turn up.
  ChunkedLog<SetAsidePhrase> set_aside_phrases_;
  ChunkedLog<SetAsideStart> set_aside_starts_;
  ChunkedLog<SetAsideWindows> set_aside_windows_;
  std::vector<std::uint32_t> raw_ids_;  // unindexed phrases, taken unchanged from their bytes
  // By id: a rank of the phrase's bytes for the phrases that are their own raw bytes at every
  // start (unindexed ones not joined to a rewritten phrase), else kNoRank.
  static constexpr std::uint64_t kNoRank = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> rank_of_;
  // The current run: its slots, and per start (rank order) the slots of its windows.
  std::vector<Slot> slots_;
  std::vector<std::pair<std::uint64_t, std::size_t>> run_starts_;  // position, first window
  std::vector<std::uint32_t> run_windows_;
  std::vector<CachedVerdict> cache_;  // ascending raw_length, valid for the current rank
  std::vector<CachedVerdict> fresh_;  // verdicts first computed at the current position
  std::vector<CachedVerdict> merged_;
  std::size_t cache_cursor_ = 0;
  // The last rank of the run that cut windows, and how far they reached.
  static constexpr std::size_t kNoStart = std::numeric_limits<std::size_t>::max();
  std::size_t last_start_rank_ = kNoStart;
  std::size_t run_end_ = 0;  // one past the last rank of the current run
  std::uint64_t last_span_ = 0;
  std::size_t ahead_ = 0;  // the rank the prefetching cursor reached
  std::uint64_t position_ = 0;
  std::uint64_t own_shared_ = 0;
  bool raw_to_limit_ = false;  // no window at the current start needs normalising
  bool enough_chars_ = false;  // a window at the current start passed the min_chars test
  NormalizedStream stream_;
};

template <class Offset>
std::optional<std::uint64_t> CandidateCollector<Offset>::window_limit(std::uint64_t p,
                                                                      std::uint64_t run_max) const {
  const std::string_view text = index_.text;
  if (p >= text.size() || !positions_.starts_word(p)) return std::nullopt;
  const std::uint64_t cap = std::min<std::uint64_t>(text.size() - p, run_max);
  if (cap < threshold_) return std::nullopt;
  if (windows_per_start_ == 0) return std::nullopt;
  return std::min(positions_.boundary_after(p), p + cap);
}

template <class Offset>
void CandidateCollector<Offset>::cut_phrases_at(std::size_t rank, std::uint64_t run_max,
                                                std::uint64_t own_shared) {
  const std::uint64_t p = index_.suffix_array[rank];
  const auto limit = window_limit(p, run_max);
  if (!limit) return;
  const std::uint64_t span = *limit - p;
  const bool repeats = repeats_previous_start(rank, span);
  last_start_rank_ = rank;
  if (repeats) {
    repeat_previous_start(p);
    return;
  }
  last_span_ = span;
  positions_.prefetch_following(p);  // where its word ends will be read
  position_ = p;
  own_shared_ = own_shared;
  stream_.reset(index_.text, p);
  cache_cursor_ = 0;
  fresh_.clear();
  raw_to_limit_ = !positions_.alters(p, *limit);
  enough_chars_ = false;
  run_starts_.emplace_back(p, run_windows_.size());
  std::uint32_t previous = kNone;  // the slot of the window one word shorter
  bool lonely_seen = false;
  // A passage copied once puts its two starts at neighbouring ranks, the second repeating the
  // first. The raw windows longer than what either shares with any other rank are hit by these
  // two starts alone, so each but the longest has the next one with the same two starts and is
  // set aside: those are noted as one range, and only the longest gets a slot.
  const std::uint64_t only_pair_above = shared_with_other_ranks(rank, run_max, span);
  std::uint64_t first_raw = 0, last_raw = 0;  // raw lengths, when skipping
  for_each_window_end(p, *limit, [&](std::uint64_t e) {
    if (first_raw != 0 || (e - p > only_pair_above && cuts_raw_slot(e - p))) {
      if (first_raw == 0) first_raw = e - p;
      last_raw = e - p;
      return true;
    }
    const std::uint32_t slot = resolve(e - p);
    if (slot == kRejected) return true;
    if (slot == kLonely) {
      if (!lonely_seen) {
        set_aside_starts_.push_back(
            {static_cast<Offset>(p), static_cast<Offset>(own_shared), static_cast<Offset>(*limit)});
      }
      lonely_seen = true;
      previous = kNone;
      // Every longer window is lonely too, unless normalising rewrites it.
      return !raw_to_limit_;
    }
    hit(slot, rank, previous);
    return true;
  });
  if (last_raw > first_raw) {
    set_aside_windows_.push_back(
        {static_cast<Offset>(rank), static_cast<Offset>(first_raw), static_cast<Offset>(last_raw)});
  }
  if (last_raw != 0) hit(resolve(last_raw), rank, previous);
  remember_fresh_verdicts();
}

// When the start at rank + 1 of the run will repeat the one at `rank`, which cuts windows over
// `span` bytes (the test of repeats_previous_start, made before the rank is reached): the most the
// two share with any other rank. Otherwise no window is left to them alone: kMaxU64.
template <class Offset>
std::uint64_t CandidateCollector<Offset>::shared_with_other_ranks(std::size_t rank,
                                                                  std::uint64_t run_max,
                                                                  std::uint64_t span) const {
  const auto& lcp = index_.lcp;
  if (!drop_contained_ || !raw_to_limit_ || rank + 1 >= run_end_ || lcp[rank + 1] <= span) {
    return kMaxU64;
  }
  const std::uint64_t q = index_.suffix_array[rank + 1];
  const auto limit = window_limit(q, run_max);
  if (!limit || *limit - q != span) return kMaxU64;
  return std::max<std::uint64_t>(lcp[rank], rank + 2 < run_end_ ? lcp[rank + 2] : 0);
}

// Whether classify would give the window of `raw_length` at the current start a raw slot, when
// no window there is rewritten and none is longer than what the start shares.
template <class Offset>
bool CandidateCollector<Offset>::cuts_raw_slot(std::uint64_t raw_length) const {
  if (raw_length < threshold_ || raw_length > own_shared_) return false;
  return enough_chars_ || has_enough_chars(raw_length);
}

// Whether the window of `raw_length` at the current start has more than min_chars non-space
// bytes: the raw bytes of its characters that are not white space.
template <class Offset>
bool CandidateCollector<Offset>::has_enough_chars(std::uint64_t raw_length) const {
  return raw_length > params_.min_chars &&
         raw_length - positions_.space_bytes(position_, position_ + raw_length) > params_.min_chars;
}

template <class Offset>
void CandidateCollector<Offset>::absorb(CandidateCollector&& later) {
  // Ids: walking the later table in id order gives each phrase new to this one the id it would
  // have got here, since ids follow first insertion.
  const std::size_t later_ids = later.phrases_.size();
  std::vector<char> unindexed(later_ids, 0), rewritten(later_ids, 0);
  for (const std::uint32_t id : later.raw_ids_) unindexed[id] = 1;
  for (const std::uint32_t id : later.rewritten_ids_) rewritten[id] = 1;
  std::vector<std::uint32_t> id_of(later_ids);
  for (std::size_t id = 0; id < later_ids; ++id) {
    const std::string_view key = later.phrases_.key(id);
    if (unindexed[id]) {
      id_of[id] = static_cast<std::uint32_t>(phrases_.add_unindexed(key));
      raw_ids_.push_back(id_of[id]);
      continue;
    }
    const auto [mine, inserted] = phrases_.intern_borrowed(key);
    id_of[id] = static_cast<std::uint32_t>(mine);
    if (inserted && rewritten[id]) {
      rewritten_.add(key);
      rewritten_ids_.push_back(id_of[id]);
    }
  }
  rank_of_.resize(phrases_.size(), kNoRank);
  for (std::size_t id = 0; id < later_ids; ++id) {
    if (later.rank_of(static_cast<std::uint32_t>(id)) != kNoRank) {
      rank_of_[id_of[id]] = later.rank_of_[id];
    }
  }

  // Lists and hits follow those here. (A first list equal to the last one here stays a copy of
  // it rather than shared: lists are read only through their windows.)
  const std::size_t lists_before = list_begin_.size() - 1;
  const std::uint64_t windows_before = list_windows_.size();
  for (const Window& w : later.list_windows_) list_windows_.push_back({id_of[w.id], w.raw_length});
  for (std::size_t k = 1; k < later.list_begin_.size(); ++k) {
    list_begin_.push_back(windows_before + later.list_begin_[k]);
  }
  later.position_hits_.for_each([&](const PositionHits& h) {
    position_hits_.push_back({h.position, static_cast<Offset>(h.list + lists_before)});
  });
  set_aside_phrases_.splice(std::move(later.set_aside_phrases_));
  set_aside_starts_.splice(std::move(later.set_aside_starts_));
  set_aside_windows_.splice(std::move(later.set_aside_windows_));
  absorbed_tables_.push_back(std::move(later.phrases_));
}

// The start at the rank before cut its windows up to the same distance, and the two share more
// bytes than that: the same word ends, the same verdicts from the cache, none of them lonely (each
// start shares more than the span with the other). So this start hits exactly the previous
// start's slots, whose links to their next window are already set.
template <class Offset>
bool CandidateCollector<Offset>::repeats_previous_start(std::size_t rank,
                                                        std::uint64_t span) const {
  return last_start_rank_ != kNoStart && last_start_rank_ + 1 == rank && span == last_span_ &&
         index_.lcp[rank] > span;
}

template <class Offset>
void CandidateCollector<Offset>::repeat_previous_start(std::uint64_t p) {
  const std::size_t begin = run_starts_.back().second;
  const std::size_t end = run_windows_.size();
  run_starts_.emplace_back(p, end);
  for (std::size_t w = begin; w < end; ++w) {
    const std::uint32_t slot = run_windows_[w];
    ++slots_[slot].count;
    run_windows_.push_back(slot);
  }
}

template <class Offset>
void CandidateCollector<Offset>::hit(std::uint32_t slot, std::size_t rank,
                                     std::uint32_t& previous) {
  Slot& s = slots_[slot];
  if (s.count++ == 0) s.first_rank = rank;
  if (previous != kNone && slots_[previous].next == kNone) slots_[previous].next = slot;
  previous = slot;
  run_windows_.push_back(slot);
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::resolve(std::uint64_t raw_length) {
  while (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length < raw_length) {
    ++cache_cursor_;
  }
  if (cache_cursor_ < cache_.size() && cache_[cache_cursor_].raw_length == raw_length) {
    return cache_[cache_cursor_].slot;
  }
  const std::uint32_t slot = classify(raw_length);
  // A lonely window is longer than the LCP to the next rank, so its verdict would be dropped
  // before any reuse.
  if (slot != kLonely) fresh_.push_back({raw_length, slot});
  return slot;
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::new_slot(std::uint64_t raw_length, std::uint32_t id,
                                                   bool raw) {
  slots_.push_back({raw_length, 0, id, 0, kNone, raw});
  return static_cast<std::uint32_t>(slots_.size() - 1);
}

template <class Offset>
std::uint32_t CandidateCollector<Offset>::classify(std::uint64_t raw_length) {
  const std::uint64_t end = position_ + raw_length;
  // Longer windows at a start have at least as many non-space bytes.
  if (!enough_chars_) {
    if (!has_enough_chars(raw_length)) return kRejected;
    enough_chars_ = true;
  }
  if (raw_to_limit_ || !positions_.alters(position_, end)) {  // the phrase is its raw text
    if (raw_length > own_shared_) return kLonely;
    if (raw_length >= threshold_) return new_slot(raw_length, kNone, true);
    // The analysis text outlives the table, so the key need not be copied.
    const std::string_view raw = index_.text.substr(position_, raw_length);
    return new_slot(raw_length, static_cast<std::uint32_t>(phrases_.intern_borrowed(raw).id),
                    false);
  }
  stream_.extend_to(raw_length);
  const std::string_view phrase = stream_.phrase();
  const auto [id, inserted] = phrases_.intern(phrase);
  if (inserted) {
    rewritten_.add(phrase);
    rewritten_ids_.push_back(static_cast<std::uint32_t>(id));
  }
  return new_slot(raw_length, static_cast<std::uint32_t>(id), false);
}

template <class Offset>
void CandidateCollector<Offset>::remember_fresh_verdicts() {
  if (fresh_.empty()) return;
  merged_.clear();
  const auto shorter = [](const CachedVerdict& a, const CachedVerdict& b) {
    return a.raw_length < b.raw_length;
  };
  std::merge(cache_.begin(), cache_.end(), fresh_.begin(), fresh_.end(),
             std::back_inserter(merged_), shorter);
  cache_.swap(merged_);
}

// Every raw slot with a single start, or with a longer window at its start hit as often, is set
// aside; the others get their table ids. Then each start's windows are recorded by id.
template <class Offset>
void CandidateCollector<Offset>::close_run() {
  for (Slot& s : slots_) {
    if (!s.raw) continue;
    const bool extended = drop_contained_ && s.next != kNone && slots_[s.next].count == s.count;
    if (s.count < 2 || extended) {
      set_aside_phrases_.push_back(
          {static_cast<Offset>(s.first_rank), static_cast<Offset>(s.raw_length)});
      continue;
    }
    const std::uint64_t start = index_.suffix_array[s.first_rank];
    // Every other start of these bytes lies in this run: only a rewritten phrase can join it,
    // and that is settled once at the end.
    s.id =
        static_cast<std::uint32_t>(phrases_.add_unindexed(index_.text.substr(start, s.raw_length)));
    raw_ids_.push_back(s.id);
    rank_of_.resize(phrases_.size(), kNoRank);
    rank_of_[s.id] = s.first_rank;
  }
  for (std::size_t k = 0; k < run_starts_.size(); ++k) {
    const auto [p, begin] = run_starts_[k];
    const std::size_t end =
        k + 1 < run_starts_.size() ? run_starts_[k + 1].second : run_windows_.size();
    current_.clear();
    for (std::size_t w = begin; w < end; ++w) {
      const Slot& s = slots_[run_windows_[w]];
      // Windows with the same phrase at one start are consecutive; count the start once.
      if (s.id == kNone || (!current_.empty() && current_.back().id == s.id)) continue;
      current_.push_back({s.id, static_cast<Offset>(s.raw_length)});
    }
    record_position_hits(p);
  }
}

template <class Offset>
void CandidateCollector<Offset>::record_position_hits(std::uint64_t p) {
  if (current_.empty()) return;
  const std::size_t lists = list_begin_.size() - 1;
  const auto list_at = [&](std::uint64_t k) {
    return list_windows_.begin() + static_cast<std::ptrdiff_t>(list_begin_[k]);
  };
  const bool repeats_last =
      lists > 0 && std::equal(current_.begin(), current_.end(), list_at(lists - 1), list_at(lists));
  if (!repeats_last) {
    list_windows_.insert(list_windows_.end(), current_.begin(), current_.end());
    list_begin_.push_back(list_windows_.size());
  }
  const auto list = static_cast<Offset>(list_begin_.size() - 2);
  position_hits_.push_back({static_cast<Offset>(p), list});
}

// The id of the rewritten phrase equal to the raw bytes, if any. A set-aside window can equal no
// other stored phrase: raw bytes of threshold length share a run and so a slot, and shorter raw
// phrases are in the table.
template <class Offset>
std::optional<std::uint32_t> CandidateCollector<Offset>::rewritten_id_of(
    std::uint64_t start, std::uint64_t raw_length) const {
  const std::string_view phrase = index_.text.substr(start, raw_length);
  if (!rewritten_.may_contain(phrase)) return std::nullopt;
  const auto id = phrases_.find(phrase);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

// Whether q, sharing the bytes of a window of `raw_length` cut at another start of its run, cuts
// that window too: same bytes give the same words and the same verdict, so only the start, the
// end and the sentence limit can differ.
template <class Offset>
bool CandidateCollector<Offset>::cuts_window(std::uint64_t q, std::uint64_t raw_length) const {
  const std::uint64_t end = q + raw_length;
  return positions_.starts_word(q) && positions_.ends_word_at(end) &&
         positions_.boundary_after(q) >= end;
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_phrase(const SetAsidePhrase& phrase) {
  const std::uint64_t length = phrase.raw_length;
  if (!rewritten_.may_have_length(length)) return;
  const auto id = rewritten_id_of(index_.suffix_array[phrase.rank], length);
  if (!id) return;
  const auto [low, high] = ranks_sharing(phrase.rank, length);
  for (std::size_t rank = low; rank < high; ++rank) {
    const std::uint64_t q = index_.suffix_array[rank];
    if (cuts_window(q, length)) admitted_.emplace_back(*id, static_cast<Offset>(q));
  }
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_windows(const SetAsideWindows& windows) {
  const std::uint64_t p = index_.suffix_array[windows.rank];
  for_each_window_end(p, p + windows.to, [&](std::uint64_t e) {
    const std::uint64_t length = e - p;
    if (length >= windows.to) return false;
    if (length >= windows.from) admit_set_aside_phrase({windows.rank, static_cast<Offset>(length)});
    return true;
  });
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_start(const SetAsideStart& start) {
  const std::uint64_t p = start.start;
  for_each_window_end(p, start.limit, [&](std::uint64_t e) {
    const std::uint64_t length = e - p;
    if (length <= start.shared || !rewritten_.may_have_length(length)) return true;
    // Rewritten windows were looked up when cut, and rejected ones have no phrase.
    if (positions_.alters(p, e) || length - positions_.space_bytes(p, e) <= params_.min_chars) {
      return true;
    }
    if (const auto id = rewritten_id_of(p, length)) {
      admitted_.emplace_back(*id, static_cast<Offset>(p));
    }
    return true;
  });
}

// Set-aside windows can only meet a phrase that was normalised from different bytes, so they are
// looked at again only if such phrases exist.
template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_windows() {
  if (!rewritten_.empty()) {
    set_aside_phrases_.for_each(
        [&](const SetAsidePhrase& phrase) { admit_set_aside_phrase(phrase); });
    set_aside_starts_.for_each([&](const SetAsideStart& start) { admit_set_aside_start(start); });
    set_aside_windows_.for_each(
        [&](const SetAsideWindows& windows) { admit_set_aside_windows(windows); });
  }
  set_aside_phrases_.clear();
  set_aside_starts_.clear();
  set_aside_windows_.clear();
  if (!admitted_.empty()) drop_admitted_duplicates();
}

// A rewritten window can end in white space only (say a lone no-break space) and so have the
// phrase of the raw window just before it at its start; the start counts once for that phrase.
template <class Offset>
void CandidateCollector<Offset>::drop_admitted_duplicates() {
  std::sort(admitted_.begin(), admitted_.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  admitted_.erase(std::unique(admitted_.begin(), admitted_.end()), admitted_.end());
  const std::vector<PositionHits> hits = hits_by_position();
  std::size_t h = 0;
  std::erase_if(admitted_, [&](const std::pair<std::uint32_t, Offset>& a) {
    while (h < hits.size() && hits[h].position < a.second) ++h;
    if (h == hits.size() || hits[h].position != a.second) return false;
    const auto begin =
        list_windows_.begin() + static_cast<std::ptrdiff_t>(list_begin_[hits[h].list]);
    const auto end =
        list_windows_.begin() + static_cast<std::ptrdiff_t>(list_begin_[hits[h].list + 1]);
    return std::any_of(begin, end, [&](const Window& w) { return w.id == a.first; });
  });
}

// An unindexed phrase can equal only a rewritten one (any other indexed phrase is shorter than
// the threshold, and equal raw bytes of threshold length share a run and so an id). Each one
// that does takes the rewritten phrase's id.
template <class Offset>
void CandidateCollector<Offset>::join_raw_phrases() {
  rewritten_.seal();
  std::vector<std::uint32_t> replacement;
  if (!rewritten_.empty()) {
    for (const std::uint32_t id : raw_ids_) {
      const std::string_view phrase = phrases_.key(id);
      if (!rewritten_.may_contain(phrase)) continue;
      const auto found = phrases_.find(phrase);
      if (!found) continue;
      if (replacement.empty()) {
        replacement.resize(phrases_.size());
        std::iota(replacement.begin(), replacement.end(), std::uint32_t{0});
      }
      replacement[id] = static_cast<std::uint32_t>(*found);
    }
  }
  std::vector<std::uint32_t>().swap(raw_ids_);
  if (!replacement.empty()) replace_ids(replacement);
}

// Renames the windows of every list; a start whose windows now repeat a phrase keeps the first
// (shortest) of them, so that each (phrase, start) pair is still hit once.
template <class Offset>
void CandidateCollector<Offset>::replace_ids(std::span<const std::uint32_t> replacement) {
  std::size_t out = 0;
  std::uint64_t begin = 0;
  for (std::size_t list = 0; list + 1 < list_begin_.size(); ++list) {
    const std::uint64_t end = list_begin_[list + 1];
    const std::size_t first = out;
    for (std::uint64_t k = begin; k < end; ++k) {
      Window w = list_windows_[k];
      w.id = replacement[w.id];
      if (out == first || list_windows_[out - 1].id != w.id) list_windows_[out++] = w;
    }
    begin = end;
    list_begin_[list + 1] = out;
  }
  list_windows_.resize(out);
}

template <class Offset>
template <class Visit>
void CandidateCollector<Offset>::for_each_hit(Visit&& visit) const {
  position_hits_.for_each([&](const PositionHits& h) {
    for (std::uint64_t k = list_begin_[h.list]; k < list_begin_[h.list + 1]; ++k) {
      visit(list_windows_[k].id, h.position);
    }
  });
  for (const auto& [id, position] : admitted_) visit(id, position);
}

// Every (phrase, start) pair is hit once: windows of one start with one phrase were merged
// when recorded, and a lonely window sharing a rewritten window's start and phrase was dropped.
// So counting hits counts distinct starts, and offsets are gathered only for the phrases that
// end up as records.
template <class Offset>
std::vector<PhraseData> CandidateCollector<Offset>::take_records() {
  join_raw_phrases();
  admit_set_aside_windows();
  std::vector<Offset> counts(phrases_.size(), 0);  // hits per phrase, at most one per position
  std::vector<Offset> first_start(phrases_.size(), std::numeric_limits<Offset>::max());
  for_each_hit([&](std::uint32_t id, Offset p) {
    ++counts[id];
    first_start[id] = std::min(first_start[id], p);
  });
  std::vector<char> extended(counts.size(), 0);
  if (drop_contained_) {
    // Both only set flags: on a large text they run side by side, each into its own array.
    std::vector<char> left(counts.size(), 0);
    (void)parallel::both(
        parallel::worth_splitting(index_.text.size()),
        [&] {
          mark_right_extensions(counts, extended);
          return true;
        },
        [&] {
          mark_left_extensions(counts, left);
          return true;
        });
    for (std::size_t id = 0; id < extended.size(); ++id) extended[id] |= left[id];
  }
  std::vector<Repeated> repeated = select_repeated(counts, first_start, extended);
  std::vector<Offset>().swap(first_start);
  // Byte length descending, then first start ascending: a total order, by two stable passes.
  std::uint64_t longest = 0;
  for (const Repeated& r : repeated) longest = std::max(longest, r.length());
  radix_sort_by_position(repeated, [](const Repeated& r) { return r.first_start; });
  radix_sort_by_position(repeated, [&](const Repeated& r) { return longest - r.length(); });

  std::vector<char> contained(repeated.size(), 0);
  if (drop_contained_ && repeated.size() >= 2) flag_contained(repeated, contained);
  std::vector<Repeated> survivors;
  survivors.reserve(repeated.size());
  for (std::size_t i = 0; i < repeated.size(); ++i) {
    if (!contained[i]) survivors.push_back(repeated[i]);
  }
  return build_records(survivors);
}

// A phrase is eliminated exactly when some longer candidate containing it has at least its
// count: flags never chain past a survivor, so the order of the scan does not matter, and
// dropping phrases known to be eliminated leaves the outcome for the others unchanged. A window
// is contained in the longer windows at its start and in every window from an earlier start to
// its end; phrases with such a container of at least their count (two or more) are marked here
// and dropped before the automaton. On a duplicated passage that leaves a few windows per
// sentence instead of one per pair of words. A container has at least the words of what it
// contains, so it passes the word filter whenever the contained phrase does.
template <class Offset>
bool CandidateCollector<Offset>::extends(std::uint32_t outer, std::uint32_t inner,
                                         std::span<const Offset> counts) {
  return outer != inner && counts[inner] >= 2 && counts[outer] >= counts[inner];
}

// Phrases that are their own raw bytes are compared on the text; pairs with any other phrase
// (rewritten ones, and short ones found by hashing) go through the automaton.
template <class Offset>
void CandidateCollector<Offset>::flag_contained(std::span<const Repeated> repeated,
                                                std::vector<char>& contained) const {
  const std::size_t n = repeated.size();
  std::vector<char> in_text(n, 0);
  // The rank interval of each phrase's bytes first, so that the queries are sized once. Other
  // phrases are targets only: their bytes, where the text has them, may lie in a raw phrase.
  struct RankRange {
    std::size_t low, high;
    std::uint32_t phrase;
  };
  std::vector<RankRange> ranges;
  std::vector<Occurrence<Offset>> containers;
  std::uint64_t longest = 0;
  std::size_t occurrences = 0;
  // Phrases come in length order, their ranks scattered: the LCP entries of a phrase a few
  // places ahead are requested before they are walked.
  constexpr std::size_t kAhead = 8;
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kAhead < n) {
      const std::uint64_t ahead = rank_of(repeated[k + kAhead].id);
      if (ahead != kNoRank) prefetch_read(&index_.lcp[ahead]);
    }
    const Repeated& r = repeated[k];
    const auto phrase = static_cast<std::uint32_t>(k);
    const std::uint64_t rank = rank_of(r.id);
    std::pair<std::size_t, std::size_t> ranks;
    if (rank != kNoRank) {
      in_text[k] = 1;
      longest = std::max(longest, r.length());
      ranks = ranks_sharing(rank, r.length());
      containers.push_back({static_cast<Offset>(r.first_start),
                            static_cast<Offset>(r.first_start + r.length()), r.count, phrase});
    } else {
      ranks = search_text(r.phrase);
    }
    if (ranks.first < ranks.second) ranges.push_back({ranks.first, ranks.second, phrase});
    occurrences += ranks.second - ranks.first;
  }
  std::vector<Occurrence<Offset>> queries;
  queries.reserve(occurrences);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    if (k + kAhead < ranges.size()) prefetch_read(&index_.suffix_array[ranges[k + kAhead].low]);
    const auto& [low, high, phrase] = ranges[k];
    const auto length = static_cast<Offset>(repeated[phrase].length());
    const Offset count = repeated[phrase].count;
    for (std::size_t s = low; s < high; ++s) {
      const Offset x = index_.suffix_array[s];
      queries.push_back({x, static_cast<Offset>(x + length), count, phrase});
    }
  }
  flag_contained_in_text(std::move(queries), std::move(containers), longest, contained);
  if (std::all_of(in_text.begin(), in_text.end(), [](char c) { return c != 0; })) return;
  // What is left: pairs whose container is not its own raw bytes.
  std::vector<std::string_view> texts(n);
  std::vector<std::uint64_t> repeated_counts(n);
  std::vector<char> general(n);
  for (std::size_t k = 0; k < n; ++k) {
    texts[k] = repeated[k].phrase;
    repeated_counts[k] = repeated[k].count;
    general[k] = !in_text[k];
  }
  flag_contained_among(texts, repeated_counts, general, general, contained);
  const std::vector<char> targets = targets_meeting(texts, in_text, general);
  flag_contained_among(texts, repeated_counts, targets, general, contained);
}

// Within a list (one start's windows, shortest first) every later window contains an earlier
// one; the largest later count decides.
template <class Offset>
void CandidateCollector<Offset>::mark_right_extensions(std::span<const Offset> counts,
                                                       std::vector<char>& extended) const {
  for (std::size_t list = 0; list + 1 < list_begin_.size(); ++list) {
    std::uint32_t widest = 0;  // the later window with the largest count
    bool any_later = false;
    for (std::uint64_t k = list_begin_[list + 1]; k-- > list_begin_[list];) {
      const std::uint32_t id = list_windows_[k].id;
      if (any_later && extends(widest, id, counts)) extended[id] = 1;
      if (!any_later || counts[id] > counts[widest]) widest = id;
      any_later = true;
    }
  }
}

// A window from an earlier start to the same end contains a window (normalising the longer text
// yields the shorter one's phrase as its tail). The recording start before each one is tried;
// both lists are ordered by end, so one merge walk pairs them.
template <class Offset>
void CandidateCollector<Offset>::mark_left_extensions(std::span<const Offset> counts,
                                                      std::vector<char>& extended) const {
  const std::vector<PositionHits> hits = hits_by_position();
  for (std::size_t k = 1; k < hits.size(); ++k) {
    prefetch_list_of(hits, k, counts);
    const PositionHits& left = hits[k - 1];
    const PositionHits& right = hits[k];
    const std::uint64_t shift = right.position - left.position;
    std::uint64_t l = list_begin_[left.list];
    const std::uint64_t l_end = list_begin_[left.list + 1];
    for (std::uint64_t r = list_begin_[right.list]; r < list_begin_[right.list + 1]; ++r) {
      const Window& inner = list_windows_[r];
      while (l < l_end && list_windows_[l].raw_length < inner.raw_length + shift) ++l;
      if (l == l_end) break;
      if (list_windows_[l].raw_length == inner.raw_length + shift &&
          extends(list_windows_[l].id, inner.id, counts)) {
        extended[inner.id] = 1;
      }
    }
  }
}

// Lists are stored in the order they were recorded, so a walk in text order reads them
// scattered: the list bounds, the windows and then the counts of hits ahead are requested in
// turn, each once the one before has had time to arrive.
template <class Offset>
void CandidateCollector<Offset>::prefetch_list_of(std::span<const PositionHits> hits, std::size_t k,
                                                  std::span<const Offset> counts) const {
  constexpr std::size_t kBounds = 24, kWindows = 12, kCounts = 6;
  if (k + kBounds < hits.size()) prefetch_read(&list_begin_[hits[k + kBounds].list]);
  if (k + kWindows < hits.size()) {
    prefetch_read(&list_windows_[list_begin_[hits[k + kWindows].list]]);
  }
  if (k + kCounts < hits.size()) {
    const std::uint64_t list = hits[k + kCounts].list;
    for (std::uint64_t w = list_begin_[list]; w < list_begin_[list + 1]; ++w) {
      prefetch_read(&counts[list_windows_[w].id]);
    }
  }
}

// The recorded positions in text order.
template <class Offset>
auto CandidateCollector<Offset>::hits_by_position() const -> std::vector<PositionHits> {
  std::vector<PositionHits> sorted;
  sorted.reserve(position_hits_.size());
  position_hits_.for_each([&](const PositionHits& h) { sorted.push_back(h); });
  radix_sort_by_position(sorted, [](const PositionHits& h) { return h.position; });
  return sorted;
}

// Phrases with two or more starts and enough words, not marked as extended, in id order.
template <class Offset>
auto CandidateCollector<Offset>::select_repeated(std::span<const Offset> counts,
                                                 std::span<const Offset> first_start,
                                                 std::span<const char> extended) const
    -> std::vector<Repeated> {
  std::vector<Repeated> repeated;
  for (std::size_t id = 0; id < counts.size(); ++id) {
    if (counts[id] < 2 || extended[id]) continue;
    const std::string_view phrase = phrases_.key(id);
    if (!has_words(phrase, params_.min_words_in_substring)) continue;
    repeated.push_back({phrase, first_start[id], static_cast<std::uint32_t>(id), counts[id]});
  }
  return repeated;
}

// The starts of all records are first gathered into one array, each record's in a slice of its
// own: filling that touches one slot per hit instead of a record and its vector.
template <class Offset>
std::vector<PhraseData> CandidateCollector<Offset>::build_records(
    std::span<const Repeated> repeated) const {
  constexpr auto kNoRecord = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> record_of(phrases_.size(), kNoRecord);
  std::vector<std::uint64_t> fill(repeated.size() + 1, 0);  // next free slot of each slice
  for (std::size_t k = 0; k < repeated.size(); ++k) {
    record_of[repeated[k].id] = static_cast<std::uint32_t>(k);
    fill[k + 1] = fill[k] + repeated[k].count;
  }
  std::vector<Offset> starts(fill.back());
  for_each_hit([&](std::uint32_t id, Offset p) {
    if (record_of[id] != kNoRecord) starts[fill[record_of[id]]++] = p;
  });
  std::vector<PhraseData> records(repeated.size());
  constexpr std::size_t kAhead = 4;  // phrase texts lie scattered in the table
  // Records are independent of each other: on a large text, two halves on two threads.
  const bool split = parallel::worth_splitting(index_.text.size());
  parallel::halves(
      split, repeated.size(), repeated.size() / 2, [&](std::size_t first, std::size_t last) {
        for (std::size_t k = first; k < last; ++k) {
          if (k + kAhead < last) prefetch_read(repeated[k + kAhead].phrase.data());
          const Repeated& r = repeated[k];
          PhraseData& record = records[k];
          // Filling left each slice's mark at its end, which is where the next one begins.
          const auto slice = starts.begin() + static_cast<std::ptrdiff_t>(k == 0 ? 0 : fill[k - 1]);
          const auto slice_end = starts.begin() + static_cast<std::ptrdiff_t>(fill[k]);
          sort_offsets(slice, slice_end);
          record.phrase = std::string(r.phrase);
          record.starts.assign(slice, slice_end);
          record.ends.resize(record.starts.size());
          for (std::size_t i = 0; i < record.starts.size(); ++i) {
            record.ends[i] = record.starts[i] + r.length();
          }
          record.count = record.starts.size();
          record.string_length = r.length();
          record.number_of_words = word_count(record.phrase);
        }
      });
  return records;
}

// A rank that splits the collection into halves of about equal work, estimated from a sample of
// ranks: the work lies at word starts within runs. It is the first rank at or past the sampled
// middle whose LCP entry is below the threshold, so that no run crosses it; n if there is none.
template <class Idx>
std::size_t rank_halving_work(const BasicAnalysisIndex<Idx>& index, const PositionIndex& positions,
                              std::uint64_t threshold) {
  const auto& lcp = index.lcp;
  const std::size_t n = lcp.size();
  constexpr std::size_t kSamples = std::size_t{1} << 16;
  const std::size_t stride = std::max<std::size_t>(n / kSamples, 1);
  const auto works = [&](std::size_t r) {
    const bool in_run = lcp[r] >= threshold || (r + 1 < n && lcp[r + 1] >= threshold);
    return in_run && positions.starts_word(index.suffix_array[r]);
  };
  std::size_t total = 0;
  for (std::size_t r = 0; r < n; r += stride) total += works(r) ? 1 : 0;
  std::size_t r = n / 2;
  if (total > 0) {
    std::size_t seen = 0;
    for (r = 0; r < n; r += stride) {
      seen += works(r) ? 1 : 0;
      if (2 * seen >= total) break;
    }
  }
  r = std::max<std::size_t>(r, 1);
  while (r < n && lcp[r] >= threshold) ++r;
  return r;
}

// Offsets are stored in the width of the suffix array's entries. `after_scan()` is called once
// the runs are collected, before the records are built from them.
template <class Idx, class AfterScan = void (*)()>
std::vector<PhraseData> collect_candidates(
    const BasicAnalysisIndex<Idx>& index, const FinderParams& params, const HashKey& hash_key,
    bool drop_contained, AfterScan&& after_scan = [] {}) {
  const std::size_t n = index.suffix_array.size();
  if (n < 2) {
    after_scan();
    return {};
  }
  const PositionIndex positions(index.text, index.sentence_boundaries);
  CandidateCollector<Idx> collector(index, positions, params, hash_key, drop_contained);
  // On a large text the upper ranks are collected on a second thread, and then absorbed.
  const bool split = parallel::worth_splitting(index.text.size());
  const std::size_t mid = split ? rank_halving_work(index, positions, collector.threshold()) : n;
  if (mid >= n) {
    collector.collect_runs(1, n);
    after_scan();
    return collector.take_records();
  }
  CandidateCollector<Idx> upper(index, positions, params, hash_key, drop_contained);
  (void)parallel::both(
      true,
      [&] {
        collector.collect_runs(1, mid);
        return true;
      },
      [&] {
        upper.collect_runs(mid, n);
        return true;
      });
  collector.absorb(std::move(upper));
  after_scan();
  return collector.take_records();
}

// ---------------------------------------------------------------------------------------------
// Blocks

// The offsets of all blocks live in one array; a block names its slice, and its text by the
// offset of its first pair. On a duplicated text there are millions of blocks, so both are kept
// in the width of the suffix array's entries: every offset lies in one block at most.
template <class Offset>
struct Block {
  Offset text_start, length;
  Offset begin, end;  // its offsets: ascending, distinct
};

template <class Offset>
struct BlockList {
  std::vector<Block<Offset>> blocks;
  std::vector<Offset> offsets;

  [[nodiscard]] std::span<const Offset> offsets_of(const Block<Offset>& block) const {
    return std::span(offsets).subspan(block.begin, block.end - block.begin);
  }
};

// Collects, per run, the offsets of the neighbour pairs whose shared prefix is exactly the run's
// block length, under the text of the run's first such pair. Block texts need no table: each
// begins with its run's shared prefix of at least the block minimum, and no two runs share one.
template <class Idx>
class BlockScanner {
 public:
  // `ascii`: whether the text is all ASCII.
  BlockScanner(const BasicAnalysisIndex<Idx>& index, const FinderParams& params, bool ascii)
      : index_(index),
        min_block_(types::block_minimum(params)),
        cap_(types::block_cap(params)),
        ascii_(ascii) {}

  [[nodiscard]] std::uint64_t min_block() const { return min_block_; }

  void scan_run(const LcpRun& run);
  // One block per run that yielded one; its offsets are sorted and distinct.
  [[nodiscard]] BlockList<Idx> take_blocks() { return std::move(found_); }

 private:
  // End of a block of `length` bytes at `a`, moved back to a character boundary; nullopt when
  // the pair yields no block.
  [[nodiscard]] std::optional<std::uint64_t> block_end(std::uint64_t a, std::uint64_t b,
                                                       std::uint64_t length) const;

  // A pair's check reads the text where both suffixes start and where the block would end, all
  // scattered: a cursor keeps the pairs a fixed number of run ranks ahead requested.
  void prefetch_ahead(std::size_t rank) {
    constexpr std::size_t kDistance = 16;
    if (ahead_ < rank) ahead_ = rank;
    while (pairs_ahead_ < kDistance && ahead_ + 1 < index_.lcp.size()) {
      if (index_.lcp[++ahead_] >= min_block_) {
        prefetch_pair(ahead_);
        ++pairs_ahead_;
      }
    }
    if (pairs_ahead_ > 0) --pairs_ahead_;
  }

  void prefetch_pair(std::size_t rank) const {
    const std::string_view text = index_.text;
    const std::uint64_t a = index_.suffix_array[rank - 1];
    const std::uint64_t b = index_.suffix_array[rank];
    const std::uint64_t length = std::min<std::uint64_t>(cap_, index_.lcp[rank]);
    prefetch_read(text.data() + a);
    prefetch_read(text.data() + b);
    if (length < text.size() - a) prefetch_read(text.data() + a + length);
  }

  const BasicAnalysisIndex<Idx>& index_;
  std::uint64_t min_block_;
  std::uint64_t cap_;
  // In ASCII text every byte starts a character: pairs are checked without reading the text.
  bool ascii_;
  std::size_t ahead_ = 0;        // the last rank the cursor looked at
  std::size_t pairs_ahead_ = 0;  // pairs requested beyond the current one
  BlockList<Idx> found_;
  std::vector<Idx> positions_;
};

template <class Idx>
std::optional<std::uint64_t> BlockScanner<Idx>::block_end(std::uint64_t a, std::uint64_t b,
                                                          std::uint64_t length) const {
  const std::string_view text = index_.text;
  if (!ascii_ && (!is_char_start(text, a) || !is_char_start(text, b))) return std::nullopt;
  std::uint64_t end = std::min<std::uint64_t>(types::saturating_add(a, length), text.size());
  while (!ascii_ && end > a && end < text.size() && !is_char_start(text, end)) --end;
  const std::uint64_t len = end - a;
  if (len < min_block_ || len > text.size() - b) return std::nullopt;
  return end;
}

template <class Idx>
void BlockScanner<Idx>::scan_run(const LcpRun& run) {
  const std::uint64_t block_length = std::min(cap_, run.max_lcp);
  positions_.clear();
  std::optional<Block<Idx>> block;
  for (std::size_t rank = run.begin; rank < run.end; ++rank) {
    if (!ascii_) prefetch_ahead(rank);
    if (index_.lcp[rank] != block_length) continue;
    const Idx a = index_.suffix_array[rank - 1];
    const Idx b = index_.suffix_array[rank];
    const auto end = block_end(a, b, block_length);
    if (!end) continue;
    positions_.push_back(a);
    positions_.push_back(b);
    if (!block) block = Block<Idx>{a, static_cast<Idx>(*end - a), 0, 0};
  }
  if (!block) return;
  // Most runs are one pair of distinct suffixes.
  if (positions_.size() == 2) {
    if (positions_[0] > positions_[1]) std::swap(positions_[0], positions_[1]);
  } else {
    std::sort(positions_.begin(), positions_.end());
    positions_.erase(std::unique(positions_.begin(), positions_.end()), positions_.end());
  }
  if (positions_.size() < 2) return;
  block->begin = static_cast<Idx>(found_.offsets.size());
  found_.offsets.insert(found_.offsets.end(), positions_.begin(), positions_.end());
  block->end = static_cast<Idx>(found_.offsets.size());
  found_.blocks.push_back(*block);
}

// Longest blocks first; blocks of equal length by first offset, so that which of them covers
// which never depends on hashing. (A position lies in one run only, so no two blocks share a
// length and a first offset.)
template <class Offset>
BlockList<Offset> choose_blocks(BlockList<Offset> found, std::uint64_t text_length) {
  // There are about as many blocks as bytes in repeated passages, mostly with two offsets: the
  // keys carry those, and are ordered by two stable radix passes (first offset, then length).
  // A block index is below half the text length, which leaves the top bit to mark blocks with
  // more offsets.
  struct Key {
    Offset length, first, second, block;
  };
  constexpr Offset kMore = Offset{1} << (8 * sizeof(Offset) - 1);
  std::vector<Key> order(found.blocks.size());
  Offset longest = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Block<Offset>& b = found.blocks[k];
    const Offset more = b.end - b.begin > 2 ? kMore : 0;
    order[k] = {b.length, found.offsets[b.begin], found.offsets[b.begin + 1],
                static_cast<Offset>(k | more)};
    longest = std::max(longest, b.length);
  }
  radix_sort_by_position(order, [](const Key& k) { return k.first; });
  radix_sort_by_position(order, [&](const Key& k) { return longest - k.length; });
  CoveredIntervals covered(text_length);
  std::vector<Block<Offset>> accepted;
  const auto covers = [&](std::uint64_t p, std::uint64_t length) {
    return covered.covers(p, types::saturating_add(p, length));
  };
  for (const Key& key : order) {
    const Block<Offset>& block = found.blocks[key.block & ~kMore];
    // Most blocks are shifted copies of a longer one, turned away by their first offsets before
    // the block itself is read.
    if (covers(key.first, key.length) && covers(key.second, key.length)) {
      if ((key.block & kMore) == 0) continue;
      const auto rest = found.offsets_of(block).subspan(2);
      if (std::all_of(rest.begin(), rest.end(),
                      [&](std::uint64_t p) { return covers(p, key.length); })) {
        continue;
      }
    }
    for (const std::uint64_t p : found.offsets_of(block)) {
      covered.add(p, types::saturating_add(p, key.length));
    }
    accepted.push_back(block);
  }
  found.blocks = std::move(accepted);
  return found;
}

template <class Offset>
PhraseData block_record(std::string_view text, const Block<Offset>& block,
                        std::span<const Offset> offsets) {
  PhraseData record;
  record.phrase = std::string(text.substr(block.text_start, block.length));
  record.starts.assign(offsets.begin(), offsets.end());
  record.ends.reserve(offsets.size());
  for (const std::uint64_t p : offsets) {
    record.ends.push_back(types::saturating_add(p, block.length));
  }
  record.count = offsets.size();
  record.string_length = block.length;
  record.number_of_words = types::count_whitespace_words(record.phrase);
  return record;
}

bool inside_blocks(const PhraseData& record, const CoveredIntervals& blocks) {
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!blocks.covers(record.starts[i], record.ends[i])) return false;
  }
  return true;
}

// Coverage is decided as in block selection, by the last block occurrence starting at or before
// each occurrence.
std::vector<PhraseData> drop_phrases_inside(std::vector<PhraseData> records,
                                            const std::vector<PhraseData>& blocks,
                                            std::uint64_t text_length) {
  if (blocks.empty()) return records;
  CoveredIntervals covered(text_length);
  for (const PhraseData& block : blocks) {
    for (std::size_t i = 0; i < block.starts.size(); ++i) {
      covered.add(block.starts[i], block.ends[i]);
    }
  }
  // Each record's occurrences lie in vectors of their own, scattered: they are requested a few
  // records ahead.
  constexpr std::size_t kAhead = 4;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < records.size(); ++k) {
    if (k + kAhead < records.size()) {
      const PhraseData& next = records[k + kAhead];
      if (!next.starts.empty()) prefetch_read(next.starts.data());
      if (!next.ends.empty()) prefetch_read(next.ends.data());
    }
    if (inside_blocks(records[k], covered)) continue;
    if (kept != k) records[kept] = std::move(records[k]);
    ++kept;
  }
  records.resize(kept);
  return records;
}

// ---------------------------------------------------------------------------------------------
// Results

// UTF-16 units of the characters that start among `count` bytes at `p`: one per character
// start, two for starts of characters beyond the Basic Multilingual Plane (4-byte sequences).
// Eight bytes at a time: per byte, bit 7 of `continuation` marks 10xxxxxx and bit 7 of `astral`
// marks 1111xxxx.
std::uint64_t utf16_units_of_word(std::uint64_t w, std::size_t len) {
  using swar::kHighBits;
  const auto flagged = [](std::uint64_t bits) { return ((bits >> 7) * swar::kLowBits) >> 56; };
  const std::uint64_t present =
      len == 8 ? kHighBits : kHighBits & ((std::uint64_t{1} << (8 * len)) - 1);
  const std::uint64_t continuation = w & ~(w << 1) & present;
  const std::uint64_t astral = w & (w << 1) & (w << 2) & (w << 3) & present;
  return len - flagged(continuation) + flagged(astral);
}

std::uint64_t utf16_units(const char* p, std::size_t count) {
  std::uint64_t units = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) units += utf16_units_of_word(swar::load8(p + i), 8);
  std::uint64_t tail = 0;
  for (std::size_t k = 0; i + k < count; ++k) {
    tail |= std::uint64_t{static_cast<unsigned char>(p[i + k])} << (8 * k);
  }
  return units + utf16_units_of_word(tail, count - i);
}

// Occurrences lie scattered over the text; lookups run this many occurrences behind the requests
// for their memory, which also reach into the next records.
constexpr std::size_t kPrefetchedOccurrences = 4;

void prefetch_first_occurrences(const PhraseData& record, const Utf16PositionTable& table) {
  const std::size_t n =
      std::min({record.starts.size(), record.ends.size(), kPrefetchedOccurrences});
  for (std::size_t i = 0; i < n; ++i) {
    table.prefetch(record.starts[i]);
    table.prefetch(record.ends[i]);
  }
}

PhraseResult to_result(PhraseData record, std::uint64_t code_points,
                       const Utf16PositionTable& table) {
  PhraseResult result;
  const std::size_t n = std::min(record.starts.size(), record.ends.size());
  result.occurrences.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchedOccurrences < n) {
      table.prefetch(record.starts[i + kPrefetchedOccurrences]);
      table.prefetch(record.ends[i + kPrefetchedOccurrences]);
    }
    result.occurrences.push_back({table(record.starts[i]), table(record.ends[i])});
  }
  result.count = n;
  result.string_length = code_points;
  result.number_of_words = record.number_of_words;
  result.phrase = std::move(record.phrase);
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Stages

std::vector<PhraseData> find_candidate_phrases(const AnalysisIndex& index,
                                               const FinderParams& params,
                                               const HashKey& hash_key) {
  return collect_candidates(index, params, hash_key, false);
}

std::vector<PhraseData> eliminate_contained_phrases(std::vector<PhraseData> records) {
  if (records.size() < 2) return records;
  std::vector<std::string_view> texts(records.size());
  std::vector<std::uint64_t> counts(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    texts[i] = records[i].phrase;
    counts[i] = records[i].count;
  }
  const std::vector<char> contained = flag_contained_phrases(texts, counts);
  std::vector<PhraseData> kept;
  kept.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!contained[i]) kept.push_back(std::move(records[i]));
  }
  return kept;
}

std::vector<PhraseData> find_uncontained_candidates(const AnalysisIndex& index,
                                                    const FinderParams& params,
                                                    const HashKey& hash_key) {
  return collect_candidates(index, params, hash_key, true);
}

// The chosen blocks as records. They depend on the arrays alone, not on the phrases.
template <class Idx>
std::vector<PhraseData> find_blocks(const BasicAnalysisIndex<Idx>& index,
                                    const FinderParams& params, bool ascii_text) {
  BlockScanner<Idx> scanner(index, params, ascii_text);
  const std::uint64_t min_block = scanner.min_block();
  std::vector<PhraseData> blocks;
  if (index.text.size() < types::saturating_mul(2, min_block) || index.suffix_array.size() < 2) {
    return blocks;
  }
  suffix_array::for_each_lcp_run(index.lcp, min_block,
                                 [&](const LcpRun& run) { scanner.scan_run(run); });
  const BlockList<Idx> chosen = choose_blocks(scanner.take_blocks(), index.text.size());
  for (const Block<Idx>& block : chosen.blocks) {
    blocks.push_back(block_record(index.text, block, chosen.offsets_of(block)));
  }
  return blocks;
}

// Phrases inside a block give way to it; the blocks follow the phrases.
std::vector<PhraseData> with_blocks(std::vector<PhraseData> records, std::vector<PhraseData> blocks,
                                    std::uint64_t text_size) {
  records = drop_phrases_inside(std::move(records), blocks, text_size);
  std::move(blocks.begin(), blocks.end(), std::back_inserter(records));
  return records;
}

template <class Idx>
std::vector<PhraseData> detect_blocks_in(std::vector<PhraseData> records,
                                         const BasicAnalysisIndex<Idx>& index,
                                         const FinderParams& params) {
  return with_blocks(std::move(records),
                     find_blocks(index, params, Utf16PositionTable::is_ascii(index.text)),
                     index.text.size());
}

std::vector<PhraseData> detect_blocks(std::vector<PhraseData> records, const AnalysisIndex& index,
                                      const FinderParams& params) {
  return detect_blocks_in(std::move(records), index, params);
}

void translate_offsets(std::vector<PhraseData>& records,
                       std::span<const normalize::RemovedRange> removed_ranges) {
  if (removed_ranges.empty()) return;
  const auto deltas = normalize::build_cumulative_deltas(removed_ranges);
  for (PhraseData& record : records) {
    for (auto& s : record.starts) s = normalize::map_to_source(deltas, s);
    for (auto& e : record.ends) e = normalize::map_to_source(deltas, e);
  }
}

Utf16PositionTable::Utf16PositionTable(std::string_view source) : source_(source) {
  constexpr std::size_t kBlock = std::size_t{1} << kBlockShift;
  std::vector<std::uint64_t> checkpoints;
  checkpoints.reserve(source.size() / kBlock + 1);
  std::uint64_t units = 0;
  bool ascii = true;
  std::size_t begin = 0;
  for (; begin + kBlock <= source.size(); begin += kBlock) {
    // Lookups into an ASCII block need not read the text: its units are its bytes.
    const bool ascii_block = is_ascii(source.substr(begin, kBlock));
    ascii = ascii && ascii_block;
    checkpoints.push_back(units | (ascii_block ? kAsciiBlock : 0));
    units += ascii_block ? kBlock : utf16_units(source.data() + begin, kBlock);
  }
  checkpoints.push_back(units);  // the partial last block is always counted
  // On ASCII text every offset is its own count of UTF-16 units: no table is needed.
  if (!ascii || !is_ascii(source.substr(begin))) checkpoints_ = std::move(checkpoints);
}

bool Utf16PositionTable::is_ascii(std::string_view bytes) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) any |= swar::load8(bytes.data() + i);
  for (; i < bytes.size(); ++i) any |= static_cast<unsigned char>(bytes[i]);
  return swar::all_ascii(any);
}

std::uint64_t Utf16PositionTable::operator()(std::uint64_t byte_offset) const {
  if (byte_offset > source_.size() || checkpoints_.empty()) return byte_offset;
  const std::size_t block = static_cast<std::size_t>(byte_offset >> kBlockShift);
  const std::size_t begin = block << kBlockShift;
  const std::uint64_t checkpoint = checkpoints_[block];
  if (checkpoint & kAsciiBlock) return (checkpoint & ~kAsciiBlock) + (byte_offset - begin);
  return checkpoint + utf16_units(source_.data() + begin, byte_offset - begin);
}

void Utf16PositionTable::prefetch(std::uint64_t byte_offset) const {
  if (byte_offset >= source_.size() || checkpoints_.empty()) return;
  prefetch_read(&checkpoints_[byte_offset >> kBlockShift]);
  prefetch_read(source_.data() + (byte_offset & ~((std::uint64_t{1} << kBlockShift) - 1)));
}

CoveredIntervals::CoveredIntervals(std::uint64_t text_length)
    : level0_(text_length / 64 + 1),
      level1_(level0_.size() / 64 + 1),
      level2_(level1_.size() / 64 + 1) {}

void CoveredIntervals::add(std::uint64_t start, std::uint64_t end) {
  if (start >= 64 * level0_.size()) return;  // past the text: no offset can ask for it
  if (!end_of_.raise(start, end)) return;
  level0_[start >> 6] |= bit(start);
  level1_[start >> 12] |= bit(start >> 6);
  level2_[start >> 18] |= bit(start >> 12);
}

bool CoveredIntervals::covers(std::uint64_t start, std::uint64_t end) const {
  const auto last = last_start_at_or_before(start);
  return last && end <= end_of_.at(*last);
}

CoveredIntervals::EndByStart::EndByStart()
    : slots_(64), key_(string_interner::process_hash_key()) {}

std::size_t CoveredIntervals::EndByStart::home(std::uint64_t start) const {
  std::uint64_t h = (start ^ key_.k0) * 0x9E37'79B9'7F4A'7C15ULL;
  h = (h ^ (h >> 32)) * (key_.k1 | 1);
  return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
}

bool CoveredIntervals::EndByStart::raise(std::uint64_t start, std::uint64_t end) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(start);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.start == start) {
      slot.end = std::max(slot.end, end);
      return false;
    }
    if (slot.start == kEmpty) {
      slot = {start, end};
      if (++used_ * 2 > slots_.size()) grow();
      return true;
    }
  }
}

std::uint64_t CoveredIntervals::EndByStart::at(std::uint64_t start) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(start);; i = (i + 1) & mask) {
    if (slots_[i].start == start) return slots_[i].end;
    if (slots_[i].start == kEmpty) throw InternalError("covered interval without an end");
  }
}

void CoveredIntervals::EndByStart::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.start == kEmpty) continue;
    std::size_t i = home(slot.start);
    while (slots_[i].start != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

std::optional<std::uint64_t> CoveredIntervals::last_start_at_or_before(std::uint64_t p) const {
  p = std::min(p, 64 * level0_.size() - 1);
  if (const auto hit = in_word(level0_, p)) return hit;
  if ((p >> 6) == 0) return std::nullopt;
  auto word = in_word(level1_, (p >> 6) - 1);
  if (!word && (p >> 12) > 0) {
    const auto group = last_group_at_or_before((p >> 12) - 1);
    if (!group) return std::nullopt;
    word = in_word(level1_, 64 * *group + 63);
  }
  if (!word) return std::nullopt;
  return in_word(level0_, 64 * *word + 63);
}

// The top level is short (one word per 2^18 offsets): walked word by word.
std::optional<std::uint64_t> CoveredIntervals::last_group_at_or_before(std::uint64_t g) const {
  for (;;) {
    if (const auto hit = in_word(level2_, g)) return hit;
    if (g < 64) return std::nullopt;
    g = (g & ~std::uint64_t{63}) - 1;
  }
}

namespace {

// The order is settled on indices first, so each result is built once, in place.
// `ascii_phrases`: every phrase is ASCII (they come from an ASCII analysis text), so its code
// points are its bytes.
std::vector<PhraseResult> sorted_results(std::vector<PhraseData> records,
                                         std::string_view source_text, bool ascii_phrases) {
  std::vector<std::uint64_t> code_points(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    code_points[i] =
        ascii_phrases ? records[i].phrase.size() : types::count_code_points(records[i].phrase);
  }
  std::vector<std::size_t> order(records.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Stable, as the final order must be: a radix sort is.
  const std::uint64_t most =
      code_points.empty() ? 0 : *std::max_element(code_points.begin(), code_points.end());
  radix_sort_by_position(order, [&](std::size_t k) { return most - code_points[k]; });
  const Utf16PositionTable table(source_text);
  std::vector<PhraseResult> results(records.size());
  // Records are taken in a scattered order: each is requested some steps ahead, and its first
  // occurrences one step ahead. Each result depends on its record alone, so on a large text the
  // two halves are built on two threads.
  constexpr std::size_t kRecordsAhead = 8;
  const bool split = parallel::worth_splitting(source_text.size());
  parallel::halves(split, order.size(), order.size() / 2, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) {
      if (k + kRecordsAhead < end) prefetch_read(&records[order[k + kRecordsAhead]]);
      if (k + 1 < end) prefetch_first_occurrences(records[order[k + 1]], table);
      results[k] = to_result(std::move(records[order[k]]), code_points[order[k]], table);
    }
  });
  return results;
}

}  // namespace

std::vector<PhraseResult> to_sorted_results(std::vector<PhraseData> records,
                                            std::string_view source_text) {
  return sorted_results(std::move(records), source_text, false);
}

std::string normalize_phrase(std::string_view raw) {
  NormalizedStream stream;
  stream.reset(raw, 0);
  stream.extend_to(raw.size());
  return std::string(stream.phrase());
}

// ---------------------------------------------------------------------------------------------
// Pipeline

namespace {

// Stages 1 to 7 on the suffix and LCP arrays `build_suffix_array(split, beside)` returns, with
// beside's result (it runs meanwhile; both use two threads when `split`). Every working array is
// released on return, before the results are built. `ascii_text`: whether the analysis text is
// all ASCII.
template <class BuildSuffixArray>
std::vector<PhraseData> find_records(std::string_view analysis_text,
                                     BuildSuffixArray build_suffix_array,
                                     const FinderParams& params, bool ascii_text) {
  const std::span<const std::uint8_t> bytes(
      reinterpret_cast<const std::uint8_t*>(analysis_text.data()), analysis_text.size());
  const bool split = parallel::worth_splitting(bytes.size());
  // Sentence boundaries need only the text: they are found while the suffix array is built.
  const auto [sa, lcp, sentences] = build_suffix_array(
      split, [&] { return sentence_splitter::sentence_boundary_offsets(analysis_text); });
  interrupt::checkpoint();
  using Idx = typename std::decay_t<decltype(sa)>::value_type;
  const BasicAnalysisIndex<Idx> index{analysis_text, sa, lcp, sentences};
  const HashKey& key = string_interner::process_hash_key();

  // Candidates and substring elimination in one step, so that eliminated phrases never get
  // records (on repetitive text they hold most of the occurrences).
  const auto phrases = [&](auto&& after_scan) {
    auto records = collect_candidates(index, params, key, true, after_scan);
    interrupt::checkpoint();
    if (records.size() >= 2) {
      records = interval_merger::merge_adjacent_phrases(std::move(records), analysis_text);
    }
    return records;
  };
  if (!params.enable_block_detection) return phrases([] {});
  // The block search reads only the arrays, so on a large text it runs on a second thread: from
  // the end of the candidate scan (which takes both threads itself) to the end of the phrases,
  // whose remaining steps then stay on this thread.
  const auto search = [&] { return find_blocks(index, params, ascii_text); };
  std::optional<parallel::SideTask<decltype(search)>> blocks;
  auto records = phrases([&] { blocks.emplace(split, search); });
  return with_blocks(std::move(records), blocks->get(), analysis_text.size());
}

}  // namespace

std::vector<PhraseResult> process_test_string(
    std::string_view analysis_text, std::string_view source_text,
    std::span<const normalize::RemovedRange> removed_ranges, const FinderParams& params) {
  const std::span<const std::uint8_t> bytes(
      reinterpret_cast<const std::uint8_t*>(analysis_text.data()), analysis_text.size());
  constexpr auto kAuto = suffix_array::SuffixArrayBackend::Auto;
  const bool ascii_text = Utf16PositionTable::is_ascii(analysis_text);
  const auto sort32 = [&](bool split, auto&& beside) {
    return suffix_array::build_sa32_and_lcp_beside(bytes, split, beside);
  };
  const auto sort64 = [&](bool split, auto&& beside) {
    auto [sa, value] = parallel::both(
        split, [&] { return suffix_array::build_suffix_array_bytes_with_backend(bytes, kAuto); },
        beside);
    auto lcp = suffix_array::lcp_kasai<std::uint8_t>(bytes, sa, split);
    return std::tuple{std::move(sa), std::move(lcp), std::move(value)};
  };
  auto records = suffix_array::fits_32_bit_entries(bytes.size())
                     ? find_records(analysis_text, sort32, params, ascii_text)
                     : find_records(analysis_text, sort64, params, ascii_text);
  interrupt::checkpoint();
  translate_offsets(records, removed_ranges);
  // Phrases are slices of the analysis text, trimmed or with white space made single spaces.
  return sorted_results(std::move(records), source_text, ascii_text);
}

}  // namespace quarnel::core::duplicate_finder
