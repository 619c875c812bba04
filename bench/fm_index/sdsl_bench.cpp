// Peer benchmark: sdsl-lite's csa_wt (Huffman-shaped wavelet tree, suffix-order SA sampling) on
// the same inputs as bench/cpp/bench_fm_index.cpp, printing the same lines. Sampling level L of
// our index corresponds to an SA sample density of 2^L.
//
//   sdsl_bench TEXT LOCATE_LIMIT LEN:LOCATE_PATTERNS LEN:COUNT_PATTERNS...

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sdsl/suffix_arrays.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct PatternSet {
  std::size_t len = 0;
  std::string data;
  std::size_t size() const { return data.size() / len; }
  const char* begin(std::size_t k) const { return data.data() + k * len; }
  const char* end(std::size_t k) const { return begin(k) + len; }
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

template <class Body>
double best_of(int rounds, Body&& body) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    body();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

template <std::uint32_t kDensity>
void run_level(unsigned level, const std::string& text, std::uint64_t locate_limit,
               const PatternSet& locate_patterns, const std::vector<PatternSet>& count_sets) {
  using Csa = sdsl::csa_wt<sdsl::wt_huff<>, kDensity, 64>;
  const double mb = static_cast<double>(text.size()) / 1e6;
  Csa csa;
  const auto start = Clock::now();
  sdsl::construct_im(csa, text, 1);
  const double build_seconds = seconds_since(start);
  std::printf("construct level=%u seconds=%.3f mb_per_s=%.2f\n", level, build_seconds,
              mb / build_seconds);

  if (level == 2) {
    const std::uint64_t bytes = sdsl::size_in_bytes(csa);
    std::printf("size level=2 bytes=%llu per_text_byte=%.4f\n",
                static_cast<unsigned long long>(bytes),
                static_cast<double>(bytes) / static_cast<double>(text.size()));
    for (const PatternSet& set : count_sets) {
      std::uint64_t checksum = 0;
      const double s = best_of(kCountRounds, [&] {
        checksum = 0;
        for (std::size_t k = 0; k < set.size(); ++k) {
          checksum += sdsl::count(csa, set.begin(k), set.end(k));
        }
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
      const auto positions =
          sdsl::locate(csa, locate_patterns.begin(used), locate_patterns.end(used));
      occurrences += positions.size();
      for (const auto p : positions) checksum += p;
    }
  });
  std::printf("locate level=%u patterns=%zu occurrences=%llu ns_per_occ=%.1f checksum=%llu\n",
              level, used, static_cast<unsigned long long>(occurrences),
              occurrences == 0 ? 0.0 : s * 1e9 / static_cast<double>(occurrences),
              static_cast<unsigned long long>(checksum));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s TEXT LOCATE_LIMIT LEN:LOCATE_PATTERNS LEN:COUNT_PATTERNS...\n",
                 argv[0]);
    return 2;
  }
  const std::string text = read_file(argv[1]);
  const std::uint64_t locate_limit = std::stoull(argv[2]);
  const PatternSet locate_patterns = read_patterns(argv[3]);
  std::vector<PatternSet> count_sets;
  for (int a = 4; a < argc; ++a) count_sets.push_back(read_patterns(argv[a]));

  run_level<1>(0, text, locate_limit, locate_patterns, count_sets);
  run_level<2>(1, text, locate_limit, locate_patterns, count_sets);
  run_level<4>(2, text, locate_limit, locate_patterns, count_sets);
  run_level<8>(3, text, locate_limit, locate_patterns, count_sets);
  run_level<16>(4, text, locate_limit, locate_patterns, count_sets);
  run_level<32>(5, text, locate_limit, locate_patterns, count_sets);
  return 0;
}
