#include "duplicate_finder/covered_intervals.hpp"

#include <algorithm>

#include "base/errors.hpp"

namespace quarnel::core::duplicate_finder {

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

}  // namespace quarnel::core::duplicate_finder
