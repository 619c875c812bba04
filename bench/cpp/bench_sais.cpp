// Times our SA-IS against libdivsufsort on the same bytes: best of several runs.
// Usage: bench_sais FILE [repeats]

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "suffix_array/construction.hpp"

namespace sa = quarnel::core::suffix_array;

template <class Fn>
double best_seconds(int repeats, Fn&& fn) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto result = fn();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
    if (result.empty() && i < 0) std::puts("");
  }
  return best;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [repeats]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> text((std::istreambuf_iterator<char>(in)), {});
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  const double divsufsort = best_seconds(repeats, [&] { return sa::build_sa_divsufsort(text); });
  const double sais = best_seconds(repeats, [&] { return sa::build_sa_sais(text); });
  const double mb = text.size() / 1048576.0;
  std::printf("%s: divsufsort %.1f MB/s, sais %.1f MB/s, sais/divsufsort %.2f\n", argv[1],
              mb / divsufsort, mb / sais, sais / divsufsort);
}
