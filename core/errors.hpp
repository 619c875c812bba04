#pragma once
// Error types of the core. Errors a caller can provoke derive from UsageError and reach Python
// as ValueError with their message; InternalError marks a broken invariant of the core itself.

#include <stdexcept>
#include <string>

namespace quarnel::core {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace quarnel::core
