#pragma once
// SA-IS (induced sorting) over any unsigned symbol type, with the position width as a template
// parameter so byte texts below 4 GiB sort in 32-bit entries. The text carries no sentinel: its end
// acts as a virtual one, smaller than every symbol. The reduced problem lives in the free part of
// the suffix array itself, so the working memory beyond the array is one type bit per position and
// the bucket tables.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include "interrupt.hpp"

namespace quarnel::core::suffix_array::detail {

// One bit per position, 1 for S-type.
class TypeBits {
 public:
  explicit TypeBits(std::size_t n) : words_((n + 63) / 64, 0) {}
  [[nodiscard]] bool is_s(std::size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1U; }
  void set_s(std::size_t i) { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }
  // LMS: S-type with an L-type left neighbour. The virtual sentinel at n is handled by callers.
  [[nodiscard]] bool is_lms(std::size_t i) const { return i > 0 && is_s(i) && !is_s(i - 1); }

 private:
  std::vector<std::uint64_t> words_;
};

template <class Idx>
inline constexpr Idx kEmpty = std::numeric_limits<Idx>::max();

template <class Sym, class Idx>
class SaisLevel {
 public:
  SaisLevel(const Sym* text, Idx* sa, Idx n, Idx alphabet)
      : t_(text), sa_(sa), n_(n), k_(alphabet), types_(n), counts_(alphabet, 0), heads_(alphabet) {}

  void run() {
    classify();
    count_symbols();
    place_lms_unsorted();
    induce_l_type();
    induce_s_type();
    interrupt::checkpoint();
    const Idx m = compact_sorted_lms();
    const Idx names = name_lms_substrings(m);
    interrupt::checkpoint();
    solve_reduced(m, names);
    place_sorted_lms(m);
    induce_l_type();
    interrupt::checkpoint();
    induce_s_type();
  }

 private:
  void classify() {
    // Position n-1 precedes the virtual sentinel, so it is L-type.
    for (Idx i = n_ - 1; i-- > 0;) {
      if (t_[i] < t_[i + 1] || (t_[i] == t_[i + 1] && types_.is_s(i + 1))) types_.set_s(i);
    }
  }

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

  void place_lms_unsorted() {
    std::fill(sa_, sa_ + n_, kEmpty<Idx>);
    load_bucket_ends();
    for (Idx i = n_ - 1; i > 0; --i) {
      if (types_.is_lms(i)) sa_[--heads_[t_[i]]] = i;
    }
  }

  // Scanned entries are LMS or L-type, so e - 1 is L-type exactly when T[e - 1] >= T[e]; that
  // spares a random access to the type bits. The prefetch hides the text lookups of entries a few
  // ranks ahead, which dominate on texts without long repeats.
  void induce_l_type() {
    load_bucket_starts();
    // The suffix n-1 follows the virtual sentinel, the smallest suffix, in induced order.
    sa_[heads_[t_[n_ - 1]]++] = n_ - 1;
    for (Idx r = 0; r < n_; ++r) {
      prefetch_ahead(r + kPrefetchDistance, r + kPrefetchDistance / 2);
      const Idx e = sa_[r];
      if (e == kEmpty<Idx> || e == 0) continue;
      const Idx j = e - 1;
      if (t_[j] >= t_[e]) sa_[heads_[t_[j]]++] = j;
    }
  }

  // e - 1 is S-type when T[e - 1] < T[e]; only equal symbols need the type bit of e.
  void induce_s_type() {
    load_bucket_ends();
    for (Idx r = n_; r-- > 0;) {
      if (r >= kPrefetchDistance) prefetch_ahead(r - kPrefetchDistance, r - kPrefetchDistance / 2);
      const Idx e = sa_[r];
      if (e == kEmpty<Idx> || e == 0) continue;
      const Idx j = e - 1;
      if (t_[j] < t_[e] || (t_[j] == t_[e] && types_.is_s(e))) sa_[--heads_[t_[j]]] = j;
    }
  }

  static constexpr Idx kPrefetchDistance = 16;

