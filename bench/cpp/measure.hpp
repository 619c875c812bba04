#pragma once
// Time and resident memory of one call, for the benchmark programs. Memory is the growth of the
// resident high-water mark during the call over the resident size before it: what the call adds
// at its peak, its output included.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <string_view>

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

}  // namespace quarnel::bench
