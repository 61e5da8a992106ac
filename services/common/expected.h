#pragma once

#include <optional>
#include <utility>

#include "capture/error.h"

namespace halvo {

// What every fallible step of the service returns: the value it made, or the error that kept it
// from making it. The error's description reaches the parent unchanged.
template <typename T>
class [[nodiscard]] Expected {
  public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // Only when there is no value.
    const Error& error() const { return *error_; }

  private:
    std::optional<T> value_;
    std::optional<Error> error_;
};

// A step that makes no value: it succeeded, or here is why not.
template <>
class [[nodiscard]] Expected<void> {
  public:
    Expected() = default;
    Expected(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return !error_; }
    // Only when it failed.
    const Error& error() const { return *error_; }
    // As a completion takes it: nothing when it succeeded.
    std::optional<Error> failure() const { return error_; }

  private:
    std::optional<Error> error_;
};

}  // namespace halvo
