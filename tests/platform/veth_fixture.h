#pragma once

// A veth pair in the private network namespace the test binary runs in
// (scripts/netns-run), and a way to wait for what the kernel settles
// asynchronously (carrier and operational state follow a link change with a
// short delay).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"

namespace vandrel::platform::testing_support {

inline bool inPrivateNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return flag != nullptr && std::string(flag) == "1";
}

// Runs `ip` with `args`; the result carries its output when it fails.
inline ::testing::AssertionResult ip(std::initializer_list<std::string> args) {
  std::vector<std::string> argv{"ip"};
  argv.insert(argv.end(), args);
  ProcessOptions options;
  options.timeout = std::chrono::seconds(10);
  auto result = ProcessRunner::system().run(argv, options);
  std::string command;
  for (const auto& a : argv) command += a + " ";
  if (!result.ok())
    return ::testing::AssertionFailure() << command << ": " << result.error().message;
  if (result.value().exitCode != 0) {
    return ::testing::AssertionFailure() << command << "exited " << result.value().exitCode << ": "
                                         << result.value().standardError;
  }
  return ::testing::AssertionSuccess();
}

// Polls `condition` every 10 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// vr0 (ours, 10.77.0.1/24 and fd77::1/64) and its peer vr1; both down at
// first, removed at the end (their routes go with them).
class VethTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inPrivateNamespace()) GTEST_SKIP() << "needs the private namespace of scripts/netns-run";
    ASSERT_TRUE(ip({"link", "add", "vr0", "type", "veth", "peer", "name", "vr1"}));
    ASSERT_TRUE(ip({"addr", "add", "10.77.0.1/24", "dev", "vr0"}));
    ipv6_ = static_cast<bool>(ip({"-6", "addr", "add", "fd77::1/64", "dev", "vr0", "nodad"}));
  }
  void TearDown() override {
    if (inPrivateNamespace()) (void)ip({"link", "del", "vr0"});
  }

  void bringUp() {
    ASSERT_TRUE(ip({"link", "set", "vr1", "up"}));
    ASSERT_TRUE(ip({"link", "set", "vr0", "up"}));
  }
  void addDefaultRoute() {
    ASSERT_TRUE(ip({"route", "add", "default", "via", "10.77.0.2", "dev", "vr0"}));
  }

  bool ipv6_ = false;
};

}  // namespace vandrel::platform::testing_support
