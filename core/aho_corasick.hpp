#pragma once
// Aho-Corasick automaton over bytes with standard overlapping semantics: a scan reports every
// occurrence of every pattern, including overlapping ones and ones inside longer matches.
//
// Layout, chosen because the duplicate finder loads every candidate phrase into it:
// - trie edges in one sorted array per state (compressed sparse rows), a dense row only for the
//   root, whose fan-out is the widest and which the scan revisits most;
// - failure links, and dictionary-suffix links to the nearest terminal state on the failure
//   chain, so outputs are never copied along chains (no quadratic blow-up when many long
//   patterns share suffixes) and a scan costs O(text + matches) transitions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

namespace quarnel::core::aho_corasick {

using StateId = std::uint32_t;
using PatternId = std::uint32_t;

inline constexpr StateId kNoState = std::numeric_limits<StateId>::max();
// State ids are 32-bit; one value is reserved for kNoState.
inline constexpr std::size_t kMaxStates = std::numeric_limits<StateId>::max();

struct Match {
  PatternId pattern = 0;
  std::uint64_t end = 0;  // one past the last byte of the occurrence in the scanned text
  friend auto operator<=>(const Match&, const Match&) = default;
};

class Automaton {
 public:
  // Throws InternalError("Failed to build Aho-Corasick automaton") when the patterns need more
  // than `max_states` states (the root included).
  explicit Automaton(std::span<const std::string_view> patterns,
                     std::size_t max_states = kMaxStates);

  // Calls on_match(pattern_id, end) for every occurrence in `haystack`, by increasing end;
  // occurrences with the same end come longest pattern first.
  template <class OnMatch>
  void for_each_match(std::string_view haystack, OnMatch&& on_match) const {
    StateId state = kRoot;
    report_outputs(state, 0, on_match);
    for (std::size_t i = 0; i < haystack.size(); ++i) {
      state = next_state(state, static_cast<unsigned char>(haystack[i]));
      report_outputs(state, i + 1, on_match);
    }
  }

  [[nodiscard]] std::vector<Match> find_all(std::string_view haystack) const;
  [[nodiscard]] std::size_t pattern_count() const { return pattern_count_; }
  [[nodiscard]] std::size_t state_count() const { return fail_.size(); }

 private:
  static constexpr StateId kRoot = 0;
  // Degrees up to this are scanned linearly; wider states bisect their sorted labels.
  static constexpr std::uint32_t kLinearScanDegree = 8;

  void build_trie(std::span<const std::string_view> patterns, std::size_t max_states);
  void link_failures();

  [[nodiscard]] StateId child(StateId s, unsigned char c) const;

  [[nodiscard]] StateId next_state(StateId s, unsigned char c) const {
    while (s != kRoot) {
      const StateId t = child(s, c);
      if (t != kNoState) return t;
      s = fail_[s];
    }
    return root_row_[c];
  }

  [[nodiscard]] bool is_terminal(StateId s) const { return out_begin_[s] != out_begin_[s + 1]; }

  template <class OnMatch>
  void report_outputs(StateId s, std::uint64_t end, OnMatch& on_match) const {
    if (!is_terminal(s)) s = dict_[s];
    for (; s != kNoState; s = dict_[s]) {
      for (std::uint32_t k = out_begin_[s]; k < out_begin_[s + 1]; ++k) on_match(out_ids_[k], end);
    }
  }

  std::size_t pattern_count_ = 0;
  std::array<StateId, 256> root_row_{};
  std::vector<std::uint32_t> edge_begin_;  // state s owns edges [edge_begin_[s], edge_begin_[s+1])
  std::vector<unsigned char> edge_label_;
  std::vector<StateId> edge_target_;
  std::vector<StateId> fail_;
  std::vector<StateId> dict_;  // nearest terminal state on the failure chain, or kNoState
  std::vector<std::uint32_t> out_begin_;
  std::vector<PatternId> out_ids_;
};

}  // namespace quarnel::core::aho_corasick
