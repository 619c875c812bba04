#pragma once
// SA-IS (suffix sorting by induced sorting) over any unsigned symbol type, in entries of 32 or 64
// bits. The text carries no sentinel: its end acts as a virtual one, smaller than every symbol.
//
// The top bit of an entry is a mark, so positions must stay below 2^(bits - 1). When a suffix j is
// induced its left neighbour's type is known from T[j - 1] and T[j] alone (both on one cache line),
// and the mark records it: in the L pass a marked entry has an S-type left neighbour, which the
// S pass will induce; in the S pass a marked entry's neighbour is S-type too. Neither pass reads a
// type array or the text of an entry that induces nothing, and there is no type array at all:
// where types are needed, a right-to-left scan of the text derives them on the fly.
//
// Working memory beyond the text and the array is the bucket tables of each level. The reduced
// problem lives in the array itself: its suffix array in the front, its text in the back.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "interrupt.hpp"
#include "large_array.hpp"
#include "prefetch.hpp"

namespace quarnel::core::suffix_array::sais {

template <class Idx>
inline constexpr Idx kMark = Idx{1} << (std::numeric_limits<Idx>::digits - 1);

// Longest text an Idx-entry array can sort: positions keep the mark bit free.
template <class Idx>
inline constexpr std::uint64_t kMaxLength = kMark<Idx> - 1;

// The four induced-sorting passes: L and S of the LMS substring sort, L and S of the final one.
enum class Pass : std::uint8_t { SortL, SortS, FinalL, FinalS };

template <Pass P>
inline constexpr bool kUpward = P == Pass::SortL || P == Pass::FinalL;

template <class Sym, class Idx>
class Level {
  static_assert(std::is_unsigned_v<Idx> && std::is_unsigned_v<Sym>);

 public:
  Level(const Sym* text, Idx* sa, Idx n, Idx alphabet)
      : t_(text),
        sa_(sa),
        n_(n),
        k_(alphabet),
        counts_(large_array<Idx>(alphabet)),
        heads_(large_array<Idx>(alphabet)) {}

  void run() {
    count_symbols();
    const Idx m = place_lms_unsorted();
    sort_lms_substrings();
    interrupt::checkpoint();
    compact_lms();
    const Idx names = name_lms_substrings(m);
    interrupt::checkpoint();
    solve_reduced(m, names);
    place_sorted_lms(m);
    // Unmarked entries induce their left neighbour, an L-type; marked ones wait for the S pass,
    // which unmarks them.
    run_pass<Pass::FinalL>();
    interrupt::checkpoint();
    run_pass<Pass::FinalS>();
  }

 private:
  static constexpr Idx kMarkBit = kMark<Idx>;
  // Entries ahead whose text is prefetched.
  static constexpr Idx kAhead = 64;

  void count_symbols() {
    for (Idx i = 0; i < n_; ++i) ++counts_[t_[i]];
  }

  void load_bucket_starts() {
    Idx sum = 0;
    for (Idx c = 0; c < k_; ++c) {
      heads_[c] = sum;
      sum += counts_[c];
    }
  }

  void load_bucket_ends() {
    Idx sum = 0;
    for (Idx c = 0; c < k_; ++c) {
      sum += counts_[c];
      heads_[c] = sum;
    }
  }

  // One bit per position, set at LMS positions. Types are derived right to left without
  // branches (on random text they are unpredictable); position n - 1 precedes the virtual
  // sentinel, so it is L-type, and position 0 is never LMS.
  void find_lms_positions() {
    const std::size_t words = (static_cast<std::size_t>(n_) + 63) / 64;
    lms_.assign(words, 0);
    std::uint64_t word = 0;
    std::uint64_t next_s = 0;
    for (Idx i = n_ - 1; i-- > 0;) {
      const std::uint64_t s = (t_[i] < t_[i + 1]) | ((t_[i] == t_[i + 1]) & next_s);
      word |= s << (i & 63);
      next_s = s;
      if ((i & 63) == 0) {
        lms_[i >> 6] = word;
        word = 0;
      }
    }
    // S bits to LMS bits, downward so that each word still sees its lower neighbour's S bits.
    for (std::size_t w = words; w-- > 0;) {
      const std::uint64_t below = w > 0 ? lms_[w - 1] >> 63 : 1;
      lms_[w] &= ~((lms_[w] << 1) | below);
    }
  }

