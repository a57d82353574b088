// The reply the demo's lines send to a ping where the kernel has no network
// emulator: the request's identifier, sequence and payload under a fresh
// checksum, and nothing for what is no well-formed echo request. The
// expected bytes were worked out by hand, not by the code under test.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tools/demo-world/echo_responder.h"

namespace vandrel::demo {
namespace {

std::string bytes(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(EchoReplyTest, AnswersWellFormedEchoRequestsAndIgnoresEverythingElse) {
  struct Case {
    const char* what;
    std::string request;               // hex
    std::optional<std::string> reply;  // hex; none: no answer
  };
  const Case cases[] = {
      // Identifier 0x1234, sequence 1.
      {"an even payload", "08005435123400016162636465666768",
       "00005c35123400016162636465666768"},
      {"an odd payload (the last byte padded for the sum)", "0800bc03123400016162636465",
       "0000c403123400016162636465"},
      {"a bare header", "0800e5ca12340001", "0000edca12340001"},
      {"a wrong checksum", "08005436123400016162636465666768", std::nullopt},
      {"an echo reply (no answer to an answer)", "00005c35123400016162636465666768", std::nullopt},
      {"an echo request with a code", "0801e5c912340001", std::nullopt},
      {"a timestamp request", "0d00e0ca12340001", std::nullopt},
      {"a header cut short", "0800e5ca123400", std::nullopt},
      {"nothing", "", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> reply = echoReplyTo(bytes(c.request));
    if (c.reply) {
      ASSERT_TRUE(reply.has_value()) << c.what;
      EXPECT_EQ(*reply, bytes(*c.reply)) << c.what;
    } else {
      EXPECT_FALSE(reply.has_value()) << c.what;
    }
  }
}

}  // namespace
}  // namespace vandrel::demo
