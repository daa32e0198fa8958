#pragma once
// A small value-or-error type: operations inside the core report failures as values and leave
// exceptions to the boundary (and to InternalFailure, which ends a call outright).

#include <optional>
#include <utility>
#include <variant>

namespace tesk {

template <class E>
struct Unexpected {
  E error;
};

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Expected(Unexpected<F> failure) : storage_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(storage_); }
  const E& error() const& { return std::get<1>(storage_); }
  E&& error() && { return std::get<1>(std::move(storage_)); }
  // The error, passed on as the failure of another Expected.
  Unexpected<E> failure() && { return Unexpected<E>{std::move(*this).error()}; }

  // f(value) as the value, or this error.
  template <class F>
  auto transform(F&& f) && -> Expected<decltype(f(std::declval<T&&>())), E> {
    if (!has_value()) {
      return std::move(*this).failure();
    }
    return f(std::move(*this).value());
  }

 private:
  std::variant<T, E> storage_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class F>
  Expected(Unexpected<F> failure) : error_(std::move(failure.error)) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }

  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return std::move(*error_); }
  Unexpected<E> failure() && { return Unexpected<E>{std::move(*this).error()}; }

 private:
  std::optional<E> error_;
};

}  // namespace tesk
