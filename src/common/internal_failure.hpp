#pragma once
// A violated internal invariant. It is never an error value: it ends the current call wherever
// it happens and reaches Python as the module's internal-failure exception, never ending the
// process.

#include <exception>
#include <string>

#include "common/portability.hpp"

namespace tesk {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           SourceLocation where = SourceLocation::current());
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const SourceLocation& where() const noexcept { return where_; }

 private:
  std::string message_;
  SourceLocation where_;
};

[[noreturn]] void fail_internal(const char* message,
                                SourceLocation where = SourceLocation::current());

// Checks an invariant; the message must be a literal (it is only formatted on failure).
inline void ensure(bool condition, const char* message,
                   SourceLocation where = SourceLocation::current()) {
  if (!condition) [[unlikely]] {
    fail_internal(message, where);
  }
}

}  // namespace tesk
