#pragma once
// Error values of the core. The trie and the selectors fail with a bare message (the fit driver
// raises it as ValueError); the model operations pair a Python exception kind with a message.

#include <string>

#include "common/expected.hpp"

namespace tesk {

enum class ErrorKind : unsigned char {
  value_error,
  key_error,
  runtime_error,
  // The host stopped the computation (poll_interruption); its own exception is already pending.
  interrupted,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = Expected<T, Error>;
using Status = Expected<void, Error>;

// Trie and selection results: the value or the failure's message.
template <class T>
using MessageOr = Expected<T, std::string>;

inline Unexpected<Error> fail(ErrorKind kind, std::string message) {
  return Unexpected<Error>{Error{kind, std::move(message)}};
}

inline Unexpected<std::string> fail_message(std::string message) {
  return Unexpected<std::string>{std::move(message)};
}

}  // namespace tesk
