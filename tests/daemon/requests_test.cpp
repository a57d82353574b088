// The rules a request meets before the daemon acts on it, and the texts the
// daemon writes for its components, without running anything.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "daemon/caller_identity.h"
#include "daemon/components.h"
#include "daemon/desktop_proxy.h"
#include "daemon/pac_server.h"
#include "daemon/requests.h"

namespace vandrel::daemon {
namespace {

using ::testing::HasSubstr;

SsRequest sswRequest(std::string url) {
  SsRequest request;
  request.server = "line.example";
  request.port = 443;
  request.method = "AES-128-CFB";
  request.password = "pw";
  request.localPort = 9090;
  request.type = kTypeSsw;
  request.url = std::move(url);
  request.username = "None";
  return request;
}

TEST(DaemonRequestsTest, AnSswUrlBecomesTheWebsocketHostPathAndTls) {
  struct Case {
    std::string url;
    std::optional<WebSocketTransport> expected;
  };
  const std::vector<Case> cases = {
      {"ws://cdn.example/ws", WebSocketTransport{"cdn.example", "/ws", false}},
      {"wss://cdn.example:8443/a/b-c_d.e~%20", WebSocketTransport{"cdn.example", "/a/b-c_d.e~%20", true}},
      {"wss://[2001:db8::5]/", WebSocketTransport{"2001:db8::5", "/", true}},
      {"ws://cdn.example", WebSocketTransport{"cdn.example", "/", false}},
      {"http://cdn.example/ws", std::nullopt},
      {"ws://cdn.example:0/ws", std::nullopt},
      {"ws://cdn.example:99999/ws", std::nullopt},
      {"ws:///ws", std::nullopt},
      {"ws://cdn.example/ws;mode=quic", std::nullopt},
      {"ws://cdn.example/ws?x=1", std::nullopt},
      {"ws://bad host/", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const auto settings = checkSsRequest(sswRequest(c.url));
    ASSERT_EQ(c.expected.has_value(), settings.ok());
    if (!settings) continue;
    ASSERT_TRUE(settings.value().webSocket);
    EXPECT_EQ(c.expected->host, settings.value().webSocket->host);
    EXPECT_EQ(c.expected->path, settings.value().webSocket->path);
    EXPECT_EQ(c.expected->tls, settings.value().webSocket->tls);
    EXPECT_EQ("aes-128-cfb", settings.value().method);
  }
}

TEST(DaemonRequestsTest, TheClientsTunRequestIsTakenWithItsLongNameShortened) {
  TunRequest request;
  request.tunName = "zeridevaz_tunnel";  // 16 bytes, one more than Linux takes
  request.tunAddr = "172.20.0.2";
  request.tunMask = "255.255.0.0";
  request.tunGateway = "172.20.0.1";
  request.mtu = 1488;
  request.socksAddr = "127.0.0.1:9090";
  request.exclude = {"api.example.com", "", "198.51.100.7", "2001:db8::7", "", "127.0.0.1"};
  const auto settings = checkTunRequest(request);
  ASSERT_TRUE(settings.ok()) << settings.error().message;
  EXPECT_EQ("vandrel-tun", settings.value().name);
  EXPECT_EQ(16, settings.value().prefix);
  EXPECT_EQ(9090, settings.value().socks.port);
  ASSERT_EQ(3u, settings.value().exclude.size());
  EXPECT_EQ("api.example.com", settings.value().exclude[0].hostName);
  EXPECT_EQ("198.51.100.7", settings.value().exclude[1].address->text());
  EXPECT_EQ("2001:db8::7", settings.value().exclude[2].address->text());

  request.exclude = {"224.0.0.1"};
  EXPECT_FALSE(checkTunRequest(request).ok());
  request.exclude.clear();
  request.tunName = "tun7";
  EXPECT_EQ("tun7", checkTunRequest(request).value().name);
  request.socksAddr = "[::1]:1080";
  EXPECT_EQ(1080, checkTunRequest(request).value().socks.port);
  for (const std::string bad : {"::1:1080", "127.0.0.1", "127.0.0.1:", "localhost:1080"}) {
    request.socksAddr = bad;
    EXPECT_FALSE(checkTunRequest(request).ok()) << bad;
  }
}

TEST(DaemonRequestsTest, HostNamesAreHostNamesAndNothingElse) {
  for (const std::string good : {"a", "api.example.com", "x-1.y_2.example.", "xn--bcher-kva.de"}) {
    EXPECT_TRUE(isHostName(good)) << good;
  }
  const std::vector<std::string> bad = {
      "", ".", "-a", "a-", "a..b", "a b", "a/b", "$(x)", "10.0.0.1", std::string(64, 'a'),
      std::string("a\0b", 3), "\xc3\xa9.example"};
  for (const auto& name : bad) {
    EXPECT_FALSE(isHostName(name)) << name;
  }
}

TEST(DaemonRequestsTest, IntelligentModeListsNormalisedDomainsAndAnEmptyListProxiesNothing) {
  SystemProxyRequest request;
  request.mode = kModeIntelligent;
  request.httpProxyAddr = "127.0.0.1";
  request.httpProxyPort = 9099;
  request.pacServerPort = 50453;
  request.domains = {"", "*.Video.Example", ".news.example", "plain.example."};
  request.nets = {"10.8.0.0/16"};
  const auto settings = checkSystemProxyRequest(request);
  ASSERT_TRUE(settings.ok()) << settings.error().message;
  EXPECT_THAT(settings.value().domains,
              ::testing::ElementsAre("video.example", "news.example", "plain.example"));
  const std::string script = pacScript(settings.value());
  EXPECT_THAT(script, HasSubstr("var proxy = \"PROXY 127.0.0.1:9099\";"));
  EXPECT_THAT(script,
              HasSubstr("var domains = [\"video.example\", \"news.example\", \"plain.example\"];"));
  EXPECT_THAT(script, HasSubstr("[\"10.8.0.0\", \"255.255.0.0\"]"));

  request.domains = {""};  // what the client sends without a rule list
  request.nets.clear();
  const auto blank = checkSystemProxyRequest(request);
  ASSERT_TRUE(blank.ok());
  EXPECT_TRUE(blank.value().domains.empty());
  EXPECT_THAT(pacScript(blank.value()), HasSubstr("var domains = [];"));
}

TEST(DaemonRequestsTest, TheShadowsocksSettingsKeepThePasswordIntactAndOffTheCommandLine) {
  SsRequest request = sswRequest("wss://cdn.example/ws");
  request.password = "p\"w\\d";
  const auto settings = checkSsRequest(request);
  ASSERT_TRUE(settings.ok());
  const std::string config = ssLocalConfig(settings.value());
  EXPECT_THAT(config, HasSubstr(R"("password": "p\"w\\d",)"));
  EXPECT_THAT(config, HasSubstr(R"("local_address": "127.0.0.1",)"));
  EXPECT_THAT(config, HasSubstr(R"("mode": "tcp_and_udp",)"));
  EXPECT_THAT(config, HasSubstr(R"("plugin": "/usr/bin/ss-v2ray-plugin",)"));
  EXPECT_THAT(config, HasSubstr(R"("plugin_opts": "host=cdn.example;path=/ws;tls",)"));
  const auto spec = ssLocalSpec(3);
  EXPECT_THAT(spec.argv, ::testing::ElementsAre("ss-local", "-c", "/dev/fd/3"));
  EXPECT_TRUE(spec.unprivileged);
}

TEST(DaemonRequestsTest, ASavedDesktopProxyReadsBackAndHostileRecordsAreRejected) {
  SavedProxy saved;
  saved.uid = 1000;
  saved.values = {{"org.gnome.system.proxy", "mode", "'manual'"},
                  {"org.gnome.system.proxy.http", "host", "'proxy.corp example'"},
                  {"org.gnome.system.proxy.http", "port", "3128"}};
  const auto back = SavedProxy::parse(saved.format());
  ASSERT_TRUE(back);
  EXPECT_EQ(1000u, back->uid);
  EXPECT_EQ(saved.values, back->values);

  for (const std::string bad :
       {"", "uid x\n", "uid 1000\norg.gnome.desktop.background picture-uri 'x'\n",
        "uid 1000\norg.gnome.system.proxy mode 'a'\norg.gnome.system.proxy mode 'b'\n",
        "uid 1000\norg.gnome.system.proxy mode\n",
        "uid 1000\norg.gnome.system.proxy mode 'a\x01'\n"}) {
    EXPECT_FALSE(SavedProxy::parse(bad)) << bad;
  }
}

TEST(DaemonRequestsTest, APeerIsReadFromTheRpcLayersName) {
  const auto v4 = parsePeer("ipv4:127.0.0.1:41234");
  ASSERT_TRUE(v4);
  EXPECT_EQ("127.0.0.1", v4->address.text());
  EXPECT_EQ(41234, v4->port);
  const auto v6 = parsePeer("ipv6:[::1]:5");
  ASSERT_TRUE(v6);
  EXPECT_EQ("::1", v6->address.text());
  for (const std::string bad : {"unix:/tmp/x", "ipv4:127.0.0.1", "ipv4:127.0.0.1:0",
                                "ipv4:127.0.0.1:65536", "ipv4:host:1", ""}) {
    EXPECT_FALSE(parsePeer(bad)) << bad;
  }
}

}  // namespace
}  // namespace vandrel::daemon
