#pragma once
// Error types of the core. Errors a caller can provoke derive from UsageError and reach Python
// as ValueError with their message; InternalError marks a broken invariant of the core itself.

#include <stdexcept>
#include <string>
#include <utility>

namespace quarnel::core {

class UsageError : public std::runtime_error {
 public:
  explicit UsageError(std::string message)
      : std::runtime_error(message), message_(std::move(message)) {}
  // The full message; unlike what(), it keeps embedded NUL characters.
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace quarnel::core
