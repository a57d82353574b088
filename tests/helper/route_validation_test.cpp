#include "helper/route_validation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper/helper_tool.h"
#include "platform/process.h"

namespace vandrel::helper {
namespace {

struct RouteCase {
  std::string entry;
  bool valid;
  bool ipv6;
};

class RouteSpecTest : public testing::TestWithParam<RouteCase> {};

TEST_P(RouteSpecTest, AcceptsOnlyAnAddressWithAnOptionalPrefix) {
  const auto& c = GetParam();
  const auto spec = RouteSpec::parse(c.entry);
  ASSERT_EQ(c.valid, spec.has_value());
  if (!spec) return;
  EXPECT_EQ(c.ipv6, spec->ipv6);
  EXPECT_EQ(c.entry, spec->text);
  const std::vector<std::string> expected =
      c.ipv6 ? std::vector<std::string>{"ip", "-6", "route", "del", c.entry}
             : std::vector<std::string>{"ip", "route", "del", c.entry};
  EXPECT_EQ(expected, spec->deleteArgv());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, RouteSpecTest,
    testing::Values(RouteCase{"10.0.0.0/8", true, false}, RouteCase{"1.2.3.4", true, false},
                    RouteCase{"0.0.0.0/0", true, false}, RouteCase{"10.0.0.0/32", true, false},
                    RouteCase{"fe80::1", true, true}, RouteCase{"2001:db8::/32", true, true},
                    RouteCase{"::ffff:1.2.3.4/128", true, true},
                    RouteCase{"10.0.0.0/33", false, false}, RouteCase{"fe80::/129", false, true},
                    RouteCase{"10.0.0.0/", false, false}, RouteCase{"10.0.0.0/ 8", false, false},
                    RouteCase{"10.0.0.0/+8", false, false}, RouteCase{"10.0.0.0/-1", false, false},
                    RouteCase{"10.0.0.0/0008", false, false},
                    RouteCase{"10.0.0.0/8/8", false, false}, RouteCase{"1.2.3", false, false},
                    RouteCase{"1.2.3.4 ", false, false}, RouteCase{" 1.2.3.4", false, false},
                    RouteCase{"1.2.3.4; reboot", false, false},
                    RouteCase{"$(reboot)", false, false}, RouteCase{"-6", false, false},
                    RouteCase{"fe80::1%lo", false, true}, RouteCase{"default", false, false},
                    RouteCase{std::string("10.0.0.0/8\0x", 12), false, false},
                    RouteCase{std::string("1.2.3.4\0", 8), false, false},
                    RouteCase{std::string(300, '1'), false, false}, RouteCase{"", false, false}));

// Runs a program that never ends in place of every ip it is asked for,
// with the options the helper gave.
class HangingIp : public platform::ProcessRunner {
 public:
  platform::Result<platform::ProcessOutput> run(const std::vector<std::string>&,
                                                const platform::ProcessOptions& options) override {
    return platform::ProcessRunner::system().run({"sleep", "30"}, options);
  }
};

TEST(RouteDeletionTest, AHungIpIsStoppedAndTheNextRouteStillRuns) {
  HangingIp runner;
  HelperTool::Options options;
  options.config.daemonPath = "/nonexistent/daemon";
  options.runner = &runner;
  options.routeTimeout = std::chrono::milliseconds(200);
  HelperTool tool(std::move(options));
  const auto deleted = tool.deleteRoutes({"10.0.0.0/8", "10.1.0.0/16"});
  ASSERT_TRUE(deleted.ok()) << deleted.error().message;
  const std::vector<std::string>& lines = deleted.value();
  // Both ran and neither reports the exit of a finished ip (status 0).
  EXPECT_EQ((std::vector<std::string>{"delete 10.0.0.0/8 res: " + std::to_string(127 << 8),
                                      "delete 10.1.0.0/16 res: " + std::to_string(127 << 8)}),
            lines);
}

}  // namespace
}  // namespace vandrel::helper
