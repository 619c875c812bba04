#pragma once
// SA-IS: an induction pass of one level on two threads.
//
// The scan goes in blocks. While this thread places the suffixes that block b induces, the
// other one plans block b + 1: for each entry as it reads it, the symbol and entry of the
// suffix it induces. Those text reads, which miss the cache, are its share; this thread then
// reads the plan in order and touches no text. A plan depends on the entry alone, so it keeps
// the entry it was made for: an entry changed since (suffixes are induced ahead of the scan,
// into this block or the next) is planned again here. Entries of the block ahead are read and
// written by both threads meanwhile: those accesses are relaxed atomics, and a plan of an
// entry read too early is never used.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "suffix_array/sais_impl.hpp"

namespace quarnel::core::suffix_array::sais {

// The other thread's share: plans the entries at scan positions [begin, end) of block b;
// false where it gave up because this thread reached the block first.
template <class Sym, class Idx>
template <Pass P>
bool Level<Sym, Idx>::plan_block(Planned* plan, Idx begin, Idx end, std::size_t b,
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

// The planner speeds this thread up where it has a core that would otherwise idle. Where it
// takes turns on a core with this thread or other work, that should come first: at the
// default priority, on two cores busy with other work, a sort took longer than on one thread;
// at a lower priority it did not.
template <class Sym, class Idx>
void Level<Sym, Idx>::yield_to_other_work() {
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
template <class Sym, class Idx>
template <Pass P>
bool Level<Sym, Idx>::run_pass_on_two_threads() {
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
      scan<P, true, true>(begin, end, plans[b % kPlans].data());
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

}  // namespace quarnel::core::suffix_array::sais
