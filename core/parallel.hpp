#pragma once
// A second thread for independent work inside one call. Only large inputs use it: starting a
// thread costs tens of microseconds, and below a megabyte the work it would take is not worth
// that. QUARNEL_NUM_THREADS=1 in the environment keeps every call on its caller's thread, for
// programs that already run one call per core; 2 or more asks for the second thread even on one
// core (so that the split work can be checked anywhere).

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <future>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

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
// the task is destroyed, also during unwinding.
template <class Side>
class SideTask {
 public:
  SideTask(bool split, Side side) : side_(std::move(side)) {
    if (!split) return;
    try {
      result_ = std::async(std::launch::async, std::ref(side_));
    } catch (const std::system_error&) {
      return;  // then `get` runs it here
    }
  }
  SideTask(const SideTask&) = delete;
  SideTask& operator=(const SideTask&) = delete;

  // Whether `side` runs on a second thread and its result has not been taken yet.
  [[nodiscard]] bool on_second_thread() const { return result_.valid(); }

  [[nodiscard]] std::invoke_result_t<Side&> get() {
    return result_.valid() ? result_.get() : side_();
  }

 private:
  Side side_;  // declared first: the thread that runs it is joined before it goes
  std::future<std::invoke_result_t<Side&>> result_;
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

}  // namespace quarnel::core::parallel
