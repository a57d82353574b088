#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "platform/check.h"

namespace vandrel::platform {

// A failure that crosses a layer or a queue. `domain` names the error space
// ("NSURLErrorDomain", "NSPOSIXErrorDomain", "vandrel.ipc", ...), `code` is
// the number within it and `message` a text fit for a log line.
struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string message;

  bool operator==(const Error&) const = default;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    VANDREL_CHECK(ok(), "Result::value() on an error");
    return std::get<0>(state_);
  }
  const T& value() const& {
    VANDREL_CHECK(ok(), "Result::value() on an error");
    return std::get<0>(state_);
  }
  T&& value() && {
    VANDREL_CHECK(ok(), "Result::value() on an error");
    return std::get<0>(std::move(state_));
  }
  const Error& error() const {
    VANDREL_CHECK(!ok(), "Result::error() on a value");
    return std::get<1>(state_);
  }

  T valueOr(T fallback) const& { return ok() ? std::get<0>(state_) : std::move(fallback); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}  // NOLINT

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error& error() const {
    VANDREL_CHECK(!ok_, "Result::error() on a value");
    return error_;
  }

 private:
  Error error_;
  bool ok_ = true;
};

inline Result<void> success() { return {}; }

}  // namespace vandrel::platform
