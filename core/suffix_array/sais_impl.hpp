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
// Working memory beyond the text and the array is the bucket tables of each level and two bits
// a position; the key sort of byte texts (below) adds at most 3.5 bytes a position while it
// runs, and naming by dictionary at most 2^20 distinct LMS substrings (about 100 MB at most).
// The reduced problem lives in the array itself: its suffix array in the front, its text in the
// back.
//
// The stages are kept out of line: inlined into run(), the induction loops ran slower.
//
// The class holds a level and its induced LMS sort; the other ways of naming LMS substrings
// (by dictionary, by packed keys) and the planner of a pass on two threads define its members
// in files of their own beside it. Measurements behind the choices are in DESIGN.md.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "base/parallel.hpp"
#include "base/prefetch.hpp"

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

// How many threads a sort may use, and from which length on (at every level of the recursion)
// its induction passes take the second one.
struct Threads {
  unsigned count = 1;
  std::uint64_t min_length = std::uint64_t{1} << 21;
  // Entries a pass hands between its threads at a time.
  std::size_t block = std::size_t{1} << 15;
  // Whether this thread waits for the other's plan of each block, rather than scanning the
  // blocks not planned in time itself: slower, but every block then takes the planned path
  // whatever the machine's load, which tests need.
  bool wait_for_plans = false;

  // The lanes a level of n positions runs on.
  [[nodiscard]] parallel::Lanes lanes(std::uint64_t n) const {
    return parallel::Lanes::two_if(count > 1 && n >= min_length);
  }
};

template <class Sym, class Idx>
class Level {
  static_assert(std::is_unsigned_v<Idx> && std::is_unsigned_v<Sym>);

 public:
  Level(const Sym* text, Idx* sa, Idx n, Idx alphabet, const Threads& threads = {})
      : threads_(threads),
        t_(text),
        sa_(sa),
        n_(n),
        k_(alphabet),
        counts_(large_array<Idx>(alphabet)),
        heads_(large_array<Idx>(alphabet)) {}

