#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::connection::testing_support {

// Every call of one callback, with waits that time out.
template <typename T>
class Calls {
 public:
  std::function<void(T)> callBack() {
    return [this](T value) {
      std::lock_guard lock(mutex_);
      values_.push_back(std::move(value));
      cv_.notify_all();
    };
  }
  // Waits for `n` calls, then a little longer to catch a call too many.
  ::testing::AssertionResult exactly(std::size_t n,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return values_.size() >= n; })) {
      return ::testing::AssertionFailure() << values_.size() << " of " << n << " calls came";
    }
    cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return values_.size() > n; });
    if (values_.size() != n) {
      return ::testing::AssertionFailure() << values_.size() << " calls, not " << n;
    }
    return ::testing::AssertionSuccess();
  }
  T at(std::size_t i) {
    std::lock_guard lock(mutex_);
    return values_.at(i);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<T> values_;
};

using TextCalls = Calls<std::optional<std::string>>;

inline bool contains(const std::optional<std::string>& text, std::string_view part) {
  return text && text->find(part) != std::string::npos;
}

}  // namespace vandrel::connection::testing_support
