#include "duplicate_finder/positions.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/large_array.hpp"
#include "base/swar.hpp"
#include "text/tokenizer.hpp"
#include "text/white_space.hpp"

namespace quarnel::core::duplicate_finder {
namespace {

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
        classes.space !=
            lanes(white_space::white_space_length_at(std::string_view(c, 1), 0) == 1) ||
        classes.plain != lanes(byte == ' ')) {
      return false;
    }
  }
  return true;
}
static_assert(ascii_classes_agree());

}  // namespace

PositionIndex::PositionIndex(std::string_view text,
                             std::span<const std::uint64_t> sentence_boundaries)
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
  std::array<std::uint64_t, 2> counted{};
  for (Block& block : blocks_) block.counted.count_from(counted);
}

// A whole block of ASCII bytes, as most of prose is, is marked 64 bytes at once: each of its
// white-space characters is one byte. Same marks as the byte walk below; false for any other
// block.
bool PositionIndex::mark_ascii_block(std::string_view text, std::size_t b, bool& previous_is_word,
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
  blocks_[b].counted.bits[kSpaceBytes] = space;
  // A white-space byte is altered unless it is a lone ' ' after a byte that is not one.
  blocks_[b].counted.bits[kAlterations] = space & ((space << 1) | (after_space ? 1 : 0) | ~plain);
  previous_is_word = (word >> 63) != 0;
  after_space = (space >> 63) != 0;
  return true;
}

// One pass over the text, each block's bits gathered in registers. Words are the tokenizer's:
// maximal runs of word bytes; an end (exclusive) is marked on the word's last byte.
void PositionIndex::mark_words_and_white_space(std::string_view text) {
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
      const std::size_t length = white_space::may_begin_white_space(byte)
                                     ? white_space::white_space_length_at(text, i)
                                     : 0;
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
    blocks_[b].counted.bits[kSpaceBytes] = space;
    blocks_[b].counted.bits[kAlterations] = alterations;
  }
  if (previous_is_word) set(&Block::ends, text.size() - 1);
}

}  // namespace quarnel::core::duplicate_finder