  // Calls visit(i) for every LMS position i in increasing order.
  template <class Visit>
  void for_each_lms(Visit&& visit) const {
    for (std::size_t w = 0; w < lms_.size(); ++w) {
      for (std::uint64_t x = lms_[w]; x != 0; x &= x - 1) {
        visit(static_cast<Idx>(w * 64 + static_cast<std::size_t>(std::countr_zero(x))));
      }
    }
  }

  Idx place_lms_unsorted() {
    std::fill(sa_, sa_ + n_, Idx{0});
    load_bucket_ends();
    find_lms_positions();
    Idx m = 0;
    for_each_lms([&](Idx i) {
      sa_[--heads_[t_[i]]] = i;
      ++m;
    });
    return m;
  }

  // Prefetches, for the scan at rank r upward or downward, the text of the entry kAhead ranks
  // away. Prefetching bucket counters and slots as well, for large alphabets, measured slower:
  // the extra dependent loads cost more than the misses they hide.
  template <bool kUp>
  void prefetch_entry(Idx r) const {
    if (kUp ? r + kAhead >= n_ : r < kAhead) return;
    const Idx far = sa_[kUp ? r + kAhead : r - kAhead] & ~kMarkBit;
    prefetch_read(t_ + (far > 1 ? far - 2 : 0));
  }

  // Whether the entry v induces a suffix in pass P, and which.
  template <Pass P>
  [[nodiscard]] static bool induces(Idx v) {
    if constexpr (kUpward<P>) {
      return v != 0 && !(v & kMarkBit);
    } else {
      return (v & kMarkBit) != 0;
    }
  }
  [[nodiscard]] static Idx induced(Idx v) { return (v & ~kMarkBit) - 1; }

  // The mark of the induced suffix j with symbol c. In L passes: its left neighbour is S-type.
  // In S passes: its left neighbour is S-type too (unmarked, j is LMS). Position 0 has none.
  template <Pass P>
  [[nodiscard]] bool mark_of(Idx j, Sym c) const {
    if constexpr (kUpward<P>) {
      return j > 0 && t_[j - 1] < c;
    } else {
      return j > 0 && t_[j - 1] <= c;
    }
  }

  // Stores the suffix j that the entry v at rank r induces, and updates the entry. The LMS
  // substring sort clears spent entries and drops position 0, never LMS; the final S pass
  // unmarks them.
  template <Pass P>
  void induce(Idx r, Idx v, Idx j, Idx c, bool mark) {
    constexpr bool kSorting = P == Pass::SortL || P == Pass::SortS;
    if constexpr (kSorting) sa_[r] = 0;
    if constexpr (P == Pass::FinalS) sa_[r] = v ^ kMarkBit;
    if (kSorting && j == 0) return;
    const Idx slot = kUpward<P> ? heads_[c]++ : --heads_[c];
    sa_[slot] = j == 0 ? 0 : (mark ? j | kMarkBit : j);
  }

  // Scan position s visits rank s upward, rank n - 1 - s downward.
  template <Pass P>
  [[nodiscard]] Idx rank_at(Idx s) const {
    return kUpward<P> ? s : n_ - 1 - s;
  }

  template <Pass P>
  void run_pass() {
    if constexpr (kUpward<P>) {
      load_bucket_starts();
      // The suffix n - 1 follows the virtual sentinel, the smallest suffix, in induced order.
      const Idx j = n_ - 1;
      sa_[heads_[t_[j]]++] = mark_of<P>(j, t_[j]) ? j | kMarkBit : j;
    } else {
      load_bucket_ends();
    }
    for (Idx s = 0; s < n_; ++s) {
      const Idx r = rank_at<P>(s);
      prefetch_entry<kUpward<P>>(r);
      const Idx v = sa_[r];
      if (!induces<P>(v)) continue;
      const Idx j = induced(v);
      const Sym c = t_[j];
      induce<P>(r, v, j, c, mark_of<P>(j, c));
    }
  }

  // Sorts the LMS substrings, leaving only the LMS positions in the array.
  void sort_lms_substrings() {
    run_pass<Pass::SortL>();
    run_pass<Pass::SortS>();
  }

  void compact_lms() {
    Idx out = 0;
    for (Idx r = 0; r < n_; ++r) {
      const Idx v = sa_[r];
      sa_[out] = v;
      out += v != 0;
    }
  }

