#pragma once
// Dense ids for distinct byte strings, behind a hash table keyed with SipHash under a secret
// random key: text from users cannot be crafted to collide, and ids follow first insertion, so
// nothing built from the ids depends on the key or on the table layout.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/prefetch.hpp"

namespace quarnel::core::string_interner {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-c-d of `data` under `key`.
template <int CompressionRounds, int FinalizationRounds>
[[nodiscard]] std::uint64_t siphash(const HashKey& key, std::string_view data);

[[nodiscard]] inline std::uint64_t siphash13(const HashKey& key, std::string_view data) {
  return siphash<1, 3>(key, data);
}

// Drawn from std::random_device on first use, then fixed for the life of the process.
[[nodiscard]] const HashKey& process_hash_key();

class StringInterner {
 public:
  // Copy: keys are copied into the interner's own storage. Borrow: the caller keeps the bytes of
  // every interned view alive for the interner's lifetime.
  enum class Storage : std::uint8_t { Copy, Borrow };

  struct Interned {
    std::size_t id = 0;
    bool inserted = false;
  };

  explicit StringInterner(const HashKey& key, Storage storage = Storage::Copy);

  // Id of `s`, added with the next id if new. Ids stay below 2^32 - 1; exhausting them throws
  // std::length_error.
  Interned intern(std::string_view s);
  // As intern, but a new key is kept as the given view whatever the storage mode: the caller
  // keeps its bytes alive for the interner's lifetime.
  Interned intern_borrowed(std::string_view s);
  // The same with `hash` = hash(s) computed ahead: a caller that hashes a few keys ahead and
  // prefetches their slots keeps several table misses in flight instead of one.
  Interned intern_borrowed(std::string_view s, std::uint64_t hash);
  [[nodiscard]] std::uint64_t hash(std::string_view s) const { return siphash13(key_, s); }
  void prefetch(std::uint64_t hash) const {
    prefetch_read(slots_.data() + (static_cast<std::size_t>(hash) & (slots_.size() - 1)));
  }
  // A new id for `s`, borrowed as by intern_borrowed, that neither intern nor find will ever
  // return: for callers that know by other means that `s` is distinct from every key they will
  // look up, and so need not hash it.
  std::size_t add_unindexed(std::string_view s);
  [[nodiscard]] std::optional<std::size_t> find(std::string_view s) const;
  // The keys by id, and the bytes of the copied ones, which the views point into; the interner is
  // left empty, its lookup tables freed: for an owner whose keys another interner takes over.
  struct Keys {
    std::vector<std::string_view> by_id;
    std::vector<std::unique_ptr<char[]>> storage;
  };
  [[nodiscard]] Keys take_keys() &&;
  // Room for `more` keys beyond those held, `indexed` of them added by intern: adding them then
  // moves nothing, where growing by doubling could take twice the room they need.
  void reserve(std::size_t more, std::size_t indexed);
  [[nodiscard]] std::string_view key(std::size_t id) const { return keys_[id]; }
  [[nodiscard]] std::size_t size() const { return keys_.size(); }

 private:
  // Eight bytes per slot keeps the table small for the cache: the high half of the hash as a tag
  // (keys are compared only when tags agree) and a 32-bit id.
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t id = kEmpty;
  };
  static constexpr std::uint32_t kEmpty = 0xFFFF'FFFF;

  [[nodiscard]] std::size_t probe(std::string_view s, std::uint64_t hash) const;
  Interned insert(std::string_view s, std::uint64_t hash, Storage storage);
  void grow();
  std::string_view store(std::string_view s);

  HashKey key_;
  Storage storage_;
  std::vector<Slot> slots_;  // power-of-two size, linear probing, at most half full
  std::vector<std::string_view> keys_;
  // Hash and id of every indexed key, so that growing never rehashes a key.
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> indexed_ids_;
  std::vector<std::unique_ptr<char[]>> chunks_;  // stable storage of copied keys
  char* free_ = nullptr;
  std::size_t free_bytes_ = 0;
};

}  // namespace quarnel::core::string_interner
