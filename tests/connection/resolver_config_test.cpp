// The system's DNS servers as the tunnel's exclusion list takes them: the
// resolver configuration read by the shell command in this process, from
// real files in a temporary directory.

#include "connection/resolver_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "helper/helper_text.h"
#include "platform/process.h"
#include "tests/support/temp_home.h"

namespace vandrel::connection {
namespace {

CommandResult runShell(const std::string& command) {
  auto out = platform::ProcessRunner::system().runShell(command);
  if (!out.ok()) return CommandResult{-1, "None"};
  return CommandResult{out.value().exitCode, helper::outputOrNone(out.value().standardOutput)};
}

class ResolverConfigTest : public ::testing::Test {
 protected:
  std::optional<std::vector<std::string>> serversOf(const std::string& text,
                                                    const std::string& name = "resolv.conf") {
    const auto path = home_.root() / name;
    std::ofstream(path) << text;
    return ResolverConfig(path.string(), runShell).getDeviceDNS();
  }

  test_support::TempHome home_;
};

TEST_F(ResolverConfigTest, TheSystemFileIsReadWithTheKnownCommand) {
  const ResolverConfig system(std::string(ResolverConfig::kResolvConfPath), runShell);
  EXPECT_EQ("tail /etc/resolv.conf | grep \"nameserver \"", system.command());
  // Any other file is one shell word, whatever it is called.
  const ResolverConfig other("/tmp/it's here/resolv.conf", runShell);
  EXPECT_EQ("tail '/tmp/it'\\''s here/resolv.conf' | grep \"nameserver \"", other.command());
}

TEST_F(ResolverConfigTest, NameserverLinesAmongTheLastTenGiveTheServers) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::vector<std::string>> servers;
  };
  std::string eleven = "nameserver 10.0.0.1\n";
  for (int i = 0; i < 10; ++i) eleven += "# filler " + std::to_string(i) + "\n";
  const std::vector<Case> cases = {
      {"two servers", "search example\nnameserver 10.53.0.1\nnameserver fd00::53\n",
       std::vector<std::string>{"10.53.0.1", "fd00::53"}},
      {"no line end at the end", "nameserver 10.53.0.1", std::vector<std::string>{"10.53.0.1"}},
      {"options only: grep finds nothing", "options ndots:2\n", std::nullopt},
      {"empty file", "", std::nullopt},
      {"a server above the last ten lines", eleven, std::nullopt},
      {"the keyword goes wherever it stands", "nameserver 10.1.1.1 # nameserver note\n",
       std::vector<std::string>{"10.1.1.1 # note"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.servers, serversOf(c.text));
  }
}

TEST_F(ResolverConfigTest, AMissingFileGivesNoServers) {
  const auto path = home_.root() / "no such dir" / "resolv.conf";
  EXPECT_EQ(std::nullopt, ResolverConfig(path.string(), runShell).getDeviceDNS());
  // A file whose name the shell would otherwise take apart.
  const auto pwned = std::filesystem::current_path() / "resolver-config-test-pwned";
  EXPECT_EQ(
      (std::vector<std::string>{"10.9.9.9"}),
      serversOf("nameserver 10.9.9.9\n", "a $(touch " + pwned.filename().string() + "); b'c.conf"));
  EXPECT_FALSE(std::filesystem::exists(pwned));
}

}  // namespace
}  // namespace vandrel::connection