  void run() {
    count_symbols();
    find_lms_positions();
    const Idx m = count_lms();
    const bool by_keys = sort_lms_by_keys(m);
    // Naming by dictionary leaves the reduced string gathered already.
    const bool gathered = !by_keys && name_lms_by_dictionary(m);
    if (!by_keys && !gathered) {
      place_lms_unsorted();
      sort_lms_substrings();
      interrupt::checkpoint();
      compact_lms();
      names_ = name_lms_substrings(m);
    }
    interrupt::checkpoint();
    if (names_ < m) {
      if (!gathered) gather_reduced_string(m);
      solve_reduced(m, names_);
    }
    // Where every LMS substring is unique (random bytes), placing scatters over every bucket and
    // costs this thread nearly what a whole scan does: a planner saves little there, and costs
    // time on a busy machine.
    if (names_ == m) threads_.count = 1;
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

  // Locals throughout: the compiler cannot tell that the stores leave the members unchanged.
  // Bytes count into four tables in turn, so that a run of one byte does not chain each
  // increment on the one before.
  void count_symbols() {
    const Sym* const t = t_;
    const Idx n = n_;
    Idx* const counts = counts_.data();
    if constexpr (sizeof(Sym) == 1) {
      std::array<std::array<Idx, 256>, 4> part{};
      Idx i = 0;
      for (; n - i >= 4; i += 4) {
        ++part[0][t[i]];
        ++part[1][t[i + 1]];
        ++part[2][t[i + 2]];
        ++part[3][t[i + 3]];
      }
      for (; i < n; ++i) ++part[0][t[i]];
      for (Idx c = 0; c < std::min<Idx>(k_, 256); ++c) {
        counts[c] = part[0][c] + part[1][c] + part[2][c] + part[3][c];
      }
    } else {
      for (Idx i = 0; i < n; ++i) ++counts[t[i]];
    }
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
    // One word more, always clear, so that a 64-bit window of types can start at any position.
    lms_.assign(words + 1, 0);
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
    // The key sort of byte texts reads the types as well.
    if constexpr (kKeySorts) stype_ = lms_;
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

  [[nodiscard]] Idx count_lms() const {
    Idx m = 0;
    for (const std::uint64_t w : lms_) m += static_cast<Idx>(std::popcount(w));
    return m;
  }

  void place_lms_unsorted() {
    Idx* const sa = sa_;
    const Sym* const t = t_;
    std::fill(sa, sa + n_, Idx{0});
    load_bucket_ends();
    Idx* const heads = heads_.data();
    for_each_lms([&](Idx i) { sa[--heads[t[i]]] = i; });
  }

  // Prefetches, for the scan of pass P at rank r, the text of the entry kAhead ranks away.
  // Prefetching bucket counters and slots as well, for large alphabets, is slower: the extra
  // dependent loads cost more than the misses they hide. The final L pass skips entries that
  // induce nothing as they stand, whose lines would take fill buffers from those that do. In the
  // final S pass that helps prose but hurts DNA, so that pass, like the LMS substring sort,
  // prefetches every entry.
  template <Pass P, bool kShared>
  static void prefetch_entry(const Sym* t, const Idx* sa, Idx n, Idx r) {
    constexpr bool kUp = kUpward<P>;
    if (kUp ? r + kAhead >= n : r < kAhead) return;
    const Idx v = load<kShared>(sa + (kUp ? r + kAhead : r - kAhead));
    const Idx far = P != Pass::FinalL || induces<P>(v) ? v & ~kMarkBit : 0;
    prefetch_read(t + (far > 1 ? far - 2 : 0));
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
  [[nodiscard]] static bool mark_of(const Sym* t, Idx j, Sym c) {
    if constexpr (kUpward<P>) {
      return j > 0 && t[j - 1] < c;
    } else {
      return j > 0 && t[j - 1] <= c;
    }
  }
  template <Pass P>
  [[nodiscard]] bool mark_of(Idx j, Sym c) const {
    return mark_of<P>(t_, j, c);
  }

  // Scan position s visits rank s upward, rank n - 1 - s downward.
  template <Pass P>
  [[nodiscard]] Idx rank_at(Idx s) const {
    return kUpward<P> ? s : n_ - 1 - s;
  }

  template <Pass P>
  [[gnu::noinline]] void run_pass() {
    if constexpr (kUpward<P>) {
      load_bucket_starts();
      // The suffix n - 1 follows the virtual sentinel, the smallest suffix, in induced order.
      const Idx j = n_ - 1;
      sa_[heads_[t_[j]]++] = mark_of<P>(j, t_[j]) ? j | kMarkBit : j;
    } else {
      load_bucket_ends();
    }
    if (threads_.lanes(n_).has_second() && run_pass_on_two_threads<P>()) return;
    scan<P, false>(0, n_);
  }

  // What the entry `seen` induces in a pass, planned ahead by the other thread.
  struct Planned {
    Idx seen;    // the entry planned for
    Idx symbol;  // of the suffix it induces; 0 where it induces nothing
    Idx entry;   // to be stored for that suffix; 0 for position 0, and where nothing is induced
  };

  // Each inducing entry stores the suffix it induces, and is updated: the LMS substring sort
  // clears spent entries and drops position 0, never LMS; the final S pass unmarks them. The
  // members are held in locals: the compiler cannot tell that stores to the array leave them
  // unchanged, and would reload them.
  // Whether an entry induces follows no pattern a predictor learns (on prose, about half do), so
  // every entry takes the same path: one that induces nothing reads t[0], leaves its bucket
  // counter as it was and writes to a spare slot, which beats a branch.
  // The scan positions [begin, end); kShared where the other thread may read the array meanwhile.
  // With kPlanned, what each entry induces is read from `plan` (made by the other thread for scan
  // positions from `begin` on) where the plan still holds, and the text is not read there.
  template <Pass P, bool kShared, bool kPlanned = false>
  void scan(Idx begin, Idx end, const Planned* plan = nullptr) {
    constexpr bool kSorting = P == Pass::SortL || P == Pass::SortS;
    constexpr bool kUp = kUpward<P>;
    const Sym* const t = t_;
    Idx* const sa = sa_;
    Idx* const heads = heads_.data();
    const Idx n = n_;
    Idx spare = 0;
    for (Idx s = begin; s < end; ++s) {
      const Idx r = kUp ? s : n - 1 - s;
      if constexpr (!kPlanned) prefetch_entry<P, kShared>(t, sa, n, r);
      const Idx v = load<kShared>(sa + r);
      const bool inducing = induces<P>(v);
      Idx symbol;
      Idx entry;
      if constexpr (kPlanned) {
        Planned planned = plan[s - begin];
        if (planned.seen != v) [[unlikely]] {
          planned = plan_of<P>(t, v);
        }
        symbol = planned.symbol;
        entry = planned.entry;
      } else {
        const Idx j = inducing ? induced(v) : 0;
        const Sym c = t[j];
        const bool mark = mark_of<P>(t, j, c);
        symbol = c;
        entry = j == 0 ? 0 : (mark ? j | kMarkBit : j);
      }
      if constexpr (kSorting) store<kShared>(sa + r, inducing ? 0 : v);
      if constexpr (P == Pass::FinalS) store<kShared>(sa + r, inducing ? v ^ kMarkBit : v);
      const bool places = inducing && (!kSorting || entry != 0);
      const Idx head = heads[symbol];
      heads[symbol] = kUp ? head + places : head - places;
      Idx* const to = places ? sa + (kUp ? head : head - 1) : &spare;
      store<kShared>(to, entry);
    }
  }

  template <Pass P>
  [[nodiscard]] static Planned plan_of(const Sym* t, Idx v) {
    if (!induces<P>(v)) return {v, 0, 0};
    const Idx j = induced(v);
    const Sym c = t[j];
    return {v, static_cast<Idx>(c), j == 0 ? 0 : (mark_of<P>(t, j, c) ? j | kMarkBit : j)};
  }

  template <bool kShared>
  [[nodiscard]] static Idx load(const Idx* p) {
    if constexpr (kShared) {
      return __atomic_load_n(p, __ATOMIC_RELAXED);
    } else {
      return *p;
    }
  }
  template <bool kShared>
  static void store(Idx* p, Idx v) {
    if constexpr (kShared) {
      __atomic_store_n(p, v, __ATOMIC_RELAXED);
    } else {
      *p = v;
    }
  }

  // A pass on two threads (sais_planner.hpp): this thread places, the other plans ahead.
  template <Pass P>
  [[nodiscard]] bool plan_block(Planned* plan, Idx begin, Idx end, std::size_t b,
                                const std::atomic<std::size_t>& placing) const;
  static void yield_to_other_work();
  template <Pass P>
  bool run_pass_on_two_threads();

  // Sorts the LMS substrings, leaving only the LMS positions in the array.
  [[gnu::noinline]] void sort_lms_substrings() {
    run_pass<Pass::SortL>();
    run_pass<Pass::SortS>();
  }

  void compact_lms() {
    Idx* const sa = sa_;
    const Idx n = n_;
    Idx out = 0;
    for (Idx r = 0; r < n; ++r) {
      const Idx v = sa[r];
      sa[out] = v;
      out += v != 0;
    }
  }

  // body(begin, end) on [0, mid) and [mid, count), on this level's lanes.
  template <class Body>
  void in_halves(Idx count, Idx mid, Body&& body) {
    parallel::over_parts(threads_.lanes(n_), count, mid, [&](parallel::Part part) {
      body(static_cast<Idx>(part.begin), static_cast<Idx>(part.end));
    });
  }

  // Naming LMS substrings after the induced sort (sais_naming.hpp).
  void store_lms_lengths(Idx m);
  [[nodiscard]] bool same_lms_substring(Idx a, Idx len_a, Idx b, Idx len_b) const;
  [[gnu::noinline]] Idx name_lms_substrings(Idx m);
  void mark_new_names(Idx m, Idx begin, Idx end, std::uint64_t* differs) const;
  void assign_names(Idx m, Idx begin, Idx end, const std::uint64_t* differs);
  [[gnu::noinline]] Idx name_lms_substrings_in_one_pass(Idx m);

  // Moves the names (plus one) at sa_[m + pos / 2], in text order, to the tail of the array:
  // that is the reduced string.
  [[gnu::noinline]] void gather_reduced_string(Idx m) {
    Idx j = n_;
    for (Idx i = n_; i-- > m;) {
      const Idx v = sa_[i];
      if (v != 0) sa_[--j] = v - 1;
    }
  }

  // Sorts the reduced string's suffixes, which have repeated names, and maps them to the LMS
  // suffixes' positions in the front of the array.
  [[gnu::noinline]] void solve_reduced(Idx m, Idx names) {
    Idx* reduced = sa_ + (n_ - m);
    // Release this level's working tables during the recursion; the heads are rebuilt afterwards.
    std::vector<Idx>().swap(heads_);
    std::vector<std::uint64_t>().swap(stype_);
    Level<Idx, Idx>(reduced, sa_, m, names, threads_).run();
    heads_ = large_array<Idx>(k_);
    // Replace reduced-string indexes by the text positions of the LMS suffixes.
    Idx j = 0;
    for_each_lms([&](Idx i) { reduced[j++] = i; });
    in_halves(m, m / 2, [&](Idx begin, Idx end) {
      for (Idx r = begin; r < end; ++r) {
        if (r + kAhead < end) prefetch_read(reduced + sa_[r + kAhead]);
        sa_[r] = reduced[sa_[r]];
      }
    });
  }

  [[gnu::noinline]] void place_sorted_lms(Idx m) {
    std::fill(sa_ + m, sa_ + n_, Idx{0});
    load_bucket_ends();
    for (Idx r = m; r-- > 0;) {
      if (r >= kAhead) prefetch_read(t_ + sa_[r - kAhead]);
      const Idx p = sa_[r];
      sa_[r] = 0;
      sa_[--heads_[t_[p]]] = p;
    }
  }

  // Naming LMS substrings by dictionary (sais_dictionary.hpp).
  static constexpr Idx kDictionaryShare = 16;
  static constexpr std::size_t kDictionaryMax = std::size_t{1} << 20;
  static constexpr std::size_t kMaxProbes = 64;

  // A distinct LMS substring: its first occurrence, and its length up to and including the next
  // LMS position, or up to the end of the text for the last one.
  struct Distinct {
    Idx pos;
    Idx len;
  };

  // A table slot; len 0 marks it empty. The key holds the symbols themselves where they fit in
  // 64 bits, a hash of them otherwise.
  struct Slot {
    std::uint64_t key;
    Idx len;
    Idx id;
  };

  [[nodiscard]] static constexpr bool packs(Idx len) { return std::size_t{len} * sizeof(Sym) <= 8; }

  [[nodiscard]] static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 29);
  }

  [[nodiscard]] std::uint64_t key_of(Idx pos, Idx len) const;
  [[nodiscard]] bool same_symbols(Idx a, Idx b, Idx len) const;
  [[nodiscard]] bool look_up(Idx pos, Idx len, std::size_t limit, Idx& id);
  [[nodiscard]] bool grow_slots();
  [[nodiscard]] bool distinct_less(const Distinct& a, const Distinct& b, Idx last) const;
  [[gnu::noinline]] bool name_lms_by_dictionary(Idx m);
  void release_dictionary();

  // The LMS sort by packed keys, for byte texts (sais_key_sort.hpp).
  static constexpr bool kKeySorts = sizeof(Sym) == 1;
  // Random bytes spread their LMS positions over about 15 bits' worth of buckets; prose over 8.
  static constexpr double kKeySortEntropyBits = 12.0;

  struct Keyed {
    std::uint64_t key;
    Idx pos;
  };

  bool load_key_codes();
  [[nodiscard]] std::uint64_t type_window(std::size_t q) const;
  [[nodiscard]] std::uint64_t key_at(std::size_t q) const;
  [[nodiscard]] std::size_t next_lms_distance(std::size_t p) const;
  void settle(Keyed* items, std::size_t count, std::size_t offset, Idx* out);
  void load_keys(Keyed* items, std::size_t count, std::size_t offset) const;
  [[nodiscard]] bool refines(std::size_t p, std::size_t count, std::size_t reach);
  void name_group(const Keyed* items, std::size_t count, Idx* out);
  [[nodiscard]] static double bucket_entropy(const std::vector<Idx>& totals, Idx m);
  [[gnu::noinline]] bool sort_lms_by_keys(Idx m);

  Threads threads_;
  const Sym* t_;
  Idx* sa_;
  Idx n_;
  Idx k_;
  std::vector<Idx> counts_;
  std::vector<Idx> heads_;
  std::vector<std::uint64_t> lms_;
  std::vector<std::uint64_t> stype_;  // S-type bits, for the key sort
  Idx names_ = 0;
  Idx m_ = 0;
  Idx name_count_ = 0;
  std::size_t refine_budget_ = 0;
  std::vector<Slot> slots_;
  std::vector<Distinct> distinct_;
  std::uint8_t rank_[256] = {};
  unsigned code_bits_ = 0;
  std::size_t key_positions_ = 0;
};

}  // namespace quarnel::core::suffix_array::sais

// The level's members that live beside it: one file per way of naming LMS substrings, and the
// planner of a pass on two threads.
#include "suffix_array/sais_dictionary.hpp"
#include "suffix_array/sais_key_sort.hpp"
#include "suffix_array/sais_naming.hpp"
#include "suffix_array/sais_planner.hpp"

namespace quarnel::core::suffix_array::sais {

// Sorts the suffixes of text[0..n) into sa[0..n); every symbol is below `alphabet`, and
// n <= kMaxLength<Idx>.
template <class Sym, class Idx>
void sort(const Sym* text, Idx* sa, Idx n, Idx alphabet, const Threads& threads = {}) {
  if (n == 0) return;
  if (n == 1) {
    sa[0] = 0;
    return;
  }
  Level<Sym, Idx>(text, sa, n, alphabet, threads).run();
}

}  // namespace quarnel::core::suffix_array::sais
