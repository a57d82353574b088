#pragma once

// The service as a user meets it on this machine: the HTTPS stand-in on
// 127.0.0.1 with a demo account, three regions and their lines, sessions on
// those lines and the pages the application asks for at start; and a bundle
// directory whose certificate slot pins the stand-in's CA, for the
// application to run against (VANDREL_BUNDLE, VANDREL_API_HOSTS).

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/service_standin.h"

namespace vandrel::user_testing {

inline constexpr std::string_view kDemoEmail = "demo@vandrel.test";
inline constexpr std::string_view kDemoPassword = "vandrel-demo";
inline constexpr std::string_view kRefusedMessage = "Incorrect email or password";
// The regions of the demo catalogue, in its order.
inline const std::vector<std::string> kDemoRegions = {"Japan", "Germany", "USA"};

class DemoService {
 public:
  DemoService();

  test_support::ServiceStandin& standin() { return *standin_; }
  // "127.0.0.1:PORT", for VANDREL_API_HOSTS.
  std::string hostAndPort() const { return standin_->hostAndPort(); }

  // Sign-in answers: refused with kRefusedMessage, or accepted with the
  // demo account's cookie. Accepting is the default.
  void refuseSignIn();
  void acceptSignIn();
  // The region list answers 500 from now on (what was fetched before stays
  // in the application's cache).
  void withholdRegions();

  // The bundle the application reads its identity and pinned certificates
  // from: Contents/Info.json and Contents/Resources/icon.xcImage.
  void writeBundle(const std::filesystem::path& bundle) const;

 private:
  void script();

  std::unique_ptr<test_support::ServiceStandin> standin_;
};

}  // namespace vandrel::user_testing
