// Times our SA-IS (on one and on two threads) against libdivsufsort on the same bytes, in
// turns: best of several runs.
// Usage: bench_sais FILE [repeats]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "suffix_array/construction.hpp"

namespace sa = quarnel::core::suffix_array;

template <class Fn>
double seconds_of(Fn&& fn) {
  const auto start = std::chrono::steady_clock::now();
  const auto result = fn();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (result.size() == 1) std::puts("");  // keeps the call from being optimised away
  return took.count();
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [repeats]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> text((std::istreambuf_iterator<char>(in)), {});
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  // The engines take turns, so that a slow spell of the machine hits all; each keeps its best.
  double divsufsort = 1e300, sais = 1e300, sais2 = 1e300;
  for (int i = 0; i < repeats; ++i) {
    divsufsort = std::min(divsufsort, seconds_of([&] { return sa::build_sa_divsufsort(text); }));
    sais = std::min(sais, seconds_of([&] { return sa::build_sa_sais(text); }));
    sais2 = std::min(sais2, seconds_of([&] { return sa::build_sa_sais(text, 2); }));
  }
  const double mb = text.size() / 1048576.0;
  std::printf(
      "%s: divsufsort %.1f MB/s, sais %.1f MB/s, sais on two threads %.1f MB/s; "
      "sais/divsufsort %.2f, two threads/divsufsort %.2f\n",
      argv[1], mb / divsufsort, mb / sais, mb / sais2, sais / divsufsort, sais2 / divsufsort);
}
