#include "fm_index/fm_index.hpp"
#include "persist/checksum.hpp"
#include "persist/mapped_file.hpp"
#include "test_support.hpp"

namespace fm = quarnel::core::fm_index;

namespace {

using quarnel::test::random_bytes;

// Flattened patterns: substrings, random strings, empty and null-byte ones.
struct Batch {
  Bytes bytes;
  std::vector<std::uint64_t> offsets{0};
  void add(std::span<const std::uint8_t> p) {
    bytes.insert(bytes.end(), p.begin(), p.end());
    offsets.push_back(bytes.size());
  }
  [[nodiscard]] std::span<const std::uint8_t> at(std::size_t k) const {
    return std::span(bytes).subspan(offsets[k], offsets[k + 1] - offsets[k]);
  }
};

Batch patterns_of(std::mt19937_64& rng, const Bytes& text) {
  Batch b;
  b.add({});
  b.add(std::array<std::uint8_t, 2>{0, 'a'});
  for (int k = 0; k < 3000; ++k) {
    const std::size_t m = 1 + rng() % 8;
    if (k % 2 == 0 && text.size() >= m) {
      const std::size_t at = rng() % (text.size() - m + 1);
      b.add(std::span(text).subspan(at, m));
    } else {
      b.add(random_bytes(rng, m, "abcA"));
    }
  }
  return b;
}

Bytes saved_bytes(const fm::FMIndex& index) {
  const fm::SavedForm form = fm::saved_form(index);
  Bytes out;
  for (const auto part : form.parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

class FMIndexBatchTest : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(FMIndexBatchTest, BatchCountsAndSavedFormsAnswerAsOneAtATime) {
  const auto [n, case_insensitive] = GetParam();
  std::mt19937_64 rng(n * 2 + case_insensitive);
  const auto text = random_bytes(rng, n, "abcAB ");
  const fm::FMIndex index = fm::build_fm_index(text, 2, case_insensitive, false);
  const Batch batch = patterns_of(rng, text);
  const std::size_t count = batch.offsets.size() - 1;

  std::vector<std::uint64_t> counts(count);
  fm::count_many(index, batch.bytes, batch.offsets, counts);
  Bytes saved = saved_bytes(index);
  const fm::FMIndex restored = fm::fm_index_from_bytes(saved);
  EXPECT_EQ(fm::heap_size(restored), fm::heap_size(index));
  const auto located = fm::locate_many(restored, batch.bytes, batch.offsets);
  for (std::size_t k = 0; k < count; ++k) {
    ASSERT_EQ(counts[k], fm::count(index, batch.at(k))) << k;
    ASSERT_EQ(quarnel::test::list_of(located, k), fm::locate(index, batch.at(k))) << k;
  }
  // A saved form one byte short, or with any header byte changed, is refused.
  EXPECT_THROW((void)fm::fm_index_from_bytes(std::span(saved).first(saved.size() - 1)),
               quarnel::core::persist::FormatError);
  for (std::size_t byte = 0; byte < 2368; byte += 29) {
    saved[byte] ^= 0x10;
    EXPECT_THROW((void)fm::fm_index_from_bytes(saved), quarnel::core::persist::FormatError) << byte;
    saved[byte] ^= 0x10;
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, FMIndexBatchTest,
                         ::testing::Combine(::testing::Values(0, 1, 7, 600, 20000),
                                            ::testing::Bool()));

// The suffix trie of a batch, whatever its size limit (1 sends every pattern to search alone,
// small ones make it restart within the batch) and whatever the order of the patterns (shared
// suffixes or none, duplicates next to each other or apart), counts as a scan of the text.
class TrieBatchTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(TrieBatchTest, CountsMatchAScanOfTheText) {
  const auto [n, trie_nodes] = GetParam();
  std::mt19937_64 rng(n + 31 * trie_nodes);
  const auto text = random_bytes(rng, n, "abcd");
  const fm::FMIndex index = fm::build_fm_index(text, 2, false, false);
  Batch batch = patterns_of(rng, text);
  const Bytes longer(text.size() + 1, 'a');
  batch.add(longer);
  batch.add(text);
  for (std::size_t k = 0; k < 50; ++k) batch.add(batch.at(2 + k));  // duplicates
  const std::size_t count = batch.offsets.size() - 1;
  std::vector<std::uint32_t> as_given(count);
  std::iota(as_given.begin(), as_given.end(), 0U);
  std::vector<std::uint32_t> backwards = as_given;
  std::sort(backwards.begin(), backwards.end(), [&](std::uint32_t x, std::uint32_t y) {
    const auto a = batch.at(x);
    const auto b = batch.at(y);
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  });
  for (const auto& order : {as_given, backwards}) {
    std::vector<std::uint64_t> counts(count, ~std::uint64_t{0});
    index.index.count_batch(batch.bytes, batch.offsets, order, 0, count, counts.data(), trie_nodes);
    for (std::size_t k = 0; k < count; ++k) {
      // Patterns with the sentinel byte 0 are left to search(), which reads the text cyclically.
      const auto p = batch.at(k);
      const bool plain = std::find(p.begin(), p.end(), 0) == p.end();
      ASSERT_EQ(counts[k],
                plain ? quarnel::test::occurrences(text, p).size() : index.index.search(p).size())
          << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, TrieBatchTest,
                         ::testing::Combine(::testing::Values(1, 9, 3000),
                                            ::testing::Values(1, 2, 5, 40,
                                                              fm::FMIndexBackend::kTrieNodes)));

// A saved form edited as an attacker who knows the documented layout would edit it: both
// checksums are recomputed after the edit, so only the structural checks can refuse it.
class EditedForm {
 public:
  static constexpr std::size_t kHeader = 2368;

  explicit EditedForm(const fm::FMIndex& index)
      : bytes(saved_bytes(index)), rows(index.index.len()), lines_per_level(get(72)) {}
  [[nodiscard]] std::uint64_t get(std::size_t at) const {
    std::uint64_t v;
    std::memcpy(&v, bytes.data() + at, 8);
    return v;
  }
  void put(std::size_t at, std::uint64_t v) { std::memcpy(bytes.data() + at, &v, 8); }
  // Byte offset of line `line` of level j.
  [[nodiscard]] std::size_t line(unsigned j, std::uint64_t line) const {
    return kHeader + 64 * (j * lines_per_level + line);
  }
  [[nodiscard]] std::size_t samples() const { return line(8, 0); }
  [[nodiscard]] std::uint64_t blocks() const { return rows / 512 + 1; }
  void set_bit(std::size_t base, std::uint64_t bit, bool on) {
    auto& b = bytes[base + bit / 8];
    b = static_cast<std::uint8_t>(on ? b | (1U << (bit % 8)) : b & ~(1U << (bit % 8)));
  }
  [[nodiscard]] bool bit(std::size_t base, std::uint64_t bit) const {
    return (bytes[base + bit / 8] >> (bit % 8)) & 1U;
  }
  Bytes sealed() {
    using quarnel::core::persist::checksum64;
    const std::span<const std::uint8_t> all(bytes);
    put(88, checksum64(all.subspan(kHeader)));
    put(2360, checksum64(all.first(2360)));
    return bytes;
  }

  Bytes bytes;
  std::uint64_t rows;
  std::uint64_t lines_per_level;
};

struct DamageCase {
  const char* name;
  std::function<void(EditedForm&)> edit;
  const char* refusal;  // part of the message
};

// Text over 'a', 'b' and a few spaces, their runs collapsed: a small alphabet gives near-constant
// levels, and the collapse gives a delta table.
fm::FMIndex damage_subject() {
  std::mt19937_64 rng(9);
  std::string text;
  for (int k = 0; k < 3000; ++k) text += "abababababab "[rng() % 13];
  return fm::build_fm_index(quarnel::test::bytes_of(text), 2, false, true);
}

class DamagedFieldTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedFieldTest, IsRefusedThoughTheChecksumsHold) {
  const fm::FMIndex index = damage_subject();
  EditedForm form(index);
  ASSERT_GT(form.get(64), 0U);  // the subject has deltas
  GetParam().edit(form);
  try {
    (void)fm::fm_index_from_bytes(form.sealed());
    FAIL() << "loaded";
  } catch (const quarnel::core::persist::FormatError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().refusal), std::string::npos) << e.what();
  }
}

const DamageCase kDamageCases[] = {
    {"CountLineRaised",
     [](EditedForm& f) {
       f.put(f.line(6, f.blocks()), f.get(f.line(6, f.blocks())) + (1ULL << 40));
     },
     "count lines of level 6"},
    // Zero blocks with zero count lines agree, but not with the ones the summary counts.
    {"PayloadZeroed",
     [](EditedForm& f) { std::fill(f.bytes.begin() + EditedForm::kHeader, f.bytes.end(), 0); },
     "summary of level 1"},
    {"BitPastTheEnd", [](EditedForm& f) { f.set_bit(f.line(6, f.blocks() - 1), 511, true); },
     "count lines of level 6"},
    {"BucketsNotAscending", [](EditedForm& f) { f.put(96 + 8 * 'b', f.get(96 + 8 * 'a') - 1); },
     "bucket starts"},
    {"ZeroCount", [](EditedForm& f) { f.put(2144 + 24 * 6, f.get(2144 + 24 * 6) + 1); },
     "zero count of level 6"},
    {"NearConstantFlagDropped", [](EditedForm& f) { f.put(2144 + 16, 0); }, "summary of level 0"},
    {"ExceptionMoved", [](EditedForm& f) { f.put(2144 + 24 + 8, f.get(2144 + 24 + 8) ^ 1); },
     "summary of level 1"},
    {"UnknownFlag", [](EditedForm& f) { f.bytes[12] |= 4; }, "unknown flags"},
    {"RowsBeyondTheFormat",
     [](EditedForm& f) { f.put(16, 1ULL << 47), f.put(48, (1ULL << 47) + 1); }, "row count"},
    {"BitsPastTheLastSample",
     [](EditedForm& f) {
       const std::size_t words_at = f.samples() + 8 * (f.get(56) - 1);
       f.put(words_at, f.get(words_at) | (1ULL << 63));
     },
     "bits past the last sample"},
    {"DeltaCountOverflowing", [](EditedForm& f) { f.put(64, 1ULL << 60); }, "delta count"},
    {"DeltasDescending",
     [](EditedForm& f) {
       const std::size_t last = f.bytes.size() - 16;
       f.put(last, f.get(last - 16) - 1);
     },
     "delta table"},
    // A bit moved inside one block: every count line still holds, but the sentinel's node on
    // level 6 (position 0) gets a one bit its symbol does not have (the spaces' node after it
    // is shorter than a block, so the first one bit is in block 0).
    {"BitMovedAcrossNodes",
     [](EditedForm& f) {
       const std::size_t block = f.line(6, 0);
       std::uint64_t p = 1;
       while (!f.bit(block, p)) ++p;
       f.set_bit(block, p, false);
       f.set_bit(block, 0, true);
     },
     "levels disagree with the bucket starts"},
};

INSTANTIATE_TEST_SUITE_P(Classes, DamagedFieldTest, ::testing::ValuesIn(kDamageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Bits moved inside level 0's blocks leave every check of the load intact (one node, the same
// counts) but change the LF mapping, which can then fall into cycles without a sample: every walk
// must either reach a sample, within n steps, or report the damage.
TEST(DamagedIndex, LocateWalksAreBoundedByTheRowCount) {
  std::mt19937_64 rng(3);
  const auto text = random_bytes(rng, 4000, "\x01\x81");
  const fm::FMIndex index = fm::build_fm_index(text, 4, false, false);
  std::uint64_t damaged = 0, loaded = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    EditedForm form(index);
    for (int k = 0; k < 8; ++k) {
      const std::uint64_t p = rng() % 4000, q = rng() % 4000;
      const std::size_t block = form.line(0, 0);
      const bool bp = form.bit(block, p), bq = form.bit(block, q);
      if ((p >> 9) != (q >> 9)) continue;  // same block: the count lines stay right
      form.set_bit(block, p, bq);
      form.set_bit(block, q, bp);
    }
    const fm::FMIndex edited = fm::fm_index_from_bytes(form.sealed());
    ++loaded;
    std::vector<std::uint64_t> out;
    try {
      edited.index.locate_rows({0, edited.index.len()}, out);
      for (const std::uint64_t p : out) ASSERT_LT(p, edited.index.len());
    } catch (const fm::FMIndexError& e) {
      EXPECT_EQ(e.kind(), fm::FMIndexError::Kind::Damaged);
      EXPECT_STREQ(e.what(), "index is damaged");
      ++damaged;
    }
  }
  EXPECT_EQ(loaded, 40U);
  EXPECT_GT(damaged, 0U);
}

// A sample beyond the text loads (checking every sample would cost a pass of its own) and is
// reported by the walks that read it; a file shorter or longer than its header says is refused
// before it is mapped.
TEST(DamagedIndex, SampleBeyondTheTextIsReportedAndTheFileSizeCheckedBeforeMapping) {
  const fm::FMIndex index = damage_subject();
  EditedForm form(index);
  const Bytes good = form.bytes;
  const unsigned width = static_cast<unsigned>(form.get(40));
  for (unsigned b = 0; b < width; ++b) form.set_bit(form.samples(), width + b, true);  // sample 1
  const fm::FMIndex edited = fm::fm_index_from_bytes(form.sealed());
  std::vector<std::uint64_t> out;
  EXPECT_THROW(edited.index.locate_rows({0, edited.index.len()}, out), fm::FMIndexError);
  EXPECT_EQ(edited.index.get_sa(1 << form.get(32)), fm::FMIndexBackend::kDamaged);
  const std::string path = quarnel::test::temp_path("_quarnel_fm_size.qfm");
  for (const std::size_t size : {good.size() - 64, good.size() + 8}) {
    Bytes content = good;
    content.resize(size);
    quarnel::test::write_file(path, content);
    EXPECT_THROW((void)fm::load_fm_index(path), quarnel::core::persist::FormatError) << size;
  }
  std::filesystem::remove(path);
}

}  // namespace
