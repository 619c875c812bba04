#pragma once
// Concurrency as one outer layer. A call has one or two lanes (`Lanes`): its caller's thread and,
// for large inputs, a second thread. Stages never choose threads themselves: each splittable
// stage is a one-lane kernel over a part of its work plus the merge of the parts in order, and
// `over_parts` runs the kernel over the parts on the call's lanes. The parts and their merge do
// not depend on the lanes, so neither do results. `both` and `SideTask` put other work on the
// second lane meanwhile.
//
// Only large inputs take a second lane: starting a thread costs tens of microseconds, and below
// a megabyte the work it would take is not worth that. QUARNEL_NUM_THREADS=1 in the environment
// keeps every call on its caller's thread, for programs that already run one call per core; 2 or
// more asks for the second thread even on one core (so that the split work can be checked
// anywhere).

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/interrupt.hpp"

namespace quarnel::core::parallel {

inline constexpr std::size_t kMinParallelSize = std::size_t{1} << 20;

// Whether this process may use a second thread: more than one core, or asked for, and not
// switched off. Read once; the environment is not expected to change this while the program
// runs.
[[nodiscard]] inline bool threads_allowed() {
  static const bool allowed = [] {
    const char* setting = std::getenv("QUARNEL_NUM_THREADS");
    const std::string_view value = setting != nullptr ? setting : "";
    if (value == "1") return false;
    if (!value.empty() && value != "0" && value.find_first_not_of("0123456789") == value.npos) {
      return true;
    }
    return std::thread::hardware_concurrency() != 1;
  }();
  return allowed;
}

// Whether work over `size` elements should be split over two threads.
[[nodiscard]] inline bool worth_splitting(std::size_t size) {
  return size >= kMinParallelSize && threads_allowed();
}

// How many lanes (threads) a call or a stage may run on: one or two.
class Lanes {
 public:
  constexpr Lanes() = default;  // one lane: the caller's thread
  constexpr explicit Lanes(unsigned count) : count_(count > 1 ? 2 : 1) {}
  [[nodiscard]] static constexpr Lanes one() { return Lanes{}; }
  [[nodiscard]] static constexpr Lanes two() { return Lanes{2}; }
  // Two for work over `size` elements where that is worth a thread and the process may start one.
  [[nodiscard]] static Lanes for_size(std::size_t size) {
    return Lanes{worth_splitting(size) ? 2u : 1u};
  }
  // Two where `two_wanted`, one otherwise.
  [[nodiscard]] static constexpr Lanes two_if(bool two_wanted) {
    return Lanes{two_wanted ? 2u : 1u};
  }

  [[nodiscard]] constexpr unsigned count() const { return count_; }
  [[nodiscard]] constexpr bool has_second() const { return count_ > 1; }
  // The lanes left to the stages of this thread while other work holds the second one.
  [[nodiscard]] constexpr Lanes without_second(bool taken) const { return taken ? one() : *this; }

  friend constexpr bool operator==(Lanes, Lanes) = default;

 private:
  unsigned count_ = 1;
};

// `side` started on the second lane when `lanes` has one, to run while this thread goes on; `get`
// waits for its result (or, when no thread was started, computes it here). The thread is joined
// before the task is destroyed, also during unwinding. A plain thread rather than std::async: the
// future's once-flag lives in the C++ runtime's thread-local storage, which a thread started from
// a dynamically loaded module allocates lazily, aborting the process if that allocation fails.
template <class Side>
class SideTask {
  using Result = std::invoke_result_t<Side&>;
  using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;

 public:
  SideTask(Lanes lanes, Side side) : side_(std::move(side)) {
    if (!lanes.has_second()) return;
    try {
      thread_ = std::thread([this, call = interrupt::current()] { run_side(call); });
    } catch (const std::system_error&) {
      return;  // then `get` runs it here
    }
    running_ = true;
  }
  ~SideTask() {
    if (thread_.joinable()) thread_.join();
  }
  SideTask(const SideTask&) = delete;
  SideTask& operator=(const SideTask&) = delete;