  // LMS substring lengths (up to and including the next LMS position) go to sa_[m + pos / 2]:
  // LMS positions are at least two apart, so the slots are distinct. The substring that reaches
  // the virtual sentinel is unique; it gets length 0, which equals nothing.
  void store_lms_lengths(Idx m) {
    std::fill(sa_ + m, sa_ + n_, Idx{0});
    Idx prev = n_;
    for_each_lms([&](Idx i) {
      if (prev != n_) sa_[m + prev / 2] = i - prev + 1;
      prev = i;
    });
    if (prev != n_) sa_[m + prev / 2] = kMarkBit;
  }

  [[nodiscard]] bool same_lms_substring(Idx a, Idx len_a, Idx b, Idx len_b) const {
    if (len_a != len_b || len_a == kMarkBit) return false;
    if constexpr (sizeof(Sym) == 1) {
      // Eight bytes at a time while both stay inside the text; most substrings take one step.
      Idx d = 0;
      for (; d + 8 <= len_a && std::max(a, b) + d + 8 <= n_; d += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, t_ + a + d, 8);
        std::memcpy(&y, t_ + b + d, 8);
        if (x != y) return false;
      }
      for (; d < len_a; ++d) {
        if (t_[a + d] != t_[b + d]) return false;
      }
      return true;
    } else {
      for (Idx d = 0; d < len_a; ++d) {
        if (t_[a + d] != t_[b + d]) return false;
      }
      return true;
    }
  }

  // Replaces each length by its substring's name plus one, then moves the names, in text order,
  // to the tail of the array: that is the reduced string.
  Idx name_lms_substrings(Idx m) {
    store_lms_lengths(m);
    Idx name = 0;
    Idx prev = 0, prev_len = kMarkBit;
    for (Idx r = 0; r < m; ++r) {
      if (r + kAhead < m) {
        const Idx ahead = sa_[r + kAhead];
        prefetch_read(sa_ + m + ahead / 2);
        prefetch_read(t_ + ahead);
      }
      const Idx pos = sa_[r];
      const Idx len = sa_[m + pos / 2];
      if (r > 0 && !same_lms_substring(prev, prev_len, pos, len)) ++name;
      prev = pos;
      prev_len = len;
      sa_[m + pos / 2] = name + 1;
    }
    Idx j = n_;
    for (Idx i = n_; i-- > m;) {
      const Idx v = sa_[i];
      if (v != 0) sa_[--j] = v - 1;
    }
    return m == 0 ? 0 : name + 1;
  }

  void solve_reduced(Idx m, Idx names) {
    Idx* reduced = sa_ + (n_ - m);
    if (names < m) {
      // Release this level's working table during the recursion; it is rebuilt afterwards.
      std::vector<Idx>().swap(heads_);
      Level<Idx, Idx>(reduced, sa_, m, names).run();
      heads_ = large_array<Idx>(k_);
    } else {
      for (Idx i = 0; i < m; ++i) sa_[reduced[i]] = i;
    }
    // Replace reduced-string indexes by the text positions of the LMS suffixes.
    Idx j = 0;
    for_each_lms([&](Idx i) { reduced[j++] = i; });
    for (Idx r = 0; r < m; ++r) {
      if (r + kAhead < m) prefetch_read(reduced + sa_[r + kAhead]);
      sa_[r] = reduced[sa_[r]];
    }
  }

  void place_sorted_lms(Idx m) {
    std::fill(sa_ + m, sa_ + n_, Idx{0});
    load_bucket_ends();
    for (Idx r = m; r-- > 0;) {
      if (r >= kAhead) prefetch_read(t_ + sa_[r - kAhead]);
      const Idx p = sa_[r];
      sa_[r] = 0;
      sa_[--heads_[t_[p]]] = p;
    }
  }

  const Sym* t_;
  Idx* sa_;
  Idx n_;
  Idx k_;
  std::vector<Idx> counts_;
  std::vector<Idx> heads_;
  std::vector<std::uint64_t> lms_;
};

// Sorts the suffixes of text[0..n) into sa[0..n); every symbol is below `alphabet`, and
// n <= kMaxLength<Idx>.
template <class Sym, class Idx>
void sort(const Sym* text, Idx* sa, Idx n, Idx alphabet) {
  if (n == 0) return;
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  Level<Sym, Idx>(text, sa, n, alphabet).run();
}

}  // namespace quarnel::core::suffix_array::sais
