#include "crash/kit/trl_network_operation.h"
#include "crash/kit/trl_system_facts.h"
#include "crash/kit/trl_url_builder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;

// ---- TRLURLBuilder ---------------------------------------------------------

TEST(TRLURLBuilderTest, EscapeStringKeepsTheLegacySetAndEscapesEveryOtherByte) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"kept punctuation", "!$&'()*+,-./:;=?_~@", "!$&'()*+,-./:;=?_~@"},
      {"letters and digits", "AZaz09", "AZaz09"},
      {"blank", "a b", "a%20b"},
      {"hash and percent", "#%", "%23%25"},
      {"quotes and brackets", "\"<>[]{}`^|\\", "%22%3C%3E%5B%5D%7B%7D%60%5E%7C%5C"},
      {"controls", std::string("\r\n\t\x7f", 4), "%0D%0A%09%7F"},
      {"nul byte", std::string("a\0b", 3), "a%00b"},
      {"non-ASCII", "é€", "%C3%A9%E2%82%AC"},
      {"already escaped", "%20", "%2520"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TRLURLBuilder::escapeString(c.input), c.expected);
  }
}

// Variable path text stays one segment of the path it was put in.
TEST(TRLURLBuilderTest, HostilePathComponentsStayOneSegment) {
  struct Case {
    const char* name;
    std::string component;
    std::string expectedPath;
  };
  const Case cases[] = {
      {"plain identifier", "com.vandrel.mac.offline", "/apps/com.vandrel.mac.offline/settings"},
      {"climbing out", "../../admin", "/apps/..%2F..%2Fadmin/settings"},
      {"dot-dot alone", "..", "/apps/%2E%2E/settings"},
      {"dot alone", ".", "/apps/%2E/settings"},
      {"dots inside a name stay", "a..b", "/apps/a..b/settings"},
      {"query smuggled in", "x?admin=1", "/apps/x%3Fadmin=1/settings"},
      {"fragment", "x#y", "/apps/x%23y/settings"},
      {"CRLF", "x\r\nHost: evil", "/apps/x%0D%0AHost:%20evil/settings"},
      {"absolute URL", "http://evil/", "/apps/http:%2F%2Fevil%2F/settings"},
      {"empty", "", "/apps//settings"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto builder = TRLURLBuilder::URLWithBase("https://settings.example.test");
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent(c.component);
    builder.appendComponent("/settings");
    EXPECT_EQ(builder.URLString(), "https://settings.example.test" + c.expectedPath);
    EXPECT_TRUE(builder.URL().has_value());
  }
}

TEST(TRLURLBuilderTest, QueryValuesCannotAddOrSplitParameters) {
  struct Case {
    const char* name;
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"blank", "1 2", "?v=1%202&n=3"},
      {"ampersand", "1&admin=1", "?v=1%26admin%3D1&n=3"},
      {"equals", "a=b", "?v=a%3Db&n=3"},
      {"plus is not a blank", "a+b", "?v=a%2Bb&n=3"},
      {"fragment", "1#top", "?v=1%23top&n=3"},
      {"slash and question mark stay", "a/b?c", "?v=a/b?c&n=3"},
      {"CRLF", "1\r\nX: y", "?v=1%0D%0AX:%20y&n=3"},
      {"non-ASCII", "ü", "?v=%C3%BC&n=3"},
      {"empty", "", "?v=&n=3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto builder = TRLURLBuilder::URLWithBase("https://h.test/p");
    builder.appendValue(c.value, "v");
    builder.appendValue(std::int64_t{3}, "n");
    EXPECT_EQ(builder.URLString(), "https://h.test/p" + c.expected);
    EXPECT_EQ(builder.queryParams(), 2u);
    EXPECT_TRUE(builder.URL().has_value());
  }
}

TEST(TRLURLBuilderTest, MissingValuesAreLeftOutAndTheFirstPresentOpensTheQuery) {
  auto bare = TRLURLBuilder::URLWithBase("https://h.test/spi/v2");
  EXPECT_EQ(bare.URLString(), "https://h.test/spi/v2");
  EXPECT_EQ(bare.queryParams(), 0u);

  auto builder = TRLURLBuilder::URLWithBase("https://h.test/p");
  builder.appendValue(std::nullopt, "build_version");
  builder.appendValue(std::string("1"), "a");
  builder.appendValue(std::nullopt, "instance");
  builder.appendValue(std::string("2"), "b");
  EXPECT_EQ(builder.URLString(), "https://h.test/p?a=1&b=2");
  EXPECT_EQ(builder.queryParams(), 2u);
}

TEST(TRLURLBuilderTest, URLIsNoneForStringsThatAreNotAbsoluteURLs) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"https with port, path and query", "https://h.test:8443/a/b?c=d#e", true},
      {"escapes", "https://h.test/a%20b", true},
      {"empty", "", false},
      {"no scheme", "h.test/a", false},
      {"no host", "https:///a", false},
      {"raw blank", "https://h.test/a b", false},
      {"raw non-ASCII", "https://h.test/é", false},
      {"broken escape", "https://h.test/a%2", false},
      {"non-hex escape", "https://h.test/a%zz", false},
      {"control", "https://h.test/a\nb", false},
      {"scheme starting with a digit", "1http://h.test/", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto builder = TRLURLBuilder::URLWithBase(c.text);
    EXPECT_EQ(builder.URL().has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(*builder.URL(), c.text);
    }
  }
}

