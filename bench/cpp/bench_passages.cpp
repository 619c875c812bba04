// Time and memory of find_passages against libdivsufsort's suffix array plus the Kasai LCP of the
// same bytes, in the same run, on one thread.
// Usage: bench_passages FILE [megabytes] [share] [repeats]
// The first `megabytes` of FILE (all of it by default) are cut at line breaks into documents of
// 2-50 KB; a `share` of the documents (default 0.1) also get a run of lines copied from an
// earlier document, as pasted passages. Memory is the growth of the resident high-water mark
// during a call over the resident size before it, per corpus byte. Times are the best of
// `repeats` turns (default 3), the two taking turns so that a slow spell of the machine hits both.

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "measure.hpp"
#include "passages.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"

using quarnel::core::parallel::Lanes;

namespace ps = quarnel::core::passages;
namespace sa = quarnel::core::suffix_array;

namespace {

using quarnel::bench::measure;
using quarnel::bench::Measured;

// The end of the line that holds byte `at` (one past its '\n'), or the text's end.
std::size_t line_end(std::string_view text, std::size_t at) {
  const std::size_t nl = text.find('\n', at);
  return nl == std::string_view::npos ? text.size() : nl + 1;
}

std::vector<std::string> documents_of(std::string_view text, double share, std::mt19937& rng) {
  std::vector<std::string> docs;
  std::uniform_int_distribution<std::size_t> doc_size(2048, 50 * 1024);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = line_end(text, std::min(text.size(), at + doc_size(rng)));
    docs.emplace_back(text.substr(at, end - at));
    at = end;
  }
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  std::uniform_int_distribution<std::size_t> paste_size(200, 5000);
  for (std::size_t d = 1; d < docs.size(); ++d) {
    if (coin(rng) >= share) continue;
    const std::string& src = docs[rng() % d];
    const std::size_t from = line_end(src, rng() % src.size()) % src.size();
    const std::string paste = src.substr(from, line_end(src, from + paste_size(rng)) - from);
    docs[d].insert(line_end(docs[d], rng() % docs[d].size()), paste);
  }
  return docs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [megabytes] [share] [repeats]\n", argv[0]);
    return 2;
  }
  // A fixed threshold keeps every large array in its own mapping, returned when freed, so that
  // the resident growth of a call is what it allocates rather than what malloc kept from before.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  std::ifstream in(argv[1], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  if (argc > 2) text.resize(std::min<std::size_t>(text.size(), std::atof(argv[2]) * 1048576.0));
  const double share = argc > 3 ? std::atof(argv[3]) : 0.1;
  const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
  std::mt19937 rng(12345);
  const std::vector<std::string> docs = documents_of(text, share, rng);
  text.clear();
  text.shrink_to_fit();
  const std::vector<std::string_view> views(docs.begin(), docs.end());
  std::string joined;
  for (const auto& d : docs) joined += d;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(joined.data()),
                                            joined.size());

  Measured passages, baseline;
  std::size_t found = 0, places = 0;
  for (int r = 0; r < repeats; ++r) {
    const ps::Passages out = measure(passages, [&] {
      return ps::find_passages(views, ps::PassageParams{8, 0});
    });
    found = out.words.size();
    places = out.document.size();
    const auto lcp = measure(baseline, [&] {
      const auto suffixes = sa::build_sa32_with_backend(bytes, sa::SuffixArrayBackend::DivSufSort);
      return sa::lcp_kasai<std::uint8_t, std::uint32_t, std::uint32_t>(bytes, suffixes,
                                                                       Lanes::one());
    });
    if (lcp.size() == 1) std::puts("");  // keeps the work from being optimised away
  }
  const double n = static_cast<double>(joined.size());
  std::printf("%s: %.1f MB in %zu documents, %zu passages with %zu places\n", argv[1],
              n / 1048576.0, docs.size(), found, places);
  std::printf("find_passages        %7.3f s  %6.2f bytes/byte\n", passages.seconds,
              1024.0 * static_cast<double>(passages.peak_kb) / n);
  std::printf("divsufsort + kasai   %7.3f s  %6.2f bytes/byte\n", baseline.seconds,
              1024.0 * static_cast<double>(baseline.peak_kb) / n);
  std::printf("time ratio passages / (divsufsort + kasai): %.3f\n",
              passages.seconds / baseline.seconds);
}
