#include "base/string_interner.hpp"

#include <bit>
#include <cstring>
#include <random>
#include <stdexcept>

namespace quarnel::core::string_interner {
namespace {

constexpr std::size_t kInitialSlots = 64;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  template <int Rounds>
  void absorb(std::uint64_t m) {
    v3 ^= m;
    for (int r = 0; r < Rounds; ++r) round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

std::uint32_t tag_of(std::uint64_t hash) {
  return static_cast<std::uint32_t>(hash >> 32);
}

}  // namespace

template <int CompressionRounds, int FinalizationRounds>
std::uint64_t siphash(const HashKey& key, std::string_view data) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const std::size_t full = data.size() & ~std::size_t{7};
  for (std::size_t i = 0; i < full; i += 8) s.absorb<CompressionRounds>(load_le64(data.data() + i));
  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = full; i < data.size(); ++i) {
    last |= std::uint64_t{static_cast<unsigned char>(data[i])} << (8 * (i - full));
  }
  s.absorb<CompressionRounds>(last);
  s.v2 ^= 0xff;
  for (int r = 0; r < FinalizationRounds; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<1, 3>(const HashKey&, std::string_view);
template std::uint64_t siphash<2, 4>(const HashKey&, std::string_view);

const HashKey& process_hash_key() {
  static const HashKey key = [] {
    std::random_device device;
    const auto draw = [&] { return (std::uint64_t{device()} << 32) ^ std::uint64_t{device()}; };
    const std::uint64_t k0 = draw();
    return HashKey{k0, draw()};
  }();
  return key;
}

StringInterner::StringInterner(const HashKey& key, Storage storage)
    : key_(key), storage_(storage), slots_(kInitialSlots) {}

std::size_t StringInterner::probe(std::string_view s, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t tag = tag_of(hash);
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.id == kEmpty || (slot.tag == tag && keys_[slot.id] == s)) return i;
  }
}

std::optional<std::size_t> StringInterner::find(std::string_view s) const {
  const Slot& slot = slots_[probe(s, hash(s))];
  if (slot.id == kEmpty) return std::nullopt;
  return slot.id;
}

StringInterner::Interned StringInterner::intern(std::string_view s) {
  return insert(s, hash(s), storage_);
}

StringInterner::Interned StringInterner::intern_borrowed(std::string_view s) {
  return insert(s, hash(s), Storage::Borrow);
}

StringInterner::Interned StringInterner::intern_borrowed(std::string_view s, std::uint64_t hash) {
  return insert(s, hash, Storage::Borrow);
}

StringInterner::Interned StringInterner::insert(std::string_view s, std::uint64_t hash,
                                                Storage storage) {
  std::size_t at = probe(s, hash);
  if (slots_[at].id != kEmpty) return {slots_[at].id, false};
  if (keys_.size() >= kEmpty) throw std::length_error("StringInterner: too many keys");
  if (2 * (hashes_.size() + 1) > slots_.size()) {
    grow();
    at = probe(s, hash);
  }
  const auto id = static_cast<std::uint32_t>(keys_.size());
  keys_.push_back(storage == Storage::Copy ? store(s) : s);
  hashes_.push_back(hash);
  indexed_ids_.push_back(id);
  slots_[at] = {tag_of(hash), id};
  return {id, true};
}

std::size_t StringInterner::add_unindexed(std::string_view s) {
  if (keys_.size() >= kEmpty) throw std::length_error("StringInterner: too many keys");
  keys_.push_back(s);
  return keys_.size() - 1;
}

StringInterner::Keys StringInterner::take_keys() && {
  Keys keys{std::move(keys_), std::move(chunks_)};
  *this = StringInterner(key_, storage_);
  return keys;
}

void StringInterner::reserve(std::size_t more, std::size_t indexed) {
  keys_.reserve(keys_.size() + more);
  hashes_.reserve(hashes_.size() + indexed);
  indexed_ids_.reserve(indexed_ids_.size() + indexed);
  while (2 * (hashes_.size() + indexed) > slots_.size()) grow();
}

void StringInterner::grow() {
  const std::size_t size = slots_.size() * 2;
  std::vector<Slot>().swap(slots_);  // rebuilt from the hashes: the old table is not read
  slots_.assign(size, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t k = 0; k < hashes_.size(); ++k) {
    std::size_t i = static_cast<std::size_t>(hashes_[k]) & mask;
    while (slots_[i].id != kEmpty) i = (i + 1) & mask;
    slots_[i] = {tag_of(hashes_[k]), indexed_ids_[k]};
  }
}

std::string_view StringInterner::store(std::string_view s) {
  if (s.size() > free_bytes_) {
    const std::size_t bytes = std::max(kChunkBytes, s.size());
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    free_ = chunks_.back().get();
    free_bytes_ = bytes;
  }
  if (!s.empty()) std::memcpy(free_, s.data(), s.size());
  const std::string_view stored(free_, s.size());
  free_ += s.size();
  free_bytes_ -= s.size();
  return stored;
}

}  // namespace quarnel::core::string_interner