// ---- System facts ----------------------------------------------------------

class SystemFactsTest : public testing::Test {
 protected:
  void write(const std::string& relative, const std::string& content) {
    std::filesystem::path path = dir_.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  SystemFactsSource source() const { return SystemFactsSource{dir_.path().string()}; }

  test_support::TempDir dir_{"vandrel-facts"};
};

TEST_F(SystemFactsTest, ReadsTheNamedVariablesBelowTheRoot) {
  write("proc/sys/kernel/version", "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)\n");
  write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
  write("sys/devices/virtual/dmi/id/product_name", "ThinkPad X1 Carbon Gen 9\n");
  write("proc/cpuinfo", "processor\t: 0\nmodel name\t: Example CPU @ 2.40GHz\nflags\t: fpu\n");

  EXPECT_EQ(TRLOSBuildVersion(source()), "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01)");
  EXPECT_EQ(TRLHardwareModel(source()), "ThinkPad X1 Carbon Gen 9");
  EXPECT_EQ(TRLSysctlString("kern.osrelease", source()), "6.1.0-18-amd64");
  EXPECT_EQ(TRLSysctlString("machdep.cpu.brand_string", source()), "Example CPU @ 2.40GHz");
  EXPECT_EQ(TRLSysctlString("kern.unknown", source()), std::nullopt);
}

TEST_F(SystemFactsTest, ValuesThatWouldNotFitOrAreNotTextReadAsNone) {
  struct Case {
    const char* name;
    std::string content;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"127 bytes fit", std::string(127, 'm'), std::string(127, 'm')},
      {"128 bytes do not", std::string(128, 'm'), std::nullopt},
      {"empty", "\n", std::nullopt},
      {"invalid UTF-8", "Model \xff\xfe", std::nullopt},
      {"overlong UTF-8", "Model \xc0\xaf", std::nullopt},
      {"embedded control", "Model\r\nX-Evil: 1", std::nullopt},
      {"UTF-8", "Modèle 5", std::string("Modèle 5")},
      {"device-tree NUL end", std::string("Board v2\0", 9), std::string("Board v2")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("sys/devices/virtual/dmi/id/product_name", c.content);
    EXPECT_EQ(TRLHardwareModel(source()), c.expected);
  }
}

TEST_F(SystemFactsTest, ModelFallsBackToTheDeviceTreeAndIsNoneWithoutEither) {
  EXPECT_EQ(TRLHardwareModel(source()), std::nullopt);
  write("sys/firmware/devicetree/base/model", std::string("Example Board Rev 1.4\0", 22));
  EXPECT_EQ(TRLHardwareModel(source()), "Example Board Rev 1.4");
  EXPECT_EQ(TRLOSBuildVersion(source()), std::nullopt);
}

TEST_F(SystemFactsTest, OperatingSystemVersionFromOsReleaseThenKernelThenDefaults) {
  struct Case {
    const char* name;
    std::optional<std::string> osRelease;
    std::optional<std::string> kernelRelease;
    TRLOperatingSystemVersionValue expected;
    std::string display;
  };
  const Case cases[] = {
      {"major only", "NAME=\"Debian\"\nVERSION_ID=\"12\"\n", "6.1.0-18-amd64", {12, 0, 0}, "12.0.0"},
      {"three parts unquoted", "VERSION_ID=22.04.3\n", std::nullopt, {22, 4, 3}, "22.4.3"},
      {"rolling, kernel used", "NAME=Arch\n", "6.7.4-arch1-1", {6, 7, 4}, "6.7.4"},
      {"not a number, kernel used", "VERSION_ID=\"n/a\"\n", "5.15.0", {5, 15, 0}, "5.15.0"},
      {"nothing readable", std::nullopt, std::nullopt, {10, 0, 0}, "10.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_.path() / "etc");
    std::filesystem::remove_all(dir_.path() / "proc");
    if (c.osRelease) write("etc/os-release", *c.osRelease);
    if (c.kernelRelease) write("proc/sys/kernel/osrelease", *c.kernelRelease);
    EXPECT_EQ(TRLOperatingSystemVersion(source()), c.expected);
    EXPECT_EQ(TRLOSDisplayVersion(source()), c.display);
  }
}

TEST(SystemFactsVersionNumberTest, OnlyMinorVersionsSixToFourteenHaveANumber) {
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {5, 0},        {6, 1060},     {7, 1070},     {8, 1080},     {9, 1090},       {10, 101000},
      {11, 101100},  {12, 101200},  {13, 101300},  {14, 101400},  {15, 0},         {0, 0}};
  for (const auto& [minor, number] : cases) {
    SCOPED_TRACE(minor);
    EXPECT_EQ(TRLOSVersionNumber(TRLOperatingSystemVersionValue{10, minor, 7}), number);
  }
}

TEST(SystemFactsLocaleTest, LocaleComesFromTheFirstSetVariableInItsPlainForm) {
  struct Case {
    const char* name;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* expected;
  };
  const Case cases[] = {
      {"LANG with codeset", "", "", "en_US.UTF-8", "en_US"},
      {"LC_ALL wins", "de_DE.UTF-8", "fr_FR.UTF-8", "en_US.UTF-8", "de_DE"},
      {"LC_MESSAGES before LANG", "", "fr_FR", "en_US.UTF-8", "fr_FR"},
      {"modifier dropped", "", "", "sr_RS@latin", "sr_RS"},
      {"C", "", "", "C.UTF-8", "en_US_POSIX"},
      {"POSIX", "POSIX", "", "", "en_US_POSIX"},
      {"nothing set", "", "", "", "en_US_POSIX"},
      {"header injection", "", "", "en_US\r\nX-Evil: 1", "en_US_POSIX"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TRLLocaleIdentifierFromEnvironment(c.lcAll, c.lcMessages, c.lang), c.expected);
  }
}

// ---- TRLNetworkOperation ---------------------------------------------------

class FixedLocaleOperation : public TRLNetworkOperation {
 public:
  using TRLNetworkOperation::TRLNetworkOperation;
  std::string localeIdentifier() const override { return "en_US"; }
};

const std::vector<platform::HttpHeaders::Field> kExpectedHeaders = {
    {"User-Agent", "io.trellis.sdk.mac/1.10.2 (80)"},
    {"Accept-Charset", "utf-8"},
    {"Accept-Language", "en_US"},
    {"Content-Language", "en_US"},
    {"X-Faultline-Developer-Token", "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d"},
    {"X-Faultline-API-Client-Id", "io.trellis.sdk.mac"},
    {"X-Faultline-API-Client-Display-Version", "1.10.2"},
    {"X-Faultline-API-Client-Build-Version", "80"},
    {"X-Faultline-API-Key", "key-123"},
};

TEST(TRLNetworkOperationTest, UnusableKeysYieldNoOperation) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"missing", std::nullopt},
      {"empty", std::string()},
      {"CRLF", std::string("abc\r\nX-Evil: 1")},
      {"NUL", std::string("abc\0def", 7)},
  };
  for (const auto& [name, key] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(TRLNetworkOperation::initWithAPIKey(key), nullptr);
    EXPECT_EQ(TRLNetworkOperation::makeWithAPIKey<FixedLocaleOperation>(key), nullptr);
  }
  auto op = TRLNetworkOperation::initWithAPIKey(std::string("key-123"));
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(op->APIKey(), "key-123");
}

