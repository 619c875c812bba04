#pragma once
// A second thread for independent work inside one call. Only large inputs use it: starting a
// thread costs tens of microseconds, and below a megabyte the work it would take is not worth
// that. QUARNEL_NUM_THREADS=1 in the environment keeps every call on its caller's thread, for
// programs that already run one call per core; 2 or more asks for the second thread even on one
// core (so that the split work can be checked anywhere).

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

#include "interrupt.hpp"

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

// Whether work over `size` elements should be split over two threads. Callers that run
// something else on the second thread meanwhile pass their stages `false` instead.
[[nodiscard]] inline bool worth_splitting(std::size_t size) {
  return size >= kMinParallelSize && threads_allowed();
}

// `side` started on a second thread when `split`, to run while this thread goes on; `get` waits
// for its result (or, when no thread was started, computes it here). The thread is joined before
// the task is destroyed, also during unwinding. A plain thread rather than std::async: the
// future's once-flag lives in the C++ runtime's thread-local storage, which a thread started from
// a dynamically loaded module allocates lazily, aborting the process if that allocation fails.
template <class Side>
class SideTask {
  using Result = std::invoke_result_t<Side&>;
  using Stored = std::conditional_t<std::is_void_v<Result>, bool, Result>;

 public:
  SideTask(bool split, Side side) : side_(std::move(side)) {
    if (!split) return;
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

// Runs `side` on a second thread while `main` runs on this one, when `split`; otherwise both
// here, `main` first. Returns both results. The second thread is always joined before this
// returns or throws; if both throw, the exception of `main` is the one that propagates. If no
// thread can be started, `side` runs here.
template <class Main, class Side>
[[nodiscard]] auto both(bool split, Main&& main, Side&& side)
    -> std::pair<std::invoke_result_t<Main>, std::invoke_result_t<Side>> {
  SideTask task(split, std::ref(side));
  auto first = std::forward<Main>(main)();
  return {std::move(first), task.get()};
}

// Calls body(begin, end) on [0, mid) and [mid, n), on two threads when `split`.
template <class Body>
void halves(bool split, std::size_t n, std::size_t mid, Body&& body) {
  (void)both(
      split,
      [&] {
        body(std::size_t{0}, mid);
        return true;
      },
      [&] {
        body(mid, n);
        return true;
      });
}

// Sorts `items`: its two halves on two threads when `split`, then merged.
template <class T, class Less>
void sort(bool split, std::vector<T>& items, Less less) {
  const std::size_t mid = items.size() / 2;
  halves(split, items.size(), mid, [&](std::size_t begin, std::size_t end) {
    std::sort(items.begin() + static_cast<std::ptrdiff_t>(begin),
              items.begin() + static_cast<std::ptrdiff_t>(end), less);
  });
  std::inplace_merge(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(mid), items.end(),
                     less);
}

}  // namespace quarnel::core::parallel
