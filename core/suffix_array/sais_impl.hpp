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
// The stages are kept out of line: inlined into run(), the induction loops measured a tenth
// slower.

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

#include "interrupt.hpp"
#include "large_array.hpp"
#include "parallel.hpp"
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

  [[nodiscard]] bool split(std::uint64_t n) const { return count > 1 && n >= min_length; }
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
    // costs this thread nearly what a whole scan does: planned on the other thread, the final
    // passes of random bytes (64 MB) saved a twentieth of this thread's time and took longer on
    // a busy machine.
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
  // Prefetching bucket counters and slots as well, for large alphabets, measured slower: the
  // extra dependent loads cost more than the misses they hide. The final L pass skips entries
  // that induce nothing as they stand, whose lines would take fill buffers from those that do:
  // that took 10-20% off the pass on prose and DNA (8 MB) and 7% off the whole sort of repeats.
  // In the final S pass it took 28% off on prose but added 20% on DNA, so that pass, like the
  // LMS substring sort, prefetches every entry.
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
    if (threads_.split(n_) && run_pass_on_two_threads<P>()) return;
    scan<P, false>(0, n_);
  }

  // Each inducing entry stores the suffix it induces, and is updated: the LMS substring sort
  // clears spent entries and drops position 0, never LMS; the final S pass unmarks them. The
  // members are held in locals: the compiler cannot tell that stores to the array leave them
  // unchanged, and reloading them measured 3% slower on prose.
  // Whether an entry induces follows no pattern a predictor learns (on prose, about half do), so
  // every entry takes the same path: one that induces nothing reads t[0], leaves its bucket
  // counter as it was and writes to a spare slot. Against a branch, the final L pass over names
  // took a quarter less time on prose and the whole sort 3% less on prose and DNA (8 and 64 MB,
  // medians of runs in turns); random bytes and repeats stayed level.
  // The scan positions [begin, end); kShared where the other thread may read the array meanwhile.
  template <Pass P, bool kShared>
  void scan(Idx begin, Idx end) {
    constexpr bool kSorting = P == Pass::SortL || P == Pass::SortS;
    constexpr bool kUp = kUpward<P>;
    const Sym* const t = t_;
    Idx* const sa = sa_;
    Idx* const heads = heads_.data();
    const Idx n = n_;
    Idx spare = 0;
    for (Idx s = begin; s < end; ++s) {
      const Idx r = kUp ? s : n - 1 - s;
      prefetch_entry<P, kShared>(t, sa, n, r);
      const Idx v = load<kShared>(sa + r);
      const bool inducing = induces<P>(v);
      const Idx j = inducing ? induced(v) : 0;
      const Sym c = t[j];
      const bool mark = mark_of<P>(t, j, c);
      if constexpr (kSorting) store<kShared>(sa + r, inducing ? 0 : v);
      if constexpr (P == Pass::FinalS) store<kShared>(sa + r, inducing ? v ^ kMarkBit : v);
      const bool places = inducing && (!kSorting || j != 0);
      const Idx head = heads[c];
      heads[c] = kUp ? head + places : head - places;
      Idx* const to = places ? sa + (kUp ? head : head - 1) : &spare;
      store<kShared>(to, j == 0 ? 0 : (mark ? j | kMarkBit : j));
    }
  }

  // ---- A pass on two threads ----
  //
  // The scan goes in blocks. While this thread places the suffixes that block b induces, the
  // other one plans block b + 1: for each entry as it reads it, the symbol and entry of the
  // suffix it induces. Those text reads, which miss the cache, are its share; this thread then
  // reads the plan in order and touches no text. A plan depends on the entry alone, so it keeps
  // the entry it was made for: an entry changed since (suffixes are induced ahead of the scan,
  // into this block or the next) is planned again here. Entries of the block ahead are read and
  // written by both threads meanwhile: those accesses are relaxed atomics, and a plan of an
  // entry read too early is never used.

  struct Planned {
    Idx seen;    // the entry planned for
    Idx symbol;  // of the suffix it induces; 0 where it induces nothing
    Idx entry;   // to be stored for that suffix; 0 for position 0, and where nothing is induced
  };

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

  // The other thread's share: plans the entries at scan positions [begin, end) of block b;
  // false where it gave up because this thread reached the block first.
  template <Pass P>
  [[nodiscard]] bool plan_block(Planned* plan, Idx begin, Idx end, std::size_t b,
                                const std::atomic<std::size_t>& placing) const {
    constexpr Idx kCheck = 4096;
    const Sym* const t = t_;
    const Idx* const sa = sa_;
    const Idx n = n_;
    for (Idx s = begin; s < end; ++s) {
      if ((s - begin) % kCheck == 0 && placing.load(std::memory_order_relaxed) >= b) return false;
      const Idx r = kUpward<P> ? s : n - 1 - s;
      if (s + kAhead < n) {
        const Idx far = load<true>(sa + (kUpward<P> ? r + kAhead : r - kAhead)) & ~kMarkBit;
        prefetch_read(t + (far > 1 ? far - 2 : 0));
      }
      plan[s - begin] = plan_of<P>(t, load<true>(sa + r));
    }
    return true;
  }

  // This thread's share: places what the entries at scan positions [begin, end) induce, as
  // planned where the plan still holds. The same steps as the one-thread pass, without its text
  // reads.
  template <Pass P>
  void place_planned(const Planned* plan, Idx begin, Idx end) {
    constexpr bool kSorting = P == Pass::SortL || P == Pass::SortS;
    constexpr bool kUp = kUpward<P>;
    const Sym* const t = t_;
    Idx* const sa = sa_;
    Idx* const heads = heads_.data();
    const Idx n = n_;
    Idx spare = 0;
    for (Idx s = begin; s < end; ++s) {
      const Idx r = kUp ? s : n - 1 - s;
      const Idx v = load<true>(sa + r);
      Planned p = plan[s - begin];
      if (p.seen != v) [[unlikely]] {
        p = plan_of<P>(t, v);
      }
      const bool inducing = induces<P>(v);
      if constexpr (kSorting) store<true>(sa + r, inducing ? 0 : v);
      if constexpr (P == Pass::FinalS) store<true>(sa + r, inducing ? v ^ kMarkBit : v);
      const bool places = inducing && (!kSorting || p.entry != 0);
      const Idx head = heads[p.symbol];
      heads[p.symbol] = kUp ? head + places : head - places;
      store<true>(places ? sa + (kUp ? head : head - 1) : &spare, p.entry);
    }
  }

  // The planner speeds this thread up where it has a core that would otherwise idle. Where it
  // takes turns on a core with this thread or other work, that should come first: at the
  // default priority, on two cores busy with other work, English 64 MB took 1.04 of the
  // one-thread time; at nice 10, 0.98.
  static void yield_to_other_work() {
#if defined(__linux__)
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
#endif
  }

  // Returns false, having changed nothing, if no second thread could be started. This thread
  // never waits for the other: a block not planned by the time its turn comes (the other thread
  // got no core meanwhile, or is still on it) is scanned here as in the one-thread pass, and the
  // other thread drops it and moves on to the first block ahead. It plans up to kPlans - 1
  // blocks ahead: planning takes most of a scan's time (its text reads), placing a fifth, so a
  // planner kept one block ahead is always late. A plan's buffer is filled again only once this
  // thread is past the block it was for.
  template <Pass P>
  bool run_pass_on_two_threads() {
    constexpr std::size_t kPlans = 4;
    const Idx size = static_cast<Idx>(threads_.block);
    const std::size_t blocks = (std::size_t{n_} + size - 1) / size;
    const auto block_of = [&](std::size_t b) {
      const Idx begin = static_cast<Idx>(b * size);
      return std::pair{begin, static_cast<Idx>(std::min<std::size_t>(n_ - begin, size)) + begin};
    };
    std::array<std::vector<Planned>, kPlans> plans;
    for (std::vector<Planned>& plan : plans) plan.resize(size);
    std::array<std::atomic<std::size_t>, kPlans> planned{};  // the block of each plan (0: none)
    std::atomic<std::size_t> placing{0};  // the block this thread is on; `blocks` when done
    std::thread planner;
    try {
      planner = std::thread([&] {
        yield_to_other_work();
        for (std::size_t b = 1;;) {
          const std::size_t at = placing.load(std::memory_order_acquire);
          if (at + 1 >= blocks) return;
          b = std::max(b, at + 1);
          if (b >= std::min(at + kPlans, blocks)) {
            std::this_thread::yield();
            continue;
          }
          const auto [begin, end] = block_of(b);
          if (plan_block<P>(plans[b % kPlans].data(), begin, end, b, placing)) {
            planned[b % kPlans].store(b, std::memory_order_release);
          }
          ++b;
        }
      });
    } catch (const std::system_error&) {
      return false;
    }
    for (std::size_t b = 0; b < blocks; ++b) {
      const auto [begin, end] = block_of(b);
      if (b > 0 && planned[b % kPlans].load(std::memory_order_acquire) == b) {
        place_planned<P>(plans[b % kPlans].data(), begin, end);
      } else {
        scan<P, true>(begin, end);
      }
      while (threads_.wait_for_plans && b + 1 < blocks &&
             planned[(b + 1) % kPlans].load(std::memory_order_acquire) != b + 1) {
        std::this_thread::yield();
      }
      placing.store(b + 1, std::memory_order_release);
    }
    planner.join();
    return true;
  }

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

  // body(begin, end) on [0, mid) and [mid, count), on two threads where this level's passes take
  // two.
  template <class Body>
  void in_halves(Idx count, Idx mid, Body&& body) {
    parallel::halves(threads_.split(n_), count, mid, [&](std::size_t begin, std::size_t end) {
      body(static_cast<Idx>(begin), static_cast<Idx>(end));
    });
  }

  // Replaces each length by its substring's name plus one; returns the number of names. The
  // comparisons (scattered text reads) split over two threads: a first pass marks the ranks
  // whose substring differs from the one below, a second numbers them from the marks, each half
  // from the count before it.
  [[gnu::noinline]] Idx name_lms_substrings(Idx m) {
    store_lms_lengths(m);
    if (!threads_.split(n_)) return name_lms_substrings_in_one_pass(m);
    std::vector<std::uint64_t> differs((std::size_t{m} + 63) / 64, 0);
    const Idx mid = (m / 2) & ~Idx{63};  // the halves share no word of marks
    in_halves(m, mid, [&](Idx begin, Idx end) { mark_new_names(m, begin, end, differs.data()); });
    in_halves(m, mid, [&](Idx begin, Idx end) { assign_names(m, begin, end, differs.data()); });
    Idx names = m == 0 ? 0 : 1;
    for (const std::uint64_t word : differs) names += static_cast<Idx>(std::popcount(word));
    return names;
  }

  // Marks rank r of [begin, end) where its LMS substring differs from that of rank r - 1.
  void mark_new_names(Idx m, Idx begin, Idx end, std::uint64_t* differs) const {
    for (Idx r = std::max<Idx>(begin, 1); r < end; ++r) {
      if (r + kAhead < end) {
        const Idx ahead = sa_[r + kAhead];
        prefetch_read(sa_ + m + ahead / 2);
        prefetch_read(t_ + ahead);
      }
      const Idx prev = sa_[r - 1];
      const Idx pos = sa_[r];
      if (!same_lms_substring(prev, sa_[m + prev / 2], pos, sa_[m + pos / 2])) {
        differs[r / 64] |= std::uint64_t{1} << (r % 64);
      }
    }
  }

  // Names the ranks [begin, end) (begin a multiple of 64) from the marks.
  void assign_names(Idx m, Idx begin, Idx end, const std::uint64_t* differs) {
    Idx name = 0;
    for (Idx w = 0; w < begin / 64; ++w) name += static_cast<Idx>(std::popcount(differs[w]));
    for (Idx r = begin; r < end; ++r) {
      if (r + kAhead < end) prefetch_read(sa_ + m + sa_[r + kAhead] / 2);
      name += static_cast<Idx>((differs[r / 64] >> (r % 64)) & 1U);
      sa_[m + sa_[r] / 2] = name + 1;
    }
  }

  [[gnu::noinline]] Idx name_lms_substrings_in_one_pass(Idx m) {
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
    return m == 0 ? 0 : name + 1;
  }

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

  // ---- Naming LMS substrings by dictionary ----
  //
  // Prose, DNA and repeats have few distinct LMS substrings (thousands among millions). Looked up
  // in a hash table in text order, they are named in one sequential pass that writes the reduced
  // string in place, and only the distinct ones are sorted: no induced LMS sort (two scattered
  // passes over the whole array) and no naming pass in sorted order. The dictionary gives up as
  // soon as it holds more than a sixteenth of the LMS substrings, or 2^20 of them, or half of
  // those seen by some power of two from 4096 on.
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

  [[nodiscard]] static constexpr bool packs(Idx len) {
    return std::size_t{len} * sizeof(Sym) <= 8;
  }

  [[nodiscard]] static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    return x ^ (x >> 29);
  }

  [[nodiscard]] std::uint64_t key_of(Idx pos, Idx len) const {
    if constexpr (sizeof(Sym) == 1) {
      if (len <= 8 && std::size_t{pos} + 8 <= n_) {
        std::uint64_t word;
        std::memcpy(&word, t_ + pos, 8);
        return len == 8 ? word : word & ((std::uint64_t{1} << (8 * len)) - 1);
      }
    }
    std::uint64_t key = 0;
    if (packs(len)) {
      // Little-endian, as the word load of bytes above.
      for (Idx d = 0; d < len; ++d) {
        key |= std::uint64_t{t_[pos + d]} << (8 * sizeof(Sym) * d);
      }
      return key;
    }
    for (Idx d = 0; d < len; ++d) key = mix(key ^ t_[pos + d]);
    return key;
  }

  [[nodiscard]] bool same_symbols(Idx a, Idx b, Idx len) const {
    return std::equal(t_ + a, t_ + a + len, t_ + b);
  }

  // The id of the LMS substring at pos, entered if new; false once the dictionary is full, or
  // where a lookup probes more than kMaxProbes slots: keys crowded on purpose must not make the
  // pass quadratic.
  [[nodiscard]] bool look_up(Idx pos, Idx len, std::size_t limit, Idx& id) {
    const std::uint64_t key = key_of(pos, len);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = mix(key + len) & mask;
    for (std::size_t probe = 0;; ++probe, i = (i + 1) & mask) {
      if (probe == kMaxProbes) return false;
      Slot& slot = slots_[i];
      if (slot.len == 0) {
        if (distinct_.size() >= limit) return false;
        id = static_cast<Idx>(distinct_.size());
        slot = {key, len, id};
        distinct_.push_back({pos, len});
        return distinct_.size() * 2 <= slots_.size() || grow_slots();
      }
      if (slot.len == len && slot.key == key &&
          (packs(len) || same_symbols(distinct_[slot.id].pos, pos, len))) {
        id = slot.id;
        return true;
      }
    }
  }

  // Doubles the table; false where an entry would sit more than kMaxProbes slots on.
  [[nodiscard]] bool grow_slots() {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, 0, 0});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.len == 0) continue;
      std::size_t i = mix(slot.key + slot.len) & mask;
      for (std::size_t probe = 0; slots_[i].len != 0; ++probe, i = (i + 1) & mask) {
        if (probe == kMaxProbes) return false;
      }
      slots_[i] = slot;
    }
    return true;
  }

  // The order of LMS substrings, (symbol, type) pairs compared in turn with an L-type below an
  // S-type of the same symbol, needs no types where symbols differ. Where one's symbols are a
  // prefix of the other's, the shorter ends in an S-type that the longer has as an L-type (else
  // the longer would have an LMS position there), so it is the greater; but the last substring
  // is followed by the virtual sentinel, below everything.
  [[nodiscard]] bool distinct_less(const Distinct& a, const Distinct& b, Idx last) const {
    const Idx common = std::min(a.len, b.len);
    for (Idx d = 0; d < common; ++d) {
      if (t_[a.pos + d] != t_[b.pos + d]) return t_[a.pos + d] < t_[b.pos + d];
    }
    if (a.pos == last) return b.pos != last;
    if (b.pos == last) return false;
    return a.len > b.len;
  }

  // Names the LMS substrings by dictionary and leaves the reduced string in the tail of the
  // array, names_ set; false, having written only to that tail, where the dictionary gave up.
  [[gnu::noinline]] bool name_lms_by_dictionary(Idx m) {
    const std::size_t limit = std::min<std::size_t>(m / kDictionaryShare, kDictionaryMax);
    if (limit == 0) return false;
    slots_.assign(1024, Slot{0, 0, 0});
    distinct_.clear();
    Idx* reduced = sa_ + (n_ - m);
    Idx j = 0;
    Idx prev = n_;
    for (std::size_t w = 0; w < lms_.size(); ++w) {
      if ((w & 0xfffff) == 0) interrupt::checkpoint();
      for (std::uint64_t x = lms_[w]; x != 0; x &= x - 1) {
        const Idx i = static_cast<Idx>(w * 64 + static_cast<std::size_t>(std::countr_zero(x)));
        // Distinct substrings grow ever more slowly along a text: where every other one is new
        // early on, far more than the limit will be.
        const bool hopeless = j >= 4096 && (j & (j - 1)) == 0 && distinct_.size() * 2 > j;
        if (hopeless || (prev != n_ && !look_up(prev, i - prev + 1, limit, reduced[j++]))) {
          release_dictionary();
          return false;
        }
        prev = i;
      }
    }
    // The last LMS substring reaches the virtual sentinel: unique.
    const Idx last = prev;
    reduced[j] = static_cast<Idx>(distinct_.size());
    distinct_.push_back({last, n_ - last});
    std::vector<Idx> order(distinct_.size());
    for (Idx id = 0; id < order.size(); ++id) order[id] = id;
    std::sort(order.begin(), order.end(),
              [&](Idx a, Idx b) { return distinct_less(distinct_[a], distinct_[b], last); });
    std::vector<Idx> name(order.size());
    for (Idx r = 0; r < order.size(); ++r) name[order[r]] = r;
    for (Idx r = 0; r < m; ++r) reduced[r] = name[reduced[r]];
    names_ = static_cast<Idx>(order.size());
    release_dictionary();
    return true;
  }

  void release_dictionary() {
    std::vector<Slot>().swap(slots_);
    std::vector<Distinct>().swap(distinct_);
  }

  // ---- The LMS sort by packed keys, for byte texts ----
  //
  // Two LMS substrings compare as their sequences of (symbol, type) pairs, an L-type below an
  // S-type of the same symbol; and so do suffixes, up to their first differing pair. A key packs
  // the pairs of the next few positions, densely coded by the symbols that occur, with 0 for the
  // end of the text. Sorting the LMS positions by key (first by their two leading bytes into
  // 65536 buckets) orders them as their suffixes wherever keys differ. Equal keys whose LMS
  // substrings end inside the positions read so far are equal substrings and share a name;
  // otherwise the next key along decides. On random bytes keys rarely tie, every name is unique,
  // and neither the induced LMS sort nor the recursion is needed.
  static constexpr bool kKeySorts = sizeof(Sym) == 1;
  // Random bytes spread their LMS positions over about 15 bits' worth of buckets; prose over 8.
  static constexpr double kKeySortEntropyBits = 12.0;

  struct Keyed {
    std::uint64_t key;
    Idx pos;
  };

  // Codes each symbol by its rank among those present; returns false when keys would hold too
  // few positions to be worth it.
  bool load_key_codes() {
    unsigned present = 0;
    for (Idx c = 0; c < k_; ++c) {
      rank_[c] = static_cast<std::uint8_t>(present);
      present += counts_[c] != 0;
    }
    code_bits_ = static_cast<unsigned>(std::bit_width(2u * present));
    key_positions_ = 64 / code_bits_;
    return key_positions_ >= 4;
  }

  // Types of positions q .. q + 63 as bits.
  [[nodiscard]] std::uint64_t type_window(std::size_t q) const {
    const std::size_t w = q >> 6, b = q & 63;
    const std::uint64_t low = stype_[w] >> b;
    return b == 0 ? low : low | (stype_[w + 1] << (64 - b));
  }

  [[nodiscard]] std::uint64_t key_at(std::size_t q) const {
    if (q >= n_) return 0;
    const std::uint64_t types = type_window(q);
    const std::size_t end = std::min<std::size_t>(key_positions_, n_ - q);
    std::uint64_t key = 0;
    for (std::size_t d = 0; d < end; ++d) {
      key = (key << code_bits_) | (1u + 2u * rank_[t_[q + d]] + ((types >> d) & 1u));
    }
    return key << (code_bits_ * (key_positions_ - end));
  }

  // Distance from the LMS position p to the next one, or n when none follows.
  [[nodiscard]] std::size_t next_lms_distance(std::size_t p) const {
    std::size_t w = p >> 6;
    std::uint64_t x = lms_[w] & ~((std::uint64_t{2} << (p & 63)) - 1);
    while (x == 0) {
      if (++w >= lms_.size()) return n_;
      x = lms_[w];
    }
    return w * 64 + static_cast<std::size_t>(std::countr_zero(x)) - p;
  }

  // Sorts items[0, count), whose first `offset` positions agree and whose keys at `offset` are
  // loaded, and names them in order into out[0, count). A group that stays tied moves on to the
  // next key in place; one that splits settles each tied part on its own.
  void settle(Keyed* items, std::size_t count, std::size_t offset, Idx* out) {
    if (count == 1) return name_group(items, count, out);
    while (true) {
      std::sort(items, items + count, [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
      const std::size_t reach = offset + key_positions_;
      if (items[0].key == items[count - 1].key) {
        if (!refines(items[0].pos, count, reach)) return name_group(items, count, out);
        offset = reach;
        load_keys(items, count, offset);
        continue;
      }
      for (std::size_t i = 0; i < count;) {
        std::size_t j = i + 1;
        while (j < count && items[j].key == items[i].key) ++j;
        if (j - i > 1 && refines(items[i].pos, j - i, reach)) {
          load_keys(items + i, j - i, reach);
          settle(items + i, j - i, reach, out + i);
        } else {
          name_group(items + i, j - i, out + i);
        }
        i = j;
      }
      return;
    }
  }

  void load_keys(Keyed* items, std::size_t count, std::size_t offset) const {
    for (std::size_t i = 0; i < count; ++i) {
      if (i + 16 < count) {
        const std::size_t ahead = std::min<std::size_t>(items[i + 16].pos + offset, n_ - 1);
        prefetch_read(t_ + ahead);
        prefetch_read(stype_.data() + (ahead >> 6));
      }
      items[i].key = key_at(items[i].pos + offset);
    }
  }

  // Whether `count` tied LMS positions led by p, agreeing up to `reach`, read on. They must if
  // their substrings go on. Equal substrings may share a name, but one shared name makes the
  // whole reduced string recurse: while a budget lasts, they read on past their ends (the keys
  // still order them as their suffixes), so that on random text every name stays unique.
  [[nodiscard]] bool refines(std::size_t p, std::size_t count, std::size_t reach) {
    if (next_lms_distance(p) >= reach) return true;
    if (refine_budget_ < count) return false;
    refine_budget_ -= count;
    return true;
  }

  // Equal LMS substrings: one name, the next.
  void name_group(const Keyed* items, std::size_t count, Idx* out) {
    for (std::size_t r = 0; r < count; ++r) {
      out[r] = items[r].pos;
      sa_[m_ + items[r].pos / 2] = name_count_ + 1;
    }
    ++name_count_;
  }

  // Bits of entropy of the LMS positions' spread over the two-byte buckets, given their
  // running totals.
  [[nodiscard]] static double bucket_entropy(const std::vector<Idx>& totals, Idx m) {
    double entropy = 0;
    for (std::size_t b = 1; b < totals.size(); ++b) {
      const Idx count = totals[b] - totals[b - 1];
      if (count == 0) continue;
      const double p = static_cast<double>(count) / static_cast<double>(m);
      entropy -= p * std::log2(p);
    }
    return entropy;
  }

  // The LMS positions sorted into sa_[0, m) by their substrings, with names (plus one) at
  // sa_[m + pos / 2]; false, having changed nothing, where this sort does not apply.
  [[gnu::noinline]] bool sort_lms_by_keys(Idx m) {
    if constexpr (!kKeySorts) {
      return false;
    } else {
      if (m < 2 || !load_key_codes()) return false;
      std::vector<Idx> starts(65537, 0);
      for_each_lms([&](Idx i) { ++starts[(std::size_t{t_[i]} << 8 | t_[i + 1]) + 1]; });
      std::size_t largest = 0;
      for (std::size_t b = 1; b <= 65536; ++b) {
        largest = std::max<std::size_t>(largest, starts[b]);
        starts[b] += starts[b - 1];
      }
      // The first keys (8 bytes an LMS position) and each bucket's sort take room beside the
      // array. Texts that crowd their LMS positions into few buckets (prose, DNA, repeats) have
      // many equal LMS substrings: their recursion stays, and induction sorts them faster.
      if (std::size_t{m} * 8 > std::size_t{n_} * 3) return false;
      if (largest * sizeof(Keyed) > std::size_t{n_} / 2) return false;
      if (bucket_entropy(starts, m) < kKeySortEntropyBits) return false;
      // The first keys are read in text order, with the text, and scattered with the positions.
      std::vector<std::uint64_t> keys = large_array<std::uint64_t>(m);
      {
        std::vector<Idx> heads(starts.begin(), starts.end() - 1);
        for_each_lms([&](Idx i) {
          const Idx slot = heads[std::size_t{t_[i]} << 8 | t_[i + 1]]++;
          sa_[slot] = i;
          keys[slot] = key_at(i);
        });
      }
      std::fill(sa_ + m, sa_ + n_, Idx{0});
      std::vector<Keyed> items(largest);
      m_ = m;
      name_count_ = 0;
      refine_budget_ = m / 4;
      for (std::size_t b = 0; b < 65536; ++b) {
        const std::size_t begin = starts[b], count = starts[b + 1] - begin;
        if (count == 0) continue;
        for (std::size_t i = 0; i < count; ++i) items[i] = {keys[begin + i], sa_[begin + i]};
        settle(items.data(), count, 0, sa_ + begin);
        if ((b & 4095) == 0) interrupt::checkpoint();
      }
      names_ = name_count_;
      return true;
    }
  }

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