TEST(TRLNetworkOperationTest, CommonRequestCarriesTheHeadersInOrderAndTheTimeout) {
  auto op = TRLNetworkOperation::makeWithAPIKey<FixedLocaleOperation>(std::string("key-123"));
  ASSERT_NE(op, nullptr);

  platform::HttpRequest request =
      op->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://h.test/x");
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.url, "https://h.test/x");
  EXPECT_EQ(request.idleTimeout, platform::Duration(10s));
  EXPECT_EQ(request.headers.fields(), kExpectedHeaders);

  platform::HttpRequest shorter = op->mutableRequestWithDefaultHTTPHeadersForURL("https://h.test/y", 3s);
  EXPECT_EQ(shorter.idleTimeout, platform::Duration(3s));
  EXPECT_EQ(shorter.headers.fields(), kExpectedHeaders);
}

// A one-shot HTTP server on loopback that records the head of the request it
// gets and answers 200 with no body.
class OneShotServer {
 public:
  OneShotServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd_, 1) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  int port() const { return port_; }
  std::string head() {
    std::lock_guard<std::mutex> lock(mutex_);
    return head_;
  }

 private:
  void serve() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return;
    int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    std::string data;
    char buffer[4096];
    while (data.find("\r\n\r\n") == std::string::npos) {
      pollfd c{client, POLLIN, 0};
      if (::poll(&c, 1, 10000) != 1) break;
      ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      head_ = data;
    }
    const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)::send(client, reply, sizeof(reply) - 1, MSG_NOSIGNAL);
    ::close(client);
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::string head_;
};

