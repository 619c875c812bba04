// Batch search of a kept suffix array: the time of search_many over many short patterns, on one
// thread and on two, with the stages it runs through reported separately.
//
//   bench_sa_batch TEXT SAVED_ARRAY [PATTERNS [ROUNDS [KEYS]]]
//
// KEYS is "both" (the default), "with" or "without": whether the search gets sampled keys.
// Under `valgrind --tool=callgrind --collect-atstart=no` only the searches are counted.
// SAVED_ARRAY is built and saved when missing, so that repeated runs skip the sort. Patterns are
// substrings of 4 to 12 bytes at random places, a tenth with their last byte changed (as in
// bench/bench_indexes.py). The checksum must not change between versions of the search.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define QUARNEL_TOGGLE_COLLECT() CALLGRIND_TOGGLE_COLLECT
#else
#define QUARNEL_TOGGLE_COLLECT()
#endif

#include "base/large_array.hpp"
#include "measure.hpp"
#include "suffix_array/suffix_index.hpp"

namespace {

namespace sa = quarnel::core::suffix_array;
using Clock = std::chrono::steady_clock;
using quarnel::bench::best_of;
using quarnel::bench::read_file;

sa::PatternBatch short_patterns(const std::vector<std::uint8_t>& text, std::size_t count) {
  std::mt19937_64 rng(20);
  sa::PatternBatch batch;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t m = 4 + rng() % 9;
    const std::size_t at = rng() % (text.size() - m);
    batch.bytes.insert(batch.bytes.end(), text.begin() + at, text.begin() + at + m);
    if (rng() % 10 == 0) batch.bytes.back() = static_cast<std::uint8_t>(1 + rng() % 255);
    batch.offsets.push_back(batch.bytes.size());
  }
  return batch;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TEXT SAVED_ARRAY [PATTERNS [ROUNDS]]\n", argv[0]);
    return 2;
  }
  const auto bytes = read_file(argv[1]);
  const std::string saved = argv[2];
  const std::size_t count = argc > 3 ? std::stoul(argv[3]) : 100000;
  const int rounds = argc > 4 ? std::stoi(argv[4]) : 5;
  const std::string which = argc > 5 ? argv[5] : "both";
  const sa::SymbolText text{bytes.data(), bytes.size(), 1};
  if (!std::filesystem::exists(saved)) sa::save_suffix_array(saved, text, sa::sort_suffixes(text));
  // Copied out of the mapping into memory advised for huge pages, as a built array is.
  const sa::IndexArray loaded = sa::load_suffix_array(saved, text);
  auto copy = std::make_shared<std::vector<std::uint32_t>>(
      quarnel::core::large_array<std::uint32_t>(loaded.size));
  std::copy_n(loaded.as<std::uint32_t>().data(), loaded.size, copy->data());
  const sa::IndexArray entries{copy->data(), copy->size(), 4, copy};
  const sa::PrefixBuckets buckets = sa::bucket_prefixes(text);
  const sa::PatternBatch batch = short_patterns(bytes, count);
  const auto start = Clock::now();
  const sa::SampledKeys keys = sa::sample_keys(text, entries);
  std::printf("sample_keys seconds=%.4f\n",
              std::chrono::duration<double>(Clock::now() - start).count());
  const sa::SampledKeys none;

  std::vector<sa::SaInterval> ranges(batch.size());
  for (const auto* aids : {&none, &keys}) {
    if (which == (aids == &keys ? "without" : "with")) continue;
    const double s = best_of(rounds, [&] {
      QUARNEL_TOGGLE_COLLECT();
      sa::search_many(text, entries, buckets, *aids, batch, ranges);
      QUARNEL_TOGGLE_COLLECT();
    });
    std::uint64_t checksum = 0;
    for (const auto& r : ranges) checksum = checksum * 31 + r.lo * 7 + r.hi;
    std::printf("keys=%d patterns=%zu seconds=%.4f m_per_s=%.2f checksum=%llu\n",
                aids == &keys ? 1 : 0, batch.size(), s, static_cast<double>(batch.size()) / s / 1e6,
                static_cast<unsigned long long>(checksum));
  }
  return 0;
}
