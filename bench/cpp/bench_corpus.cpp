// The core's own cost of documents analysed together, without Python: time and the growth of the
// resident high-water mark of one find_phrases or find_passages call, per corpus byte.
//
//   bench_corpus CORPUS_FILE phrases|passages
//
// CORPUS_FILE holds the documents separated by the byte 0x1e (bench/bench_corpus.py writes it
// under bench/.data). The documents are joined in memory as the Python binding joins them
// before the measurement starts; the peak counts everything the call allocates.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "corpus.hpp"
#include "duplicate_finder/documents.hpp"
#include "measure.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s CORPUS_FILE phrases|passages\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  std::vector<std::uint64_t> starts, ends;
  std::size_t from = 0;
  while (from <= file.size()) {
    std::size_t to = file.find('\x1e', from);
    if (to == std::string::npos) to = file.size();
    if (!starts.empty()) text += quarnel::core::duplicate_finder::kDocumentSeparator;
    starts.push_back(text.size());
    text.append(file, from, to - from);
    ends.push_back(text.size());
    from = to + 1;
  }
  std::string().swap(file);
  const quarnel::core::corpus::SourceCorpus source{text, starts, ends, {}};
  const bool phrases = std::strcmp(argv[2], "phrases") == 0;
  quarnel::bench::Measured measured;
  const auto matches = quarnel::bench::measure(measured, [&] {
    return phrases ? quarnel::core::corpus::find_phrases(source, {}, {})
                   : quarnel::core::corpus::find_passages(source, {}, {});
  });
  const double seconds = measured.seconds;
  const double peak = static_cast<double>(measured.peak_kb) * 1024.0;
  std::printf(
      "%s: %zu documents, %zu bytes, %zu groups, %zu occurrences, %.2f s, peak %.2f "
      "bytes/byte (results included)\n",
      argv[2], starts.size(), text.size(), matches.groups(), matches.start.size(), seconds,
      peak / static_cast<double>(text.size()));
  return 0;
}