TEST(TRLNetworkOperationTest, CommonHeadersReachTheServerInOrder) {
  OneShotServer server;
  auto op = TRLNetworkOperation::makeWithAPIKey<FixedLocaleOperation>(std::string("key-123"));
  ASSERT_NE(op, nullptr);
  auto builder = TRLURLBuilder::URLWithBase("http://127.0.0.1:" + std::to_string(server.port()));
  builder.appendComponent("/spi/v2/platforms/");
  builder.appendComponent(kTRLPlatform);
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent("com.vandrel.mac.offline");
  builder.appendComponent("/settings");
  builder.appendValue(std::string("1.0 beta"), "display_version");
  ASSERT_TRUE(builder.URL().has_value());

  platform::HttpSession session(platform::HttpSessionConfig{});
  // Shared with the completion, which runs on another thread and may still
  // be returning from its notify when this test has moved on (or, after a
  // time-out, run when it has ended).
  struct Reply {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<platform::HttpResponse> response;
  };
  auto reply = std::make_shared<Reply>();
  session.send(op->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*builder.URL()),
               platform::globalQueue(), [reply](platform::HttpResponse r) {
                 std::lock_guard<std::mutex> lock(reply->mutex);
                 reply->response = std::move(r);
                 reply->cv.notify_all();
               });
  std::optional<platform::HttpResponse> response;
  {
    std::unique_lock<std::mutex> lock(reply->mutex);
    ASSERT_TRUE(reply->cv.wait_for(lock, 15s, [&] { return reply->response.has_value(); }))
        << "no response within 15 s";
    response = reply->response;
  }
  ASSERT_TRUE(response->ok()) << response->error->message;
  EXPECT_EQ(response->status, 200);

  std::string head = server.head();
  EXPECT_EQ(head.substr(0, head.find("\r\n")),
            "GET /spi/v2/platforms/mac/apps/com.vandrel.mac.offline/settings"
            "?display_version=1.0%20beta HTTP/1.1");
  std::size_t at = 0;
  for (const auto& [name, value] : kExpectedHeaders) {
    SCOPED_TRACE(name);
    std::size_t found = head.find("\r\n" + name + ": " + value + "\r\n", at);
    ASSERT_NE(found, std::string::npos) << head;
    at = found + 1;
  }
}

}  // namespace
}  // namespace vandrel::crash
