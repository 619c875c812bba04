// Time and memory of each stage of the duplicate finder, per input byte, on one thread: the
// figures of core/duplicate_finder/DESIGN.md. Usage: bench_finder_stages FILE [blocks|plain]
// [runs], FILE one of the bench texts (bench/datasets.py writes them to bench/.data). Memory is
// the growth of the resident high-water mark during the stage over the resident size before it:
// what the stage adds at its peak, its output included. Best time of `runs` runs (three by
// default); memory from the first.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "duplicate_finder/blocks.hpp"
#include "duplicate_finder/candidate_scan.hpp"
#include "duplicate_finder/containment.hpp"
#include "duplicate_finder/interval_merger.hpp"
#include "duplicate_finder/positions.hpp"
#include "duplicate_finder/record_assembly.hpp"
#include "duplicate_finder/results.hpp"
#include "duplicate_finder/set_aside_recovery.hpp"
#include "measure.hpp"
#include "suffix_array/construction.hpp"
#include "suffix_array/lcp.hpp"
#include "text/sentence_splitter.hpp"
#include "text/utf.hpp"

using quarnel::core::parallel::Lanes;

namespace df = quarnel::core::duplicate_finder;
namespace sa = quarnel::core::suffix_array;

namespace {

using quarnel::bench::Measured;

class StageTable {
 public:
  explicit StageTable(std::size_t bytes) : bytes_(bytes) {}

  template <class Stage>
  auto measure(std::size_t slot, const char* name, Stage&& stage) {
    if (rows_.size() <= slot) rows_.resize(slot + 1);
    rows_[slot].first = name;
    return quarnel::bench::measure(rows_[slot].second, std::forward<Stage>(stage));
  }

  void print() const {
    std::printf("%-22s %10s %10s\n", "stage", "ns/byte", "bytes/byte");
    for (const auto& [name, m] : rows_) {
      if (name == nullptr) continue;
      std::printf("%-22s %10.2f %10.2f\n", name, 1e9 * m.seconds / static_cast<double>(bytes_),
                  1024.0 * static_cast<double>(m.peak_kb) / static_cast<double>(bytes_));
    }
  }

 private:
  std::size_t bytes_;
  std::vector<std::pair<const char*, Measured>> rows_;
};

// The size of what a stage passes on: records, occurrences and phrase bytes.
void print_records(const char* when,
                   const std::vector<quarnel::core::phrase_records::PhraseData>& records) {
  std::size_t occurrences = 0, phrase_bytes = 0;
  for (const auto& r : records) {
    occurrences += r.starts.size();
    phrase_bytes += r.phrase.size();
  }
  std::printf("%s: %zu records, %zu occurrences, %zu phrase bytes\n", when, records.size(),
              occurrences, phrase_bytes);
}

void run_once(std::string_view text, const quarnel::core::duplicate_finder::FinderParams& params,
              StageTable& table, bool print_sizes) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  const auto suffixes = table.measure(0, "suffix array", [&] { return sa::build_sa32(bytes); });
  const auto lcp = table.measure(1, "lcp array", [&] {
    return sa::lcp_kasai<std::uint8_t, std::uint32_t, std::uint32_t>(bytes, suffixes, Lanes::one());
  });
  const auto sentences = table.measure(2, "sentences", [&] {
    return quarnel::core::sentence_splitter::sentence_boundary_offsets(text);
  });
  const sa::LcpPlanes<std::uint32_t> planes(lcp);
  const df::BasicAnalysisIndex<std::uint32_t> index{text, suffixes, planes, sentences};
  const auto positions =
      table.measure(3, "positions", [&] { return df::PositionIndex(text, sentences); });
  auto scan = table.measure(4, "candidate scan", [&] {
    return df::scan_candidates(index, positions, params,
                               quarnel::core::string_interner::process_hash_key(), true,
                               Lanes::one());
  });
  table.measure(5, "set-aside recovery", [&] {
    df::recover_set_aside(index, positions, params, scan, Lanes::one());
    return 0;
  });
  auto repeated = table.measure(6, "repeated phrases",
                                [&] { return df::repeated_phrases(scan, params, Lanes::one()); });
  const auto contained = table.measure(7, "containment", [&] {
    return df::contained_candidates(
        index, scan, std::span<const df::RepeatedPhrase<std::uint32_t>>(repeated), Lanes::one());
  });
  auto records = table.measure(8, "record assembly", [&] {
    return df::assemble_records(std::move(scan), std::move(repeated), contained, Lanes::one());
  });
  if (print_sizes) print_records("assembled", records);
  records = table.measure(9, "merging", [&] {
    return quarnel::core::interval_merger::merge_adjacent_phrases(std::move(records), text);
  });
  if (print_sizes) print_records("merged", records);
  if (params.enable_block_detection) {
    records = table.measure(10, "blocks", [&] {
      return df::with_blocks(std::move(records),
                             df::find_blocks(index, params, quarnel::core::utf::is_ascii(text)),
                             text.size());
    });
  }
  (void)table.measure(11, "results", [&] {
    return df::sorted_results(std::move(records), text, quarnel::core::utf::is_ascii(text),
                              Lanes::one());
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [blocks|plain] [runs]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  quarnel::core::duplicate_finder::FinderParams params;
  params.enable_block_detection = argc > 2 && std::string_view(argv[2]) == "blocks";
  StageTable table(text.size());
  // One run is enough for the memory column, and for texts too large to sort three times.
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  for (int run = 0; run < runs; ++run) run_once(text, params, table, run == 0);
  std::printf("%s, %zu bytes%s, one thread\n", argv[1], text.size(),
              params.enable_block_detection ? ", with blocks" : "");
  table.print();
  return 0;
}
