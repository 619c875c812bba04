#pragma once
// Aho-Corasick automaton over bytes with standard overlapping semantics: a scan reports every
// occurrence of every pattern, including overlapping ones and ones inside longer matches.
//
// Layout, chosen because the duplicate finder loads every candidate phrase into it:
// - states are numbered in preorder of the trie (patterns are inserted in sorted order), so the
//   first child of every state is the next state: most states of a phrase trie lie on
//   single-child chains and need only that child's label, kept in the state itself;
// - further children in one sorted array per state, and a dense row for the root, whose fan-out
//   is the widest and which the scan revisits most;
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
  [[nodiscard]] std::size_t state_count() const { return states_.size(); }

 private:
  static constexpr StateId kRoot = 0;

  struct State {
    StateId fail = kRoot;
    StateId dict = kNoState;       // nearest terminal state on the failure chain
    std::uint32_t more_begin = 0;  // children after the first: more_label_/more_target_
    std::uint16_t more_count = 0;
    unsigned char first_label = 0;  // label of the first child, which is this state + 1
    unsigned char flags = 0;
  };
  static constexpr unsigned char kHasChild = 1;
  static constexpr unsigned char kTerminal = 2;

  void build(std::span<const std::string_view> patterns, std::size_t max_states);
  void link_failures();

  [[nodiscard]] StateId child(StateId s, unsigned char c) const {
    const State& st = states_[s];
    if ((st.flags & kHasChild) && st.first_label == c) return s + 1;
    return st.more_count == 0 ? kNoState : more_child(st, c);
  }
  [[nodiscard]] StateId more_child(const State& st, unsigned char c) const;

  [[nodiscard]] StateId next_state(StateId s, unsigned char c) const {
    while (s != kRoot) {
      const StateId t = child(s, c);
      if (t != kNoState) return t;
      s = states_[s].fail;
    }
    return root_row_[c];
  }

  template <class OnMatch>
  void report_outputs(StateId s, std::uint64_t end, OnMatch& on_match) const {
    if (!(states_[s].flags & kTerminal)) s = states_[s].dict;
    for (; s != kNoState; s = states_[s].dict) {
      for (std::uint32_t k = out_begin_[s]; k < out_begin_[s + 1]; ++k) on_match(out_ids_[k], end);
    }
  }

  std::size_t pattern_count_ = 0;
  std::array<StateId, 256> root_row_{};
  std::vector<State> states_;
  std::vector<unsigned char> more_label_;
  std::vector<StateId> more_target_;
  std::vector<std::uint32_t> out_begin_;  // terminal state s reports out_ids_[out_begin_[s]..[s+1])
  std::vector<PatternId> out_ids_;
};

}  // namespace quarnel::core::aho_corasick
