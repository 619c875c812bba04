// Threads, stops and pages: the two lanes, interrupts reaching them, arrays faulted in on them.
#include "base/parallel.hpp"

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "base/interrupt.hpp"
#include "base/large_array.hpp"
#include "test_support.hpp"

namespace interrupt = quarnel::core::interrupt;

namespace {

TEST(ParallelBoth, ReturnsBothResultsOrThrowsOnEitherPath) {
  for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
    const auto here = [] { return std::this_thread::get_id(); };
    const auto [a, b] = parallel::both(
        lanes, [&] { return std::pair(6, here()); },
        [&] { return std::pair(std::string("side"), here()); });
    EXPECT_EQ(std::tie(a.first, a.second, b.first), std::tuple(6, here(), "side"));
    // Splitting moves the side's work off the caller's thread; otherwise it stays.
    EXPECT_EQ(b.second != here(), lanes.has_second());
    // Exceptions propagate after the side has finished.
    bool side_done = false;
    const auto throwing_side = [&] {
      (void)parallel::both(
          lanes, [] { return 1; },
          [&]() -> int {
            side_done = true;
            throw std::invalid_argument("side");
          });
    };
    EXPECT_THROW(throwing_side(), std::invalid_argument);
    EXPECT_TRUE(side_done);

    side_done = false;
    // When both throw, the caller's own exception wins, and the side is joined first.
    const auto both_throw = [&] {
      (void)parallel::both(
          lanes, []() -> int { throw std::out_of_range("main"); },
          [&]() -> int {
            std::this_thread::yield();
            side_done = true;
            throw std::invalid_argument("side");
          });
    };
    EXPECT_THROW(both_throw(), std::out_of_range);
    // On one lane the side never runs once the main part has thrown.
    EXPECT_EQ(side_done, lanes.has_second());
  }
}

// Callers ask on_second_thread to keep their own stages on one thread while the side has the
// other core. Its exceptions pass to `get`, and unwinding joins its thread.
TEST(ParallelSideTask, GetReturnsTheSideResultOrThrowsOnEitherPath) {
  for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
    const std::thread::id caller = std::this_thread::get_id();
    parallel::SideTask task(lanes, [] { return std::pair(7, std::this_thread::get_id()); });
    EXPECT_EQ(task.on_second_thread(), lanes.has_second());
    const auto [value, side_thread] = task.get();
    EXPECT_FALSE(task.on_second_thread());
    EXPECT_EQ(std::pair(value, side_thread != caller), std::pair(7, lanes.has_second()));
    bool ran = false;
    parallel::SideTask nothing(lanes, [&] { ran = true; });
    nothing.get();
    EXPECT_TRUE(ran);
    parallel::SideTask throwing(lanes, []() -> int { throw std::invalid_argument("side"); });
    EXPECT_THROW((void)throwing.get(), std::invalid_argument);
    parallel::SideTask out_of_memory(lanes, []() -> int { throw std::bad_alloc(); });
    EXPECT_THROW((void)out_of_memory.get(), std::bad_alloc);
  }
  // Left without `get` while the caller's own work throws: the side still runs to its end
  // before the task is gone, and its state outlives no one.
  bool side_done = false;
  const auto caller_throws = [&] {
    parallel::SideTask task(Lanes::two(), [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      side_done = true;
      return 0;
    });
    throw std::out_of_range("main");
  };
  EXPECT_THROW(caller_throws(), std::out_of_range);
  EXPECT_TRUE(side_done);
}

TEST(ParallelOverParts, CoversTheRangeOnceAndMergesThePartsInOrder) {
  for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
    for (const std::size_t mid : {0, 1, 50, 99, 100}) {
      std::vector<int> seen(100, 0);
      parallel::over_parts(lanes, seen.size(), mid, [&](parallel::Part part) {
        for (std::size_t i = part.begin; i < part.end; ++i) ++seen[i];
      });
      EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 100) << mid;
      const auto range = [](parallel::Part part) {
        std::vector<std::size_t> out;
        for (std::size_t i = part.begin; i < part.end; ++i) out.push_back(i + 100 * part.index);
        return out;
      };
      const auto joined = parallel::over_parts(lanes, 100, mid, range, [](auto first, auto second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
      });
      ASSERT_EQ(joined.size(), 100u);
      for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(joined[i], i < mid ? i : i + 100) << mid;
    }
  }
}

TEST(ParallelSort, OrdersLikeStdSortOnEitherPath) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0, 1, 2, 7, 1000}) {
    for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
      std::vector<std::pair<unsigned, unsigned>> items(n);
      for (std::size_t i = 0; i < n; ++i) {
        items[i] = {static_cast<unsigned>(rng() % 10), static_cast<unsigned>(i)};
      }
      auto expected = items;
      std::sort(expected.begin(), expected.end());
      const auto by_first = [](const auto& a, const auto& b) { return a.first < b.first; };
      parallel::sort(lanes, items, by_first);
      // Equal keys may come in any order: compare the keys, and the elements as sets.
      ASSERT_TRUE(std::is_sorted(items.begin(), items.end(), by_first)) << n << lanes.count();
      std::sort(items.begin(), items.end());
      EXPECT_EQ(items, expected) << n << lanes.count();
    }
  }
}

