// The API host list: the build's placeholders, the override's syntax, and
// the host name kept apart from the port.

#include "core/api_hosts.h"

#include <gtest/gtest.h>

namespace vandrel::core {
namespace {

TEST(ApiHostsTest, TheBuildCompilesInFourBareHostNames) {
  const auto& hosts = compiledApiHosts();
  ASSERT_EQ(hosts.size(), 4u);
  for (const ApiHost& host : hosts) {
    EXPECT_FALSE(host.port.has_value()) << host.host;
    EXPECT_EQ(host.authority(), host.host);
  }
}

TEST(ApiHostsTest, OverrideTextParsesHostsAndPortsApart) {
  struct Case {
    const char* text;
    std::vector<ApiHost> hosts;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"api.example.test", {{"api.example.test", std::nullopt}}},
      {"localhost:8443, 127.0.0.1:1,a-b.test",
       {{"localhost", 8443}, {"127.0.0.1", 1}, {"a-b.test", std::nullopt}}},
      {"[::1]:443,[fe80::1]", {{"::1", 443}, {"fe80::1", std::nullopt}}},
      {"", {}},
      {" ", {}},
      {"a.test,,b.test", {}},
      {"a.test,", {}},
      {"a.test:0", {}},
      {"a.test:65536", {}},
      {"a.test:http", {}},
      {"a.test:", {}},
      {"https://a.test", {}},
      {"a.test/path", {}},
      {"::1", {}},
      {"[::1", {}},
      {"[::1]x", {}},
      {"a_b.test", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = parseApiHosts(c.text);
    EXPECT_EQ(parsed.ok(), !c.hosts.empty());
    if (parsed.ok()) {
      EXPECT_EQ(parsed.value(), c.hosts);
    }
  }
}

TEST(ApiHostsTest, AuthorityPutsThePortBackAndBracketsIPv6) {
  EXPECT_EQ((ApiHost{"a.test", 8443}).authority(), "a.test:8443");
  EXPECT_EQ((ApiHost{"::1", 443}).authority(), "[::1]:443");
  EXPECT_EQ((ApiHost{"::1", std::nullopt}).authority(), "[::1]");
}

TEST(ApiHostsTest, AnOverrideReplacesTheListOnlyWhenItParses) {
  EXPECT_EQ(selectApiHosts(nullptr), compiledApiHosts());
  EXPECT_EQ(selectApiHosts("localhost:9"), (std::vector<ApiHost>{{"localhost", 9}}));
  EXPECT_EQ(selectApiHosts("bad host"), compiledApiHosts());
}

}  // namespace
}  // namespace vandrel::core