  // Two stages: the text symbol of an entry far ahead, then the bucket counter of an entry
  // nearer by, whose symbol has arrived meanwhile (large alphabets make buckets miss too).
  void prefetch_ahead(Idx far, Idx near) const {
    if (far < n_) {
      const Idx e = sa_[far];
      if (e != kEmpty<Idx> && e != 0) __builtin_prefetch(t_ + e - 1);
    }
    if (k_ > 4096 && near < n_) {
      const Idx e = sa_[near];
      if (e != kEmpty<Idx> && e != 0) __builtin_prefetch(heads_.data() + t_[e - 1]);
    }
  }

  Idx compact_sorted_lms() {
    Idx m = 0;
    for (Idx r = 0; r < n_; ++r) {
      const Idx e = sa_[r];
      if (e != kEmpty<Idx> && types_.is_lms(e)) sa_[m++] = e;
    }
    return m;
  }

  // LMS substring lengths (up to and including the next LMS position) go to sa_[m + pos / 2]
  // first: LMS positions are at least two apart, so the slots are distinct. The substring that
  // reaches the virtual sentinel is unique and gets length 0, which equals nothing.
  void store_lms_lengths(Idx m) {
    std::fill(sa_ + m, sa_ + n_, kEmpty<Idx>);
    Idx next = n_;
    for (Idx i = n_ - 1; i > 0; --i) {
      if (!types_.is_lms(i)) continue;
      sa_[m + i / 2] = next == n_ ? 0 : next - i + 1;
      next = i;
    }
  }

  // Equal lengths and symbols imply equal types: both substrings end in an S-type position.
  [[nodiscard]] bool same_lms_substring(Idx a, Idx len_a, Idx b, Idx len_b) const {
    if (len_a != len_b || len_a == 0) return false;
    for (Idx d = 0; d < len_a; ++d) {
      if (t_[a + d] != t_[b + d]) return false;
    }
    return true;
  }

  // Replaces each length by the name of its substring, then moves the names, in text order, to
  // the tail of the array: that is the reduced string.
  Idx name_lms_substrings(Idx m) {
    store_lms_lengths(m);
    Idx name = 0;
    Idx prev = kEmpty<Idx>, prev_len = 0;
    for (Idx r = 0; r < m; ++r) {
      const Idx pos = sa_[r];
      const Idx len = sa_[m + pos / 2];
      if (prev != kEmpty<Idx> && !same_lms_substring(prev, prev_len, pos, len)) ++name;
      prev = pos;
      prev_len = len;
      sa_[m + pos / 2] = name;
    }
    Idx j = n_;
    for (Idx i = n_; i-- > m;) {
      if (sa_[i] != kEmpty<Idx>) sa_[--j] = sa_[i];
    }
    return m == 0 ? 0 : name + 1;
  }

  void solve_reduced(Idx m, Idx names) {
    Idx* reduced = sa_ + (n_ - m);
    if (names < m) {
      // Release this level's tables during the recursion; they are rebuilt afterwards.
      std::vector<Idx>().swap(heads_);
      SaisLevel<Idx, Idx>(reduced, sa_, m, names).run();
      heads_.assign(k_, 0);
    } else {
      for (Idx i = 0; i < m; ++i) sa_[reduced[i]] = i;
    }
    // Replace reduced-string indexes by text positions of the LMS suffixes.
    Idx j = 0;
    for (Idx i = 1; i < n_; ++i) {
      if (types_.is_lms(i)) reduced[j++] = i;
    }
    for (Idx i = 0; i < m; ++i) sa_[i] = reduced[sa_[i]];
  }

  void place_sorted_lms(Idx m) {
    std::fill(sa_ + m, sa_ + n_, kEmpty<Idx>);
    load_bucket_ends();
    for (Idx i = m; i-- > 0;) {
      const Idx p = sa_[i];
      sa_[i] = kEmpty<Idx>;
      sa_[--heads_[t_[p]]] = p;
    }
  }

  const Sym* t_;
  Idx* sa_;
  Idx n_;
  Idx k_;
  TypeBits types_;
  std::vector<Idx> counts_;
  std::vector<Idx> heads_;
};

// Sorts the suffixes of text[0..n) into sa[0..n); every symbol is below `alphabet`.
template <class Sym, class Idx>
void sais_sort(const Sym* text, Idx* sa, Idx n, Idx alphabet) {
  if (n == 0) return;
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  SaisLevel<Sym, Idx>(text, sa, n, alphabet).run();
}

}  // namespace quarnel::core::suffix_array::detail