using Clock = std::chrono::steady_clock;

// Polls counted in `context`; the request comes at the poll numbered by the second field.
struct Requests {
  std::atomic<int> polls{0};
  int stop_at = 0;
};

bool poll(void* context) {
  auto& requests = *static_cast<Requests*>(context);
  return ++requests.polls >= requests.stop_at;
}

// Calls checkpoint() until it throws, for at most `limit`; true if it threw.
bool interrupted_within(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  try {
    while (Clock::now() < end) interrupt::checkpoint();
  } catch (const interrupt::Interrupted&) {
    return true;
  }
  return false;
}

// Without a scope checkpoints never throw; within one the callback is polled once per interval
// until it asks, and the stop then stands; an inner scope's stop ends with it.
TEST(Interrupt, PollsWithinScopesThatNestAndRestore) {
  EXPECT_FALSE(interrupted_within(std::chrono::milliseconds(150)));
  EXPECT_FALSE(interrupt::stop_requested());
  {
    Requests requests;
    requests.stop_at = 3;
    const interrupt::Scope scope(&poll, &requests);
    const auto start = Clock::now();
    EXPECT_TRUE(interrupted_within(std::chrono::seconds(5)));
    EXPECT_EQ(requests.polls, 3);  // once per interval, not at every checkpoint
    EXPECT_GE(Clock::now() - start, 3 * interrupt::kPollInterval);
    EXPECT_TRUE(interrupt::stop_requested());
    EXPECT_EQ(requests.polls, 3);
  }
  Requests never;
  never.stop_at = 1 << 30;
  const interrupt::Scope outer(&poll, &never);
  {
    Requests now;
    now.stop_at = 1;
    const interrupt::Scope inner(&poll, &now);
    EXPECT_TRUE(interrupted_within(std::chrono::seconds(5)));
  }
  EXPECT_FALSE(interrupted_within(std::chrono::milliseconds(150)));
  EXPECT_GT(never.polls, 0);
}

// The caller's stop reaches work on the side thread, and the caller, waiting for the side,
// keeps polling: both ends stop although neither ever finishes on its own.
TEST(Interrupt, StopsWorkOnTheSideThread) {
  Requests requests;
  requests.stop_at = 2;
  const interrupt::Scope scope(&poll, &requests);
  std::atomic<bool> side_stopped{false};
  const auto side_forever = [&] {
    try {
      for (;;) interrupt::checkpoint();
    } catch (const interrupt::Interrupted&) {
      side_stopped = true;
      throw;
    }
    return 0;
  };
  {
    parallel::SideTask task(Lanes::two(), side_forever);
    EXPECT_THROW((void)task.get(), interrupt::Interrupted);
  }  // joined here
  EXPECT_TRUE(side_stopped);
}

// Faulting pages in must leave what was written there: the second thread populates an array
// the first may be writing already. Untouched pages between written ones are populated too.
TEST(LargeArray, PopulatingKeepsWhatWasWritten) {
  constexpr std::size_t kWords = std::size_t{3} << 20;  // 24 MiB: whole huge pages and parts
  constexpr std::size_t kPageWords = 4096 / sizeof(std::uint64_t);
  const std::unique_ptr<std::uint64_t[]> words(new std::uint64_t[kWords]);
  quarnel::core::advise_huge_pages(words.get(), kWords * sizeof(std::uint64_t));
  const auto pattern = [](std::size_t i) { return i * 0x9e3779b97f4a7c15ULL + 1; };
  for (std::size_t i = 0; i < kWords; i += 3 * kPageWords) words[i] = pattern(i);
  for (const std::size_t offset : {std::size_t{0}, std::size_t{5}}) {
    const bool populated = quarnel::core::populate_for_writing(
        words.get() + offset, (kWords - offset) * sizeof(std::uint64_t) - 3);
    if (!populated) GTEST_SKIP() << "the kernel cannot populate pages";
    for (std::size_t i = 0; i < kWords; i += 3 * kPageWords) ASSERT_EQ(words[i], pattern(i));
  }
}

// Faulted in on one thread or two, an array holds n value-initialised entries, at sizes below a
// huge page, across several and with parts of one.
TEST(LargeArray, FaultedInArraysAreZeroedAtAnySize) {
  for (const std::size_t n :
       {std::size_t{0}, std::size_t{1}, std::size_t{4099}, (std::size_t{5} << 20) + 3}) {
    for (const Lanes lanes : {Lanes::one(), Lanes::two()}) {
      const auto v = quarnel::core::large_array_faulted_in<std::uint32_t>(n, lanes);
      ASSERT_EQ(v.size(), n);
      for (std::size_t i = 0; i < n; i += 1021) {
        ASSERT_EQ(v[i], 0u) << n << " " << i;
      }
      if (n > 0) {
        EXPECT_EQ(v.back(), 0u);
      }
    }
  }
}

}  // namespace
