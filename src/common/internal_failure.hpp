#pragma once
// A violated internal invariant. It is never an error value: it ends the current call wherever
// it happens and reaches Python as the module's internal-failure exception, never ending the
// process.

#include <exception>
#include <source_location>
#include <string>

namespace tesk {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message,
                           std::source_location where = std::source_location::current());
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void fail_internal(const char* message,
                                std::source_location where = std::source_location::current());

// Checks an invariant; the message must be a literal (it is only formatted on failure).
inline void ensure(bool condition, const char* message,
                   std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]] {
    fail_internal(message, where);
  }
}

}  // namespace tesk
