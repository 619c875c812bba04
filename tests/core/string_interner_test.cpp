#include "base/string_interner.hpp"

#include "test_support.hpp"

namespace si = quarnel::core::string_interner;

namespace {

constexpr si::HashKey kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

// Published SipHash-2-4 outputs for key 00..0f and messages 00, 01, ..., n-1; the 1-3 form
// depends on the key, every byte and the length.
TEST(SipHash, ReferenceVectorsAndEveryInputBit) {
  EXPECT_EQ((si::siphash<2, 4>(kReferenceKey, "")), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(
      (si::siphash<2, 4>(kReferenceKey, std::string("\0\1\2\3\4\5\6\7\10\11\12\13\14\15\16", 15))),
      0xa129ca6149be45e5ULL);
  const std::string base = "alpha beta gamma delta";
  const auto h = si::siphash13(kReferenceKey, base);
  EXPECT_NE(h, si::siphash13({1, 2}, base));
  for (std::size_t i = 0; i < base.size(); ++i) {
    std::string changed = base;
    changed[i] ^= 1;
    EXPECT_NE(h, si::siphash13(kReferenceKey, changed)) << i;
  }
  EXPECT_NE(si::siphash13(kReferenceKey, std::string(8, '\0')),
            si::siphash13(kReferenceKey, std::string(9, '\0')));
}

// Ids are dense in first-insertion order whatever the key (the process's fixed once), unindexed
// keys taking ids in the same sequence but never matching; room reserved part-way (more or less
// than is then added) changes no id and loses no key.
TEST(StringInterner, IdsFollowFirstInsertionWhateverTheKeyAndTheRoomReserved) {
  EXPECT_EQ(&si::process_hash_key(), &si::process_hash_key());
  EXPECT_FALSE(si::process_hash_key().k0 == 0 && si::process_hash_key().k1 == 0);
  std::mt19937 rng(8);
  std::vector<std::string> inputs;
  for (int i = 0; i < 6000; ++i) inputs.push_back(std::to_string(rng() % 1500) + "y");
  for (const si::HashKey key : {si::HashKey{1, 2}, si::HashKey{3, 4}, si::process_hash_key()}) {
    for (const std::size_t reserve_at : {0, 1, 700, 3000, 9999}) {
      for (const std::size_t room : {1, 500, 20000}) {
        si::StringInterner interner(key);
        std::map<std::string, std::size_t> ids;  // of the indexed keys
        std::vector<std::string> by_id;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
          if (i == reserve_at) interner.reserve(room, room / 2);
          if (i % 7 == 0) {
            ASSERT_EQ(interner.add_unindexed(inputs[i]), by_id.size());
            by_id.push_back(inputs[i]);
            continue;
          }
          const auto [it, is_new] = ids.emplace(inputs[i], by_id.size());
          if (is_new) by_id.push_back(inputs[i]);
          const auto got = interner.intern(inputs[i]);
          ASSERT_EQ(got.id, it->second);
          ASSERT_EQ(got.inserted, is_new);
        }
        ASSERT_EQ(interner.size(), by_id.size());
        for (std::size_t id = 0; id < by_id.size(); ++id) ASSERT_EQ(interner.key(id), by_id[id]);
        for (const auto& s : by_id) {  // the keys added only unindexed are not found
          ASSERT_EQ(interner.find(s), ids.contains(s) ? std::optional(ids.at(s)) : std::nullopt);
        }
        EXPECT_FALSE(interner.find("absent").has_value());
      }
    }
  }
}

// The keys taken out read as they did, copied ones (one larger than a storage chunk, one empty)
// from the storage taken with them, and the interner starts afresh.
TEST(StringInterner, TakenKeysOutliveTheInterner) {
  si::StringInterner interner(kReferenceKey);
  std::vector<std::string> expected{std::string(3'000'000, 'q'), ""};
  for (int i = 0; i < 3000; ++i) expected.push_back("key " + std::to_string(i));
  for (std::size_t id = 0; id < expected.size(); ++id) {
    std::string source = expected[id];
    ASSERT_EQ(interner.intern(source).id, id);
    source.assign(source.size(), '#');  // copied keys do not read their source again
  }
  EXPECT_EQ(interner.intern("").id, 1U);
  const std::string borrowed = "borrowed bytes";
  ASSERT_EQ(interner.add_unindexed(borrowed), expected.size());
  expected.push_back(borrowed);
  si::StringInterner::Keys keys = std::move(interner).take_keys();
  ASSERT_EQ(keys.by_id.size(), expected.size());
  for (std::size_t id = 0; id < expected.size(); ++id) ASSERT_EQ(keys.by_id[id], expected[id]);
  EXPECT_EQ(keys.by_id.back().data(), borrowed.data());
  EXPECT_EQ(interner.size(), 0U);
  EXPECT_EQ(interner.intern("key 5").id, 0U);
}

// A borrowing interner keeps views of the caller's bytes; a copying one can keep chosen keys as
// views too, and they meet copied ones as equals.
TEST(StringInterner, BorrowedKeysPointIntoTheCallersBytes) {
  const std::string text = "abcabc";
  si::StringInterner borrowing(kReferenceKey, si::StringInterner::Storage::Borrow);
  EXPECT_TRUE(borrowing.intern(std::string_view(text).substr(0, 3)).inserted);
  EXPECT_FALSE(borrowing.intern(std::string_view(text).substr(3)).inserted);
  EXPECT_EQ(borrowing.key(0).data(), text.data());
  si::StringInterner interner(kReferenceKey);
  const auto borrowed = interner.intern_borrowed(std::string_view(text).substr(0, 3));
  EXPECT_TRUE(borrowed.inserted);
  EXPECT_EQ(interner.key(borrowed.id).data(), text.data());
  EXPECT_EQ(interner.intern(std::string("abc")).id, borrowed.id);
  const auto copied = interner.intern(std::string("bca"));
  EXPECT_FALSE(interner.intern_borrowed(std::string_view(text).substr(1, 3)).inserted);
  EXPECT_NE(interner.key(copied.id).data(), text.data() + 1);
}

}  // namespace
