// FM-index benchmark: construction speed, heap bytes per text byte, count time per pattern and
// locate time per occurrence at sampling levels 0..5.
//
//   bench_fm_index TEXT LOCATE_LIMIT LEN:LOCATE_PATTERNS LEN:COUNT_PATTERNS...
//
// A pattern file holds fixed-length patterns back to back. Locate runs the patterns in file order
// until LOCATE_LIMIT occurrences have been reported. bench/fm_index/sdsl_bench.cpp takes the same
// arguments and prints the same lines, so the two can be compared line by line; the checksums
// must agree.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "fm_index/fm_index.hpp"
#include "measure.hpp"

namespace {

namespace fm = quarnel::core::fm_index;
using Clock = std::chrono::steady_clock;
using quarnel::bench::best_of;
using quarnel::bench::read_file;

struct PatternSet {
  std::size_t len = 0;
  std::vector<std::uint8_t> data;
  [[nodiscard]] std::size_t size() const { return data.size() / len; }
  [[nodiscard]] std::span<const std::uint8_t> operator[](std::size_t k) const {
    return {data.data() + k * len, len};
  }
};

PatternSet read_patterns(const std::string& arg) {
  const auto colon = arg.find(':');
  if (colon == std::string::npos) throw std::runtime_error("expected LEN:FILE, got " + arg);
  PatternSet set;
  set.len = std::stoul(arg.substr(0, colon));
  set.data = read_file(arg.substr(colon + 1));
  return set;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Query timings are the best of several rounds, to measure the query rather than the noise of
// other processes on the machine.
constexpr int kCountRounds = 5;
constexpr int kLocateRounds = 3;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TEXT LOCATE_LIMIT LEN:LOCATE_PATTERNS LEN:COUNT_PATTERNS...\n",
                 argv[0]);
    return 2;
  }
  const auto text = read_file(argv[1]);
  const std::uint64_t locate_limit = std::stoull(argv[2]);
  const PatternSet locate_patterns = read_patterns(argv[3]);
  std::vector<PatternSet> count_sets;
  for (int a = 4; a < argc; ++a) count_sets.push_back(read_patterns(argv[a]));
  const double mb = static_cast<double>(text.size()) / 1e6;

  for (std::uint64_t level = 0; level <= 5; ++level) {
    const auto start = Clock::now();
    const fm::FMIndex index = fm::build_fm_index(text, level, false, false);
    const double build_seconds = seconds_since(start);
    std::printf("construct level=%llu seconds=%.3f mb_per_s=%.2f\n",
                static_cast<unsigned long long>(level), build_seconds, mb / build_seconds);

    if (level == 2) {
      const std::uint64_t bytes = fm::heap_size(index);
      std::printf("size level=2 bytes=%llu per_text_byte=%.4f\n",
                  static_cast<unsigned long long>(bytes),
                  static_cast<double>(bytes) / static_cast<double>(text.size()));
      for (const PatternSet& set : count_sets) {
        std::uint64_t checksum = 0;
        const double s = best_of(kCountRounds, [&] {
          checksum = 0;
          for (std::size_t k = 0; k < set.size(); ++k) checksum += fm::count(index, set[k]);
        });
        std::printf("count len=%zu patterns=%zu ns_per_pattern=%.1f checksum=%llu\n", set.len,
                    set.size(), s * 1e9 / static_cast<double>(set.size()),
                    static_cast<unsigned long long>(checksum));
      }
    }

    std::uint64_t occurrences = 0;
    std::uint64_t checksum = 0;
    std::size_t used = 0;
    const double s = best_of(kLocateRounds, [&] {
      occurrences = checksum = used = 0;
      for (; used < locate_patterns.size() && occurrences < locate_limit; ++used) {
        const auto positions = fm::locate(index, locate_patterns[used]);
        occurrences += positions.size();
        for (const auto p : positions) checksum += p;
      }
    });
    std::printf("locate level=%llu patterns=%zu occurrences=%llu ns_per_occ=%.1f checksum=%llu\n",
                static_cast<unsigned long long>(level), used,
                static_cast<unsigned long long>(occurrences),
                occurrences == 0 ? 0.0 : s * 1e9 / static_cast<double>(occurrences),
                static_cast<unsigned long long>(checksum));
    std::fflush(stdout);
  }
  return 0;
}
