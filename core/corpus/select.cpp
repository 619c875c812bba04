#include "corpus/select.hpp"

#include <algorithm>
#include <utility>

#include "base/saturating.hpp"

namespace quarnel::core::corpus {
namespace {

std::uint64_t places(const passages::Passages& found, std::size_t g) {
  return found.first[g + 1] - found.first[g];
}

// Distinct documents among group g's rows, which ascend by document.
std::uint64_t files(const passages::Passages& found, std::size_t g) {
  std::uint64_t n = 0;
  for (std::uint64_t k = found.first[g]; k < found.first[g + 1]; ++k) {
    n += k == found.first[g] || found.document[k] != found.document[k - 1] ? 1 : 0;
  }
  return n;
}

std::uint64_t key(const passages::Passages& found, std::size_t g, Order order) {
  switch (order) {
    case Order::kWords:
      return found.words[g];
    case Order::kCount:
      return places(found, g);
    case Order::kShare:
      return saturating_mul(found.words[g], places(found, g));
    case Order::kFiles:
      return files(found, g);
    case Order::kFound:
      break;
  }
  return 0;
}

}  // namespace

Chosen chosen(const passages::Passages& found, const Selection& selection,
              const std::function<std::uint64_t(std::size_t)>& visible) {
  const std::size_t groups = found.words.size();
  std::vector<bool> visible_enough;  // per group, when the rule is set
  Chosen out;
  if (const std::uint64_t over = selection.visible_chars_over; over != 0) {
    visible_enough.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) {
      visible_enough[g] = found.words[g] > over || visible(g) > over;
      if (!visible_enough[g]) continue;
      ++out.found_groups;
      out.found_places += places(found, g);
    }
  } else {
    out.found_groups = groups;
    out.found_places = found.start.size();
  }
  const auto kept = [&](std::size_t g) {
    return places(found, g) >= selection.min_count && (visible_enough.empty() || visible_enough[g]);
  };
  if (selection.order == Order::kFound) {
    for (std::size_t g = 0; g < groups && out.groups.size() < selection.top; ++g) {
      if (kept(g)) out.groups.push_back(g);
    }
  } else {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed;  // (key, group)
    for (std::size_t g = 0; g < groups; ++g) {
      if (kept(g)) keyed.emplace_back(key(found, g, selection.order), g);
    }
    // Largest key first, ties as found: a total order, so the partial sort is a stable one.
    const auto before = [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    };
    const auto shown =
        static_cast<std::size_t>(std::min<std::uint64_t>(selection.top, keyed.size()));
    std::partial_sort(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(shown),
                      keyed.end(), before);
    out.groups.reserve(shown);
    for (std::size_t i = 0; i < shown; ++i) out.groups.push_back(keyed[i].second);
  }
  passages::Passages& placed = out.placed;
  placed.first.assign(1, 0);
  placed.words.reserve(out.groups.size());
  out.counts.reserve(out.groups.size());
  for (const std::uint64_t g : out.groups) {
    const std::uint64_t from = found.first[g];
    const std::uint64_t to = from + std::min(places(found, g), selection.max_places);
    placed.document.insert(placed.document.end(), found.document.begin() + from,
                           found.document.begin() + to);
    placed.start.insert(placed.start.end(), found.start.begin() + from, found.start.begin() + to);
    placed.end.insert(placed.end.end(), found.end.begin() + from, found.end.begin() + to);
    placed.first.push_back(placed.start.size());
    placed.words.push_back(found.words[g]);
    out.counts.push_back(places(found, g));
  }
  return out;
}

}  // namespace quarnel::core::corpus
