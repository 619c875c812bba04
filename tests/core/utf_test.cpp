#include "text/utf.hpp"

#include "test_support.hpp"
#include "text/tokenizer.hpp"
#include "text/white_space.hpp"

namespace utf = quarnel::core::utf;
namespace ws = quarnel::core::white_space;
namespace tk = quarnel::core::tokenizer;

namespace {

// The generalised UTF-8 form of any value up to 21 bits in `length` bytes, overlong or not.
std::string encode_in(char32_t c, std::size_t length) {
  if (length == 1) return std::string(1, static_cast<char>(c));
  static constexpr unsigned char kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  std::string out(length, '\0');
  for (std::size_t k = length; k-- > 1;) {
    out[k] = static_cast<char>(0x80 | (c & 0x3F));
    c >>= 6;
  }
  out[0] = static_cast<char>(kLead[length] | c);
  return out;
}

std::size_t shortest_length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Every value of 21 bits in every length that can hold it: valid exactly in its shortest form,
// for scalar values; decoding gives the value back and steps over it, or U+FFFD and one byte.
TEST(Utf8, ValidatorAndDecoderAgreeWithTheEncodingRules) {
  for (char32_t c = 0; c < 0x140000; ++c) {
    const bool scalar = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    for (std::size_t length = shortest_length(c); length <= 4; ++length) {
      if (length > 1 && c < 0x80 && length != 2) continue;  // the overlong forms: 2 bytes suffice
      const std::string bytes = encode_in(c, length);
      const bool valid = scalar && length == shortest_length(c);
      ASSERT_EQ(utf::is_valid_utf8(bytes), valid)
          << std::hex << static_cast<unsigned>(c) << " in " << length;
      std::size_t pos = 0;
      const char32_t decoded = utf::decode_utf8(bytes, pos);
      ASSERT_EQ(static_cast<unsigned>(decoded), valid ? static_cast<unsigned>(c) : 0xFFFDU)
          << std::hex << static_cast<unsigned>(c);
      ASSERT_EQ(pos, valid ? length : 1) << std::hex << static_cast<unsigned>(c);
      if (valid && length > 1) {
        ASSERT_FALSE(utf::is_valid_utf8(bytes.substr(0, length - 1)))
            << std::hex << static_cast<unsigned>(c);
      }
    }
    if (c % 0x1000 == 0) {
      ASSERT_EQ(utf::count_code_points(encode_in(c, shortest_length(c))), 1U);
    }
  }
  // Long runs of ASCII take the eight-byte path, with a bad byte anywhere in them.
  for (std::size_t at = 0; at < 24; ++at) {
    std::string text(24, 'a');
    EXPECT_TRUE(utf::is_valid_utf8(text));
    text[at] = '\x80';
    EXPECT_FALSE(utf::is_valid_utf8(text)) << at;
    EXPECT_FALSE(utf::is_ascii(text));
  }
}

// Random mixtures of ASCII, lead and continuation bytes, some behind a run of ASCII: valid
// exactly when every character decodes without a replacement (there is no 0xBD to spell U+FFFD).
TEST(Utf8, ValidatorAgreesWithTheDecoderOnMixedSequences) {
  std::mt19937_64 rng(5);
  const std::string bytes =
      "a "
      "\x7F\x80\x8F\x90\x9F\xA0\xBF\xC0\xC1\xC2\xDF\xE0\xE1\xEC\xED\xEE\xEF\xF0\xF1\xF3\xF4\xF5"
      "\xFF";
  int valid_seen = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string s(round % 4 == 0 ? 9 + rng() % 8 : 0, 'x');
    for (std::size_t n = rng() % 12; n > 0; --n) s += bytes[rng() % bytes.size()];
    bool expected = true;
    for (std::size_t pos = 0; pos < s.size() && expected;)
      expected = utf::decode_utf8(s, pos) != 0xFFFD;
    valid_seen += expected ? 1 : 0;
    ASSERT_EQ(utf::is_valid_utf8(s), expected) << round;
  }
  EXPECT_GT(valid_seen, 100);
}

// Unicode White_Space, by the list, against the code-point form and the byte form of every
// character encoded.
TEST(WhiteSpace, BothFormsMatchTheListOnEveryCharacter) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string bytes = encode_in(c, shortest_length(c));
    ASSERT_EQ(ws::is_white_space(c), quarnel::test::listed_white_space(c))
        << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(ws::white_space_length_at(bytes, 0),
              quarnel::test::listed_white_space(c) ? bytes.size() : 0)
        << std::hex << static_cast<unsigned>(c);
  }
}

// Word bytes are the ASCII alphanumerics and every byte above ASCII.
bool word_byte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || static_cast<unsigned char>(c) >= 0x80;
}

// Direct definition: word k is the k-th maximal run of word bytes.
std::pair<Offsets, Offsets> runs_of_word_bytes(const std::string& text) {
  Offsets starts, ends;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (word_byte(text[i]) && (i == 0 || !word_byte(text[i - 1]))) starts.push_back(i);
    if (word_byte(text[i]) && (i + 1 == text.size() || !word_byte(text[i + 1]))) {
      ends.push_back(i + 1);
    }
  }
  return {starts, ends};
}

// Every byte value, half of them non-ASCII: empty texts, words at either end, punctuation and
// control bytes between them; texts across several 64-byte blocks, some of one word or of none.
TEST(Tokenizer, MatchesRunsOfWordBytesOnRandomBytes) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(tk::is_word_byte(static_cast<unsigned char>(b)), word_byte(static_cast<char>(b)))
        << b;
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 600; ++round) {
    std::string text(rng() % 200, '\0');
    const unsigned mode = rng() % 3;  // any byte, mostly words, mostly gaps
    for (auto& c : text) {
      c = static_cast<char>(mode == 0        ? rng() % 256
                            : rng() % 8 != 0 ? (mode == 1 ? 'a' : ' ')
                                             : rng() % 256);
    }
    const auto [starts, ends] = runs_of_word_bytes(text);
    EXPECT_EQ(tk::word_starts(text), starts) << round;
    EXPECT_EQ(tk::word_ends(text), ends) << round;
    EXPECT_EQ(tk::count_words(text), starts.size()) << round;
    for (std::size_t p = 0; p < text.size(); ++p) {
      const bool listed = std::binary_search(starts.begin(), starts.end(), p);
      EXPECT_EQ(tk::starts_word_at(text, p), listed) << round << " at " << p;
    }
  }
}

}  // namespace
