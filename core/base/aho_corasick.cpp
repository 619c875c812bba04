#include "base/aho_corasick.hpp"

#include <algorithm>
#include <numeric>

#include "base/errors.hpp"
#include "base/prefetch.hpp"

namespace quarnel::core::aho_corasick {
namespace {

[[noreturn]] void fail_build() {
  throw InternalError("Failed to build Aho-Corasick automaton");
}

std::size_t common_prefix_length(std::string_view a, std::string_view b) {
  const std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// The first eight bytes, big-endian and zero-padded: comparing these keys orders most pairs of
// patterns without touching their bytes again.
std::uint64_t prefix_key(std::string_view s) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    key = (key << 8) | (i < s.size() ? static_cast<unsigned char>(s[i]) : 0U);
  }
  return key;
}

// Pattern ids in byte order of their patterns, equal patterns by id.
std::vector<PatternId> sorted_pattern_order(std::span<const std::string_view> patterns) {
  struct Keyed {
    std::uint64_t prefix;
    PatternId id;
  };
  std::vector<Keyed> keyed(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    keyed[i] = {prefix_key(patterns[i]), static_cast<PatternId>(i)};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = patterns[a.id].compare(patterns[b.id]);
    return c != 0 ? c < 0 : a.id < b.id;
  });
  std::vector<PatternId> order(patterns.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].id;
  return order;
}

// Sorted order visits the patterns scattered in memory: request a later pattern's view, and the
// bytes of a nearer one, ahead of use.
void prefetch_pattern(std::span<const std::string_view> patterns,
                      const std::vector<PatternId>& order, std::size_t k) {
  constexpr std::size_t kViewDistance = 16;
  constexpr std::size_t kBytesDistance = 8;
  if (k + kViewDistance < order.size()) prefetch_read(&patterns[order[k + kViewDistance]]);
  if (k + kBytesDistance < order.size()) {
    const std::string_view later = patterns[order[k + kBytesDistance]];
    if (!later.empty()) prefetch_read(later.data());
  }
}

// A child other than the first of its parent, in creation order.
struct LaterChild {
  StateId parent;
  StateId state;
  unsigned char label;
};

}  // namespace

Automaton::Automaton(std::span<const std::string_view> patterns, std::size_t max_states)
    : pattern_count_(patterns.size()) {
  build(patterns, std::min(max_states, kMaxStates));
  link_failures();
}

// Inserting the patterns in sorted order creates the states in preorder: a state's children are
// created in increasing label order, the first of them right after the state itself.
void Automaton::build(std::span<const std::string_view> patterns, std::size_t max_states) {
  if (max_states == 0 || patterns.size() >= std::numeric_limits<PatternId>::max()) fail_build();
  std::size_t total_bytes = 0;
  for (const auto& p : patterns) total_bytes += p.size();
  states_.reserve(std::min(total_bytes, max_states - 1) + 1);
  states_.emplace_back();

  std::vector<LaterChild> later;
  std::vector<std::pair<StateId, PatternId>> terminals;
  terminals.reserve(patterns.size());
  std::vector<StateId> path{kRoot};  // path[d]: state at depth d of the previous pattern
  std::string_view previous;
  const std::vector<PatternId> order = sorted_pattern_order(patterns);
  for (std::size_t k = 0; k < order.size(); ++k) {
    prefetch_pattern(patterns, order, k);
    const PatternId id = order[k];
    const std::string_view pattern = patterns[id];
    std::size_t depth = common_prefix_length(previous, pattern);
    path.resize(depth + 1);
    for (; depth < pattern.size(); ++depth) {
      if (states_.size() >= max_states) fail_build();
      const auto state = static_cast<StateId>(states_.size());
      const StateId parent = path[depth];
      const auto label = static_cast<unsigned char>(pattern[depth]);
      State& p = states_[parent];
      if (!(p.flags & kHasChild) && state == parent + 1) {
        p.flags |= kHasChild;
        p.first_label = label;
      } else {
        later.push_back({parent, state, label});
      }
      states_.emplace_back();
      path.push_back(state);
    }
    terminals.emplace_back(path[pattern.size()], id);
    previous = pattern;
  }

  // Later children grouped by parent; within a parent they were created in label order.
  for (const LaterChild& c : later) ++states_[c.parent].more_count;
  std::uint32_t next = 0;
  for (State& s : states_) {
    s.more_begin = next;
    next += s.more_count;
    s.more_count = 0;
  }
  more_label_.resize(later.size());
  more_target_.resize(later.size());
  for (const LaterChild& c : later) {
    State& p = states_[c.parent];
    const std::uint32_t slot = p.more_begin + p.more_count++;
    more_label_[slot] = c.label;
    more_target_[slot] = c.state;
  }

  out_begin_.assign(states_.size() + 1, 0);
  for (const auto& [state, id] : terminals) ++out_begin_[state + 1];
  std::partial_sum(out_begin_.begin(), out_begin_.end(), out_begin_.begin());
  out_ids_.resize(terminals.size());
  std::vector<std::uint32_t> cursor(out_begin_.begin(), out_begin_.end() - 1);
  for (const auto& [state, id] : terminals) {
    out_ids_[cursor[state]++] = id;
    states_[state].flags |= kTerminal;
  }

  root_row_.fill(kRoot);
  const State& root = states_[kRoot];
  if (root.flags & kHasChild) root_row_[root.first_label] = kRoot + 1;
  for (std::uint32_t k = root.more_begin; k < root.more_begin + root.more_count; ++k) {
    root_row_[more_label_[k]] = more_target_[k];
  }
}

// Breadth-first, so the failure target of every state (which is shallower) is final before it
// is used.
void Automaton::link_failures() {
  std::vector<StateId> queue;
  queue.reserve(states_.size());
  queue.push_back(kRoot);
  const auto link = [&](StateId v, StateId w, unsigned char label) {
    const StateId f = v == kRoot ? kRoot : next_state(states_[v].fail, label);
    State& s = states_[w];
    s.fail = f;
    s.dict = (states_[f].flags & kTerminal) ? f : states_[f].dict;
    queue.push_back(w);
  };
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const StateId v = queue[head];
    const State st = states_[v];
    if (st.flags & kHasChild) link(v, v + 1, st.first_label);
    for (std::uint32_t k = st.more_begin; k < st.more_begin + st.more_count; ++k) {
      link(v, more_target_[k], more_label_[k]);
    }
  }
}

StateId Automaton::more_child(const State& st, unsigned char c) const {
  // Degrees up to this are scanned linearly; wider states bisect their sorted labels.
  constexpr std::uint32_t kLinearScanDegree = 8;
  const std::uint32_t begin = st.more_begin;
  const std::uint32_t end = begin + st.more_count;
  if (st.more_count <= kLinearScanDegree) {
    for (std::uint32_t k = begin; k < end; ++k) {
      if (more_label_[k] == c) return more_target_[k];
    }
    return kNoState;
  }
  const auto* first = more_label_.data() + begin;
  const auto* last = more_label_.data() + end;
  const auto* it = std::lower_bound(first, last, c);
  return (it != last && *it == c) ? more_target_[it - more_label_.data()] : kNoState;
}

std::vector<Match> Automaton::find_all(std::string_view haystack) const {
  std::vector<Match> matches;
  for_each_match(haystack, [&](PatternId id, std::uint64_t end) { matches.push_back({id, end}); });
  return matches;
}

}  // namespace quarnel::core::aho_corasick