  // Whether `side` runs on a second thread and its result has not been taken yet.
  [[nodiscard]] bool on_second_thread() const { return running_; }

  [[nodiscard]] Result get() {
    running_ = false;
    if (!thread_.joinable()) return side_();
    wait_for_side();
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<Result>) return std::move(*result_);
  }

 private:
  void run_side(interrupt::Shared* call) {
    {
      const interrupt::Adopt adopt(call);  // stops when the caller is interrupted
      try {
        if constexpr (std::is_void_v<Result>) {
          side_();
        } else {
          result_.emplace(side_());
        }
      } catch (...) {
        error_ = std::current_exception();
      }
    }
    const std::lock_guard lock(mutex_);
    done_ = true;
    done_signal_.notify_one();
  }

  // Waits in slices, so that an interruption of the caller is seen while the side works on.
  void wait_for_side() {
    std::unique_lock lock(mutex_);
    while (!done_signal_.wait_for(lock, interrupt::kPollInterval, [&] { return done_; })) {
      lock.unlock();
      interrupt::checkpoint();
      lock.lock();
    }
  }

  Side side_;
  std::optional<Stored> result_;
  std::exception_ptr error_;
  std::mutex mutex_;
  std::condition_variable done_signal_;
  bool done_ = false;
  std::thread thread_;    // joined by get or the destructor, before the members above go
  bool running_ = false;  // started on the second thread, result not yet taken
};

// Runs `side` on the second lane while `main` runs on this one, when `lanes` has two; otherwise
// both here, `main` first. Returns both results. The second thread is always joined before this
// returns or throws; if both throw, the exception of `main` is the one that propagates. If no
// thread can be started, `side` runs here.
template <class Main, class Side>
[[nodiscard]] auto both(Lanes lanes, Main&& main, Side&& side)
    -> std::pair<std::invoke_result_t<Main>, std::invoke_result_t<Side>> {
  SideTask task(lanes, std::ref(side));
  auto first = std::forward<Main>(main)();
  return {std::move(first), task.get()};
}

// One of the two parts of a stage's work: the part's index (0 or 1) and, for work over a range,
// its positions [begin, end).
struct Part {
  std::size_t index = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Keeps no result: the merge of kernels that write their part in place.
struct NoMerge {
  template <class... Parts>
  void operator()(Parts&&...) const {}
};

// Runs kernel(part) over the parts [0, cut) and [cut, n), the first on this lane and the second
// on the other lane when `lanes` has two (else after the first, here), and returns
// merge(first result, second result), the parts in order; a kernel that returns nothing writes
// its part in place and takes no merge.
template <class Kernel, class Merge = NoMerge>
decltype(auto) over_parts(Lanes lanes, std::size_t n, std::size_t cut, Kernel&& kernel,
                          Merge&& merge = {}) {
  const Part first{0, 0, cut};
  const Part second{1, cut, n};
  if constexpr (std::is_void_v<std::invoke_result_t<Kernel&, Part>>) {
    (void)both(
        lanes,
        [&] {
          kernel(first);
          return true;
        },
        [&] {
          kernel(second);
          return true;
        });
  } else {
    auto [a, b] = both(
        lanes, [&] { return kernel(first); }, [&] { return kernel(second); });
    return std::forward<Merge>(merge)(std::move(a), std::move(b));
  }
}

// Sorts `items`: its two halves on the call's lanes, then merged.
template <class T, class Less>
void sort(Lanes lanes, std::vector<T>& items, Less less) {
  const std::size_t mid = items.size() / 2;
  over_parts(lanes, items.size(), mid, [&](Part part) {
    std::sort(items.begin() + static_cast<std::ptrdiff_t>(part.begin),
              items.begin() + static_cast<std::ptrdiff_t>(part.end), less);
  });
  std::inplace_merge(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(mid), items.end(),
                     less);
}

}  // namespace quarnel::core::parallel
