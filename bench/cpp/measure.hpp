#pragma once
// Time and resident memory of one call, for the benchmark programs. Memory is the growth of the
// resident high-water mark during the call over the resident size before it: what the call adds
// at its peak, its output included.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::bench {

// The value of a "Field:  N kB" line of /proc/self/status, in kB (0 if the field is missing).
inline long read_status_kb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string_view(field).size()));
  }
  return 0;
}

struct Measured {
  double seconds = 1e30;  // the best of the runs
  long peak_kb = 0;       // from the first run
};

// Runs `fn` and returns what it returns, folding its time and memory into `m`.
template <class Fn>
auto measure(Measured& m, Fn&& fn) {
  std::ofstream("/proc/self/clear_refs") << "5";  // lowers the high-water mark to the resident size
  const long before = read_status_kb("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  auto out = fn();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  m.seconds = std::min(m.seconds, took.count());
  if (m.peak_kb == 0) m.peak_kb = std::max(1L, read_status_kb("VmHWM:") - before);
  return out;
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The best time of `rounds` calls of `body`, in seconds: the call rather than the noise of other
// processes on the machine.
template <class Body>
double best_of(int rounds, Body&& body) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace quarnel::bench
