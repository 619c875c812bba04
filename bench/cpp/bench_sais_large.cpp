// Our SA-IS on a text past 2^31 bytes (64-bit entries), against libdivsufsort's 64-bit build on
// the same bytes, one after the other: the machine holds only one 64-bit array and the text.
//
//   bench_sais_large FILE [sais|divsufsort64|both] [SAMPLES]
//
// Each engine's array is checked without a second array: a fingerprint of all its entries
// (equal fingerprints mean equal arrays, up to a 2^-64 chance), a bitmap showing it is a
// permutation, and SAMPLES random neighbours compared as suffixes (sorted order). Prints time,
// the resident growth at the peak beyond text and array, and the fingerprint.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "measure.hpp"
#include "suffix_array/construction.hpp"

#if __has_include(<divsufsort64.h>)
#include <divsufsort64.h>
#define QUARNEL_HAVE_DIVSUFSORT64 1
#endif

namespace sa = quarnel::core::suffix_array;

namespace {

std::vector<std::uint8_t> read_whole(const char* path) {
  const int fd = ::open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) throw std::runtime_error(std::string("cannot read ") + path);
  std::vector<std::uint8_t> text(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got =
        ::read(fd, text.data() + done, std::min<std::size_t>(1 << 30, text.size() - done));
    if (got <= 0) throw std::runtime_error("short read");
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return text;
}

std::uint64_t fingerprint(const std::uint64_t* a, std::size_t n) {
  std::uint64_t h = 0x243F6A8885A308D3ull;
  for (std::size_t i = 0; i < n; ++i) {
    h = (h ^ a[i]) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return h;
}

bool is_permutation(const std::uint64_t* a, std::size_t n) {
  std::vector<std::uint64_t> seen((n + 63) / 64, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] >= n) return false;
    std::uint64_t& w = seen[a[i] >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (a[i] & 63);
    if (w & bit) return false;
    w |= bit;
  }
  return true;
}

// Whether suffix x sorts before suffix y (a proper prefix sorts first).
bool suffix_less(const std::vector<std::uint8_t>& t, std::uint64_t x, std::uint64_t y) {
  const std::size_t n = t.size();
  const std::size_t common = n - std::max(x, y);
  const int c = std::memcmp(t.data() + x, t.data() + y, common);
  return c != 0 ? c < 0 : x > y;
}

std::size_t unsorted_samples(const std::vector<std::uint8_t>& t, const std::uint64_t* a,
                             std::size_t samples) {
  std::mt19937_64 rng(7);
  std::size_t bad = 0;
  for (std::size_t s = 0; s < samples; ++s) {
    const std::size_t i = rng() % (t.size() - 1);
    bad += suffix_less(t, a[i], a[i + 1]) ? 0 : 1;
  }
  return bad;
}

#ifdef QUARNEL_HAVE_DIVSUFSORT64
struct Owned {
  std::unique_ptr<saidx64_t[]> entries;
  [[nodiscard]] const saidx64_t* data() const { return entries.get(); }
};
#endif

template <class Build>
void run(const char* name, const std::vector<std::uint8_t>& text, std::size_t samples,
         Build&& build) {
  quarnel::bench::Measured m;
  const auto array = quarnel::bench::measure(m, build);
  const double array_kb = static_cast<double>(text.size()) * 8 / 1024;
  std::printf("%s: %.1f s (%.1f MB/s), working memory beyond the array %.2f bytes per byte\n", name,
              m.seconds, text.size() / 1048576.0 / m.seconds,
              (static_cast<double>(m.peak_kb) - array_kb) * 1024 / text.size());
  std::fflush(stdout);
  const auto* a = reinterpret_cast<const std::uint64_t*>(array.data());
  std::printf("%s: fingerprint %016llx, permutation %s, %zu of %zu sampled neighbours unsorted\n",
              name, static_cast<unsigned long long>(fingerprint(a, text.size())),
              is_permutation(a, text.size()) ? "yes" : "NO", unsorted_samples(text, a, samples),
              samples);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [sais|divsufsort64|both] [SAMPLES]\n", argv[0]);
    return 2;
  }
  const std::string which = argc > 2 ? argv[2] : "both";
  const std::size_t samples = argc > 3 ? std::stoull(argv[3]) : 10'000'000;
  const auto text = read_whole(argv[1]);
  std::printf("%s: %zu bytes\n", argv[1], text.size());
  if (which != "divsufsort64") run("sais", text, samples, [&] { return sa::build_sa_sais(text); });
#ifdef QUARNEL_HAVE_DIVSUFSORT64
  if (which != "sais") {
    run("divsufsort64", text, samples, [&] {
      // Left uninitialised, as our engine's array is: both pay for the first touch inside the sort.
      Owned out{std::make_unique_for_overwrite<saidx64_t[]>(text.size())};
      if (divsufsort64(text.data(), out.entries.get(), static_cast<saidx64_t>(text.size())) != 0)
        throw std::runtime_error("divsufsort64 failed");
      return out;
    });
  }
#endif
}
