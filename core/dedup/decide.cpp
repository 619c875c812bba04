// The first place of each fingerprint, for engines that gather a fingerprint's records
// elsewhere (a distributed shuffle): one sort of the records by fingerprint, then place.

#include <algorithm>
#include <tuple>

#include "base/errors.hpp"
#include "base/interrupt.hpp"
#include "dedup/dedup.hpp"

namespace quarnel::core::dedup {
namespace {

struct Record {
  std::uint64_t high;
  std::uint64_t low;
  std::uint64_t document;
  std::uint32_t word;
  std::uint32_t corpus;  // 0 for a reference place, so that it comes first
  std::uint64_t row;
};

}  // namespace

Decided decide(std::span<const std::uint64_t> high, std::span<const std::uint64_t> low,
               std::span<const std::uint64_t> document, std::span<const std::uint32_t> word,
               std::span<const std::uint8_t> reference) {
  const std::size_t n = high.size();
  if (low.size() != n || document.size() != n || word.size() != n || reference.size() != n) {
    throw UsageError("records: every column must have as many rows");
  }
  std::vector<Record> records(n);
  for (std::size_t r = 0; r < n; ++r) {
    records[r] = {high[r], low[r], document[r], word[r], reference[r] != 0 ? 0u : 1u, r};
  }
  interrupt::checkpoint();
  const auto key = [](const Record& a) {
    return std::tie(a.high, a.low, a.corpus, a.document, a.word);
  };
  std::sort(records.begin(), records.end(),
            [&](const Record& a, const Record& b) { return key(a) < key(b); });
  interrupt::checkpoint();
  Decided out;
  for (std::size_t begin = 0, end; begin < n; begin = end) {
    end = begin + 1;
    while (end < n && records[end].high == records[begin].high &&
           records[end].low == records[begin].low) {
      ++end;
    }
    const bool in_reference = records[begin].corpus == 0;
    for (std::size_t r = begin + (in_reference ? 0 : 1); r < end; ++r) {
      if (records[r].corpus == 0) continue;
      out.marked.push_back(records[r].row);
      out.kept.push_back(in_reference ? kNoCopy : records[begin].row);
    }
  }
  return out;
}

}  // namespace quarnel::core::dedup
