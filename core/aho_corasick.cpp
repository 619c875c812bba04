#include "aho_corasick.hpp"

#include <algorithm>
#include <numeric>

#include "errors.hpp"

namespace quarnel::core::aho_corasick {
namespace {

[[noreturn]] void fail_build() { throw InternalError("Failed to build Aho-Corasick automaton"); }

std::size_t common_prefix_length(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// Pattern ids in byte order of their patterns, equal patterns by id.
std::vector<PatternId> sorted_pattern_order(std::span<const std::string_view> patterns) {
  std::vector<PatternId> order(patterns.size());
  std::iota(order.begin(), order.end(), PatternId{0});
  std::sort(order.begin(), order.end(), [&](PatternId a, PatternId b) {
    const int c = patterns[a].compare(patterns[b]);
    return c != 0 ? c < 0 : a < b;
  });
  return order;
}

// Trie states in creation order: inserting sorted patterns numbers the states in preorder, and
// the children of every state are created in increasing label order.
struct TrieDraft {
  std::vector<StateId> parent;
  std::vector<unsigned char> label;
  std::vector<std::pair<StateId, PatternId>> terminals;  // grouped by pattern order
};

TrieDraft draft_trie(std::span<const std::string_view> patterns, std::size_t max_states) {
  if (max_states == 0 || patterns.size() >= std::numeric_limits<PatternId>::max()) fail_build();
  TrieDraft draft;
  draft.parent.push_back(kNoState);
  draft.label.push_back(0);
  draft.terminals.reserve(patterns.size());
  std::vector<StateId> path{0};  // path[d]: state at depth d of the previous pattern
  std::string_view previous;
  for (const PatternId id : sorted_pattern_order(patterns)) {
    const std::string_view pattern = patterns[id];
    std::size_t depth = common_prefix_length(previous, pattern);
    path.resize(depth + 1);
    for (; depth < pattern.size(); ++depth) {
      if (draft.parent.size() >= max_states) fail_build();
      const auto state = static_cast<StateId>(draft.parent.size());
      draft.parent.push_back(path[depth]);
      draft.label.push_back(static_cast<unsigned char>(pattern[depth]));
      path.push_back(state);
    }
    draft.terminals.emplace_back(path[pattern.size()], id);
    previous = pattern;
  }
  return draft;
}

// Prefix sums of per-slot counts: counts[s + 1] holds the count of slot s on entry.
void accumulate_offsets(std::vector<std::uint32_t>& counts) {
  std::partial_sum(counts.begin(), counts.end(), counts.begin());
}

}  // namespace

Automaton::Automaton(std::span<const std::string_view> patterns, std::size_t max_states)
    : pattern_count_(patterns.size()) {
  build_trie(patterns, max_states);
  link_failures();
}

void Automaton::build_trie(std::span<const std::string_view> patterns, std::size_t max_states) {
  const TrieDraft draft = draft_trie(patterns, std::min(max_states, kMaxStates));
  const std::size_t states = draft.parent.size();

  edge_begin_.assign(states + 1, 0);
  for (std::size_t s = 1; s < states; ++s) ++edge_begin_[draft.parent[s] + 1];
  accumulate_offsets(edge_begin_);
  edge_label_.resize(states - 1);
  edge_target_.resize(states - 1);
  std::vector<std::uint32_t> cursor(edge_begin_.begin(), edge_begin_.end() - 1);
  for (std::size_t s = 1; s < states; ++s) {
    const std::uint32_t slot = cursor[draft.parent[s]]++;
    edge_label_[slot] = draft.label[s];
    edge_target_[slot] = static_cast<StateId>(s);
  }

  out_begin_.assign(states + 1, 0);
  for (const auto& [state, id] : draft.terminals) ++out_begin_[state + 1];
  accumulate_offsets(out_begin_);
  out_ids_.resize(draft.terminals.size());
  cursor.assign(out_begin_.begin(), out_begin_.end() - 1);
  for (const auto& [state, id] : draft.terminals) out_ids_[cursor[state]++] = id;

  root_row_.fill(kRoot);
  for (std::uint32_t k = edge_begin_[kRoot]; k < edge_begin_[kRoot + 1]; ++k) {
    root_row_[edge_label_[k]] = edge_target_[k];
  }
}

// Breadth-first, so the failure target of every state (which is shallower) is final before it
// is used.
void Automaton::link_failures() {
  const std::size_t states = edge_begin_.size() - 1;
  fail_.assign(states, kRoot);
  dict_.assign(states, kNoState);
  std::vector<StateId> queue;
  queue.reserve(states);
  queue.push_back(kRoot);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const StateId v = queue[head];
    for (std::uint32_t k = edge_begin_[v]; k < edge_begin_[v + 1]; ++k) {
      const StateId w = edge_target_[k];
      const StateId f = v == kRoot ? kRoot : next_state(fail_[v], edge_label_[k]);
      fail_[w] = f;
      dict_[w] = is_terminal(f) ? f : dict_[f];
      queue.push_back(w);
    }
  }
}

StateId Automaton::child(StateId s, unsigned char c) const {
  const std::uint32_t begin = edge_begin_[s];
  const std::uint32_t end = edge_begin_[s + 1];
  if (end - begin <= kLinearScanDegree) {
    for (std::uint32_t k = begin; k < end; ++k) {
      if (edge_label_[k] == c) return edge_target_[k];
    }
    return kNoState;
  }
  const auto* first = edge_label_.data() + begin;
  const auto* last = edge_label_.data() + end;
  const auto* it = std::lower_bound(first, last, c);
  return (it != last && *it == c) ? edge_target_[it - edge_label_.data()] : kNoState;
}

std::vector<Match> Automaton::find_all(std::string_view haystack) const {
  std::vector<Match> matches;
  for_each_match(haystack, [&](PatternId id, std::uint64_t end) { matches.push_back({id, end}); });
  return matches;
}

}  // namespace quarnel::core::aho_corasick
