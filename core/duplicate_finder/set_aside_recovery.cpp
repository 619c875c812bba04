#include "duplicate_finder/set_aside_recovery.hpp"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace quarnel::core::duplicate_finder {

// The id of the rewritten phrase equal to the raw bytes, if any. A set-aside window can equal no
// other stored phrase: raw bytes of threshold length share a run and so a slot, and shorter raw
// phrases are in the table.
template <class Offset>
std::optional<std::uint32_t> CandidateCollector<Offset>::rewritten_id_of(
    std::uint64_t start, std::uint64_t raw_length) const {
  const std::string_view phrase = index_.text.substr(start, raw_length);
  if (!rewritten_.may_contain(phrase)) return std::nullopt;
  const auto id = phrases_.find(phrase);
  if (!id) return std::nullopt;
  return static_cast<std::uint32_t>(*id);
}

// Whether q, sharing the bytes of a window of `raw_length` cut at another start of its run, cuts
// that window too: same bytes give the same words and the same verdict, so only the start, the
// end and the sentence limit can differ.
template <class Offset>
bool CandidateCollector<Offset>::cuts_window(std::uint64_t q, std::uint64_t raw_length) const {
  const std::uint64_t end = q + raw_length;
  return positions_.starts_word(q) && positions_.ends_word_at(end) &&
         positions_.boundary_after(q) >= end;
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_phrase(const SetAsidePhrase& phrase) {
  const std::uint64_t length = phrase.raw_length;
  if (!rewritten_.may_have_length(length)) return;
  const auto id = rewritten_id_of(index_.suffix_array[phrase.rank], length);
  if (!id) return;
  const auto [low, high] = ranks_sharing(phrase.rank, length);
  for (std::size_t rank = low; rank < high; ++rank) {
    const std::uint64_t q = index_.suffix_array[rank];
    if (cuts_window(q, length)) admitted_.emplace_back(*id, static_cast<Offset>(q));
  }
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_windows(const SetAsideWindows& windows) {
  const std::uint64_t p = index_.suffix_array[windows.rank];
  for_each_window_end(p, p + windows.to, [&](std::uint64_t e) {
    const std::uint64_t length = e - p;
    if (length >= windows.to) return false;
    if (length >= windows.from) admit_set_aside_phrase({windows.rank, static_cast<Offset>(length)});
    return true;
  });
}

template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_start(const SetAsideStart& start) {
  const std::uint64_t p = start.start;
  for_each_window_end(p, start.limit, [&](std::uint64_t e) {
    const std::uint64_t length = e - p;
    if (length <= start.shared || !rewritten_.may_have_length(length)) return true;
    // Rewritten windows were looked up when cut, and rejected ones have no phrase.
    if (positions_.alters(p, e) || length - positions_.space_bytes(p, e) <= params_.min_chars) {
      return true;
    }
    if (const auto id = rewritten_id_of(p, length)) {
      admitted_.emplace_back(*id, static_cast<Offset>(p));
    }
    return true;
  });
}

// Set-aside windows can only meet a phrase that was normalised from different bytes, so they are
// looked at again only if such phrases exist.
template <class Offset>
void CandidateCollector<Offset>::admit_set_aside_windows() {
  if (!rewritten_.empty()) {
    set_aside_phrases_.for_each(
        [&](const SetAsidePhrase& phrase) { admit_set_aside_phrase(phrase); });
    set_aside_starts_.for_each([&](const SetAsideStart& start) { admit_set_aside_start(start); });
    set_aside_windows_.for_each(
        [&](const SetAsideWindows& windows) { admit_set_aside_windows(windows); });
  }
  set_aside_phrases_.clear();
  set_aside_starts_.clear();
  set_aside_windows_.clear();
  if (!admitted_.empty()) drop_admitted_duplicates();
}

// A rewritten window can end in white space only (say a lone no-break space) and so have the
// phrase of the raw window just before it at its start; the start counts once for that phrase.
template <class Offset>
void CandidateCollector<Offset>::drop_admitted_duplicates() {
  std::sort(admitted_.begin(), admitted_.end(), [](const auto& a, const auto& b) {
    return std::tie(a.second, a.first) < std::tie(b.second, b.first);
  });
  admitted_.erase(std::unique(admitted_.begin(), admitted_.end()), admitted_.end());
  const std::vector<PositionHits> hits = hits_by_position();
  std::size_t h = 0;
  std::erase_if(admitted_, [&](const std::pair<std::uint32_t, Offset>& a) {
    while (h < hits.size() && hits[h].position < a.second) ++h;
    if (h == hits.size() || hits[h].position != a.second) return false;
    const auto begin =
        list_windows_.begin() + static_cast<std::ptrdiff_t>(list_begin_[hits[h].list]);
    const auto end =
        list_windows_.begin() + static_cast<std::ptrdiff_t>(list_begin_[hits[h].list + 1]);
    return std::any_of(begin, end, [&](const Window& w) { return w.id == a.first; });
  });
}

// An unindexed phrase can equal only a rewritten one (any other indexed phrase is shorter than
// the threshold, and equal raw bytes of threshold length share a run and so an id). Each one
// that does takes the rewritten phrase's id.
template <class Offset>
void CandidateCollector<Offset>::join_raw_phrases() {
  rewritten_.seal();
  std::vector<std::uint32_t> replacement;
  if (!rewritten_.empty()) {
    for (const std::uint32_t id : raw_ids_) {
      const std::string_view phrase = phrases_.key(id);
      if (!rewritten_.may_contain(phrase)) continue;
      const auto found = phrases_.find(phrase);
      if (!found) continue;
      if (replacement.empty()) {
        replacement.resize(phrases_.size());
        std::iota(replacement.begin(), replacement.end(), std::uint32_t{0});
      }
      replacement[id] = static_cast<std::uint32_t>(*found);
    }
  }
  std::vector<std::uint32_t>().swap(raw_ids_);
  if (!replacement.empty()) replace_ids(replacement);
}

// Renames the windows of every list; a start whose windows now repeat a phrase keeps the first
// (shortest) of them, so that each (phrase, start) pair is still hit once.
template <class Offset>
void CandidateCollector<Offset>::replace_ids(std::span<const std::uint32_t> replacement) {
  std::size_t out = 0;
  std::uint64_t begin = 0;
  for (std::size_t list = 0; list + 1 < list_begin_.size(); ++list) {
    const std::uint64_t end = list_begin_[list + 1];
    const std::size_t first = out;
    for (std::uint64_t k = begin; k < end; ++k) {
      Window w = list_windows_[k];
      w.id = replacement[w.id];
      if (out == first || list_windows_[out - 1].id != w.id) list_windows_[out++] = w;
    }
    begin = end;
    list_begin_[list + 1] = out;
  }
  list_windows_.resize(out);
}

template <class Idx>
void recover_set_aside(CandidateCollector<Idx>& scan) {
  scan.join_raw_phrases();
  scan.admit_set_aside_windows();
}

template void recover_set_aside(CandidateCollector<std::uint32_t>&);
template void recover_set_aside(CandidateCollector<std::uint64_t>&);

}  // namespace quarnel::core::duplicate_finder
