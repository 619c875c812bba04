#include "base/parallel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace parallel = quarnel::core::parallel;

namespace {

TEST(ParallelBoth, ReturnsBothResultsOnEitherPath) {
  for (const bool split : {false, true}) {
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id main_thread, side_thread;
    const auto [a, b] = parallel::both(
        split,
        [&] {
          main_thread = std::this_thread::get_id();
          return 6;
        },
        [&] {
          side_thread = std::this_thread::get_id();
          return std::string("side");
        });
    EXPECT_EQ(a, 6);
    EXPECT_EQ(b, "side");
    EXPECT_EQ(main_thread, caller);
    // Splitting moves the side's work off the caller's thread; otherwise it stays.
    EXPECT_EQ(side_thread != caller, split);
  }
}

TEST(ParallelBoth, ExceptionsPropagateAfterTheSideHasFinished) {
  for (const bool split : {false, true}) {
    bool side_done = false;
    const auto throwing_side = [&] {
      (void)parallel::both(
          split, [] { return 1; },
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
          split, []() -> int { throw std::out_of_range("main"); },
          [&]() -> int {
            std::this_thread::yield();
            side_done = true;
            throw std::invalid_argument("side");
          });
    };
    EXPECT_THROW(both_throw(), std::out_of_range);
    // Without a split the side never runs once the main part has thrown.
    EXPECT_EQ(side_done, split);
  }
}

TEST(ParallelSideTask, GetReturnsTheSideResultOnEitherPath) {
  for (const bool split : {false, true}) {
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id side_thread;
    parallel::SideTask task(split, [&] {
      side_thread = std::this_thread::get_id();
      return std::string("side");
    });
    EXPECT_EQ(task.get(), "side");
    EXPECT_EQ(side_thread != caller, split);
  }
}

TEST(ParallelSideTask, ExceptionsPassToGetAndUnwindingJoinsTheThread) {
  for (const bool split : {false, true}) {
    parallel::SideTask throwing(split, []() -> int { throw std::invalid_argument("side"); });
    EXPECT_THROW((void)throwing.get(), std::invalid_argument);
  }
  // Left without `get` while the caller's own work throws: the side still runs to its end
  // before the task is gone, and its state outlives no one.
  bool side_done = false;
  const auto caller_throws = [&] {
    parallel::SideTask task(true, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      side_done = true;
      return 0;
    });
    throw std::out_of_range("main");
  };
  EXPECT_THROW(caller_throws(), std::out_of_range);
  EXPECT_TRUE(side_done);
}

TEST(ParallelHalves, CoversTheRangeOnceAtAnySplitPoint) {
  for (const bool split : {false, true}) {
    for (const std::size_t mid : {0, 1, 50, 99, 100}) {
      std::vector<int> seen(100, 0);
      parallel::halves(split, seen.size(), mid, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++seen[i];
      });
      EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 100) << mid;
    }
  }
}

TEST(ParallelSort, OrdersLikeStdSortOnEitherPath) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0, 1, 2, 7, 1000}) {
    for (const bool split : {false, true}) {
      std::vector<std::pair<unsigned, unsigned>> items(n);
      for (std::size_t i = 0; i < n; ++i) {
        items[i] = {static_cast<unsigned>(rng() % 10), static_cast<unsigned>(i)};
      }
      auto expected = items;
      const auto by_first = [](const auto& a, const auto& b) { return a.first < b.first; };
      std::stable_sort(expected.begin(), expected.end(), by_first);
      parallel::sort(split, items, by_first);
      // Equal keys may come in any order: compare the keys, and the elements as sets.
      ASSERT_TRUE(std::is_sorted(items.begin(), items.end(), by_first)) << n << split;
      std::sort(items.begin(), items.end());
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(items, expected) << n << split;
    }
  }
}

TEST(ParallelSideTask, SaysWhetherItsSideRunsOnASecondThreadUntilTaken) {
  // Callers ask this to keep their own stages on one thread while the side has the other core.
  parallel::SideTask split(true, [] { return 1; });
  EXPECT_TRUE(split.on_second_thread());
  EXPECT_EQ(split.get(), 1);
  EXPECT_FALSE(split.on_second_thread());
  parallel::SideTask here(false, [] { return 2; });
  EXPECT_FALSE(here.on_second_thread());
  EXPECT_EQ(here.get(), 2);
}

}  // namespace
