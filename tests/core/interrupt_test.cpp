#include "base/interrupt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "base/parallel.hpp"

using quarnel::core::parallel::Lanes;

namespace interrupt = quarnel::core::interrupt;
namespace parallel = quarnel::core::parallel;

namespace {

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

TEST(Interrupt, WithoutScopeCheckpointsNeverThrow) {
  EXPECT_FALSE(interrupted_within(std::chrono::milliseconds(150)));
  EXPECT_FALSE(interrupt::stop_requested());
}

TEST(Interrupt, PollsAtIntervalsUntilTheRequest) {
  Requests requests;
  requests.stop_at = 3;
  const interrupt::Scope scope(&poll, &requests);
  const auto start = Clock::now();
  EXPECT_TRUE(interrupted_within(std::chrono::seconds(5)));
  EXPECT_EQ(requests.polls, 3);  // once per interval, not at every checkpoint
  EXPECT_GE(Clock::now() - start, 3 * interrupt::kPollInterval);
  // Once requested, the stop stands without another poll.
  EXPECT_TRUE(interrupt::stop_requested());
  EXPECT_EQ(requests.polls, 3);
}

TEST(Interrupt, ScopesNestAndRestore) {
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

}  // namespace
