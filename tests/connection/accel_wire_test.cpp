// Wire bytes of the daemon protocol. Every golden below is written by hand
// from the protocol's field tables (tag = number << 3 | wire type), never
// produced by the generated code, so a wrong number, type or name in
// accel.proto shows up here before the daemon sees it.

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proto/accel.pb.h"

namespace vandrel::connection {
namespace {

using namespace std::string_literals;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The requests as the client fills them: fixed local endpoints
// 127.0.0.1:9090 (SOCKS5), 127.0.0.1:9099 (HTTP proxy), PAC port 50453.
accel::SSConfig ssConfig(const std::string& server, int port, const std::string& method) {
  accel::SSConfig config;
  config.set_server(server);
  config.set_port(port);
  config.set_method(method);
  config.set_password("s3cret");
  config.set_localport(9090);
  return config;
}

accel::StartTun2socksReq tun2socks(const std::vector<std::string>& exclude) {
  accel::StartTun2socksReq request;
  request.set_tunname("zeridevaz_tunnel");
  request.set_tunaddr("172.20.0.2");
  request.set_tunmask("255.255.0.0");
  request.set_tungateway("172.20.0.1");
  request.set_mtu(1488);
  request.set_socksaddr("127.0.0.1:9090");
  request.set_enablednscache(false);
  for (const auto& route : exclude) request.add_exclude(route);
  return request;
}

accel::SetSystemProxyReq setSystemProxy(accel::SystemProxyMode mode,
                                        const std::vector<std::string>& domains) {
  accel::SetSystemProxyReq request;
  request.set_mode(mode);
  request.set_httpproxyaddr("127.0.0.1");
  request.set_httpproxyport(9099);
  request.set_pacserverport(50453);
  for (const auto& domain : domains) request.add_domains(domain);
  return request;
}

accel::StopSystemProxyReq stopSystemProxy(accel::SystemProxyMode mode) {
  accel::StopSystemProxyReq request;
  request.set_mode(mode);
  request.set_httpproxyaddr("127.0.0.1");
  request.set_httpproxyport(9099);
  return request;
}

struct EncodeCase {
  const char* name;
  std::function<std::unique_ptr<Message>()> build;
  std::string golden;
};

template <typename M>
std::function<std::unique_ptr<Message>()> make(std::function<M()> build) {
  return [build] { return std::unique_ptr<Message>(new M(build())); };
}

TEST(AccelWireTest, RequestsEncodeToTheHandWrittenBytes) {
  // clang-format off
  const std::vector<EncodeCase> cases = {
      {"SSConfig in SS mode",
       make<accel::SSConfig>([] {
         auto c = ssConfig("203.0.113.7", 8388, "chacha20-ietf-poly1305");
         c.set_type(accel::SS);
         return c;
       }),
       "\x0a\x0b" "203.0.113.7"             // 1 Server
       "\x10\xc4\x41"                        // 2 Port 8388
       "\x1a\x16" "chacha20-ietf-poly1305"  // 3 Method
       "\x22\x06" "s3cret"                  // 4 Password
       "\x28\x82\x47"s},                     // 5 LocalPort 9090; 6 Type SS (0) not sent
      {"SSConfig in SSW mode",
       make<accel::SSConfig>([] {
         auto c = ssConfig("edge.example.net", 443, "aes-256-gcm");
         c.set_type(accel::SSW);
         c.set_url("wss://edge.example.net/ws");
         c.set_username("u-1024");
         return c;
       }),
       "\x0a\x10" "edge.example.net"          // 1 Server (the line's host)
       "\x10\xbb\x03"                          // 2 Port 443
       "\x1a\x0b" "aes-256-gcm"               // 3 Method
       "\x22\x06" "s3cret"                    // 4 Password
       "\x28\x82\x47"                          // 5 LocalPort 9090
       "\x30\x01"                              // 6 Type SSW
       "\x3a\x19" "wss://edge.example.net/ws"  // 7 URL
       "\x42\x06" "u-1024"s},                  // 8 Username
      {"SSConfig in SSW mode from a line without host, port, url or username",
       make<accel::SSConfig>([] {
         auto c = ssConfig("None", 0, "aes-256-gcm");
         c.set_type(accel::SSW);
         c.set_url("None");
         c.set_username("None");
         return c;
       }),
       "\x0a\x04" "None"         // 1 Server; 2 Port 0 not sent
       "\x1a\x0b" "aes-256-gcm"  // 3 Method
       "\x22\x06" "s3cret"       // 4 Password
       "\x28\x82\x47"            // 5 LocalPort
       "\x30\x01"                // 6 Type SSW
       "\x3a\x04" "None"         // 7 URL
       "\x42\x04" "None"s},      // 8 Username
      {"negative int32 takes ten bytes",
       make<accel::SSConfig>([] {
         accel::SSConfig c;
         c.set_port(-1);
         return c;
       }),
       "\x10\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"s},
      {"StartTun2socksReq with exclusions",
       make<accel::StartTun2socksReq>([] { return tun2socks({"203.0.113.7", "", "fe80::1"}); }),
       "\x0a\x10" "zeridevaz_tunnel"  // 1 TunName
       "\x12\x0a" "172.20.0.2"        // 2 TunAddr
       "\x1a\x0b" "255.255.0.0"       // 3 TunMask
       "\x22\x0a" "172.20.0.1"        // 4 TunGateway; 5 DNS empty
       "\x30\xd0\x0b"                 // 6 MTU 1488
       "\x3a\x0e" "127.0.0.1:9090"    // 7 SocksAddr; 8 EnableDnsCache false
       "\x4a\x0b" "203.0.113.7"       // 9 Exclude, one occurrence per element
       "\x4a\x00"                     //   an empty element is still sent
       "\x4a\x07" "fe80::1"s},
      {"StartTun2socksReq without exclusions",
       make<accel::StartTun2socksReq>([] { return tun2socks({}); }),
       "\x0a\x10" "zeridevaz_tunnel"
       "\x12\x0a" "172.20.0.2"
       "\x1a\x0b" "255.255.0.0"
       "\x22\x0a" "172.20.0.1"
       "\x30\xd0\x0b"
       "\x3a\x0e" "127.0.0.1:9090"s},
      {"SetSystemProxyReq intelligent",
       make<accel::SetSystemProxyReq>(
           [] { return setSystemProxy(accel::Intelligent, {"example.org", "cdn.example.net"}); }),
       "\x08\x01"                        // 1 Mode Intelligent
       "\x12\x09" "127.0.0.1"            // 2 HttpProxyAddr
       "\x18\x8b\x47"                    // 3 HttpProxyPort 9099
       "\x20\x95\x8a\x03"                // 4 PacServerPort 50453
       "\x2a\x0b" "example.org"          // 5 Domains
       "\x2a\x0f" "cdn.example.net"s},   //   ; 6 Nets empty
      {"SetSystemProxyReq global with the one-empty-text domain list",
       make<accel::SetSystemProxyReq>([] { return setSystemProxy(accel::Global, {""}); }),
       "\x12\x09" "127.0.0.1"  // 1 Mode Global (0) not sent
       "\x18\x8b\x47"
       "\x20\x95\x8a\x03"
       "\x2a\x00"s},
      {"StopSystemProxyReq global",
       make<accel::StopSystemProxyReq>([] { return stopSystemProxy(accel::Global); }),
       "\x12\x09" "127.0.0.1"
       "\x18\x8b\x47"s},
      {"StopSystemProxyReq intelligent",
       make<accel::StopSystemProxyReq>([] { return stopSystemProxy(accel::Intelligent); }),
       "\x08\x01"
       "\x12\x09" "127.0.0.1"
       "\x18\x8b\x47"s},
      {"StartHttpProxyReq",
       make<accel::StartHttpProxyReq>([] {
         accel::StartHttpProxyReq r;
         r.set_server("127.0.0.1");
         r.set_port(9099);
         r.set_s5addr("127.0.0.1");
         r.set_s5port(9090);
         return r;
       }),
       "\x0a\x09" "127.0.0.1"  // 1 Server
       "\x10\x8b\x47"          // 2 Port 9099
       "\x1a\x09" "127.0.0.1"  // 3 S5Addr
       "\x20\x82\x47"s},       // 4 S5Port 9090
      {"GTSConfig with only its defaults",
       make<accel::GTSConfig>([] {
         accel::GTSConfig c;
         c.set_proto(accel::UDP);
         return c;
       }),
       ""s},
      {"GTSConfig with two exclusions",
       make<accel::GTSConfig>([] {
         accel::GTSConfig c;
         c.add_exclude("10.0.0.0/8");
         c.add_exclude("fe80::/10");
         return c;
       }),
       "\x52\x0a" "10.0.0.0/8"  // 10 exclude
       "\x52\x09" "fe80::/10"s},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = c.build();
    EXPECT_EQ(hex(message->SerializeAsString()), hex(c.golden));
    std::unique_ptr<Message> decoded(message->New());
    ASSERT_TRUE(decoded->ParseFromString(c.golden));
    EXPECT_TRUE(MessageDifferencer::Equals(*decoded, *message)) << decoded->ShortDebugString();
  }
}

TEST(AccelWireTest, EmptyRequestsEncodeToNoBytes) {
  const std::vector<std::shared_ptr<Message>> empty = {
      std::make_shared<accel::GTSStopReq>(),       std::make_shared<accel::StopSSReq>(),
      std::make_shared<accel::StopHttpProxyReq>(), std::make_shared<accel::StopLSPProxyReq>(),
      std::make_shared<accel::StopTun2socksReq>(), std::make_shared<accel::GetExcludeRouteReq>()};
  for (const auto& message : empty) {
    SCOPED_TRACE(message->GetTypeName());
    EXPECT_EQ(message->GetDescriptor()->field_count(), 0);
    EXPECT_EQ(message->SerializeAsString(), "");
  }
}

TEST(AccelWireTest, PingRspDecodesThreeResultsInWireOrder) {
  // clang-format off
  const std::string bytes =
      "\x08\x01"                                            // 1 Success; no 2 Error
      "\x1a\x12"                                            // 3 Result, 18 bytes
      "\x0a\x0c" "198.51.100.1" "\x10\x23" "\x18\x04"       //   Server, Delay 35, Count 4
      "\x1a\x15"                                            // 3 Result, 21 bytes
      "\x0a\x0c" "198.51.100.2" "\x10\xac\x02" "\x18\x04"   //   Delay 300
      "\x20\x19"                                            //   Loss 25
      "\x1a\x1a"                                            // 3 Result, 26 bytes
      "\x0a\x09" "h.example"                                //   Server
      "\x10\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"        //   Delay -1
      "\x18\x04" "\x20\x64"s;                               //   Count 4, Loss 100
  // clang-format on
  accel::PingRsp rsp;
  ASSERT_TRUE(rsp.ParseFromString(bytes));
  EXPECT_TRUE(rsp.success());
  EXPECT_EQ(rsp.error(), "");
  ASSERT_EQ(rsp.result_size(), 3);
  struct Expected {
    const char* server;
    int delay, count, loss;
  };
  const Expected expected[] = {
      {"198.51.100.1", 35, 4, 0}, {"198.51.100.2", 300, 4, 25}, {"h.example", -1, 4, 100}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rsp.result(i).server(), expected[i].server);
    EXPECT_EQ(rsp.result(i).delay(), expected[i].delay);
    EXPECT_EQ(rsp.result(i).count(), expected[i].count);
    EXPECT_EQ(rsp.result(i).loss(), expected[i].loss);
  }
  EXPECT_EQ(hex(rsp.SerializeAsString()), hex(bytes));
}

TEST(AccelWireTest, GetExcludeRouteRspDecodesTheListInOrder) {
  // clang-format off
  const std::string bytes =
      "\x08\x01"                  // 1 Success
      "\x1a\x0a" "10.0.0.0/8"     // 3 Exclude
      "\x1a\x00"                  //   an empty element
      "\x1a\x07" "fe80::1"s;
  // clang-format on
  accel::GetExcludeRouteRsp rsp;
  ASSERT_TRUE(rsp.ParseFromString(bytes));
  EXPECT_TRUE(rsp.success());
  EXPECT_EQ(rsp.error(), "");
  EXPECT_EQ(std::vector<std::string>(rsp.exclude().begin(), rsp.exclude().end()),
            (std::vector<std::string>{"10.0.0.0/8", "", "fe80::1"}));

  accel::GetExcludeRouteRsp failed;
  // clang-format off
  ASSERT_TRUE(failed.ParseFromString("\x12\x0e" "ss not running"s));
  // clang-format on
  EXPECT_FALSE(failed.success());
  EXPECT_EQ(failed.error(), "ss not running");
  EXPECT_EQ(failed.exclude_size(), 0);
}

TEST(AccelWireTest, SingularFieldTakesItsLastOccurrence) {
  accel::SSRsp rsp;
  // clang-format off
  ASSERT_TRUE(rsp.ParseFromString("\x08\x01" "\x12\x01" "a" "\x08\x00" "\x12\x01" "b"s));
  // clang-format on
  EXPECT_FALSE(rsp.success());
  EXPECT_EQ(rsp.error(), "b");
}

TEST(AccelWireTest, UnknownFieldsSurviveDecodeAndEncode) {
  struct Case {
    const char* name;
    std::shared_ptr<Message> message;
    std::string input;
    std::string reencoded;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"status response with a field 7 after the known ones", std::make_shared<accel::SSRsp>(),
       "\x08\x01" "\x12\x03" "bad" "\x3a\x02" "hi"s,
       "\x08\x01" "\x12\x03" "bad" "\x3a\x02" "hi"s},
      {"unknown fields go after the known ones", std::make_shared<accel::StopTun2socksRsp>(),
       "\x38\x05" "\x3a\x02" "hi" "\x08\x01"s,
       "\x08\x01" "\x38\x05" "\x3a\x02" "hi"s},
      {"empty message keeps what it does not know", std::make_shared<accel::StopSSReq>(),
       "\x08\x01" "\x15\x01\x02\x03\x04"s,  // a varint and a fixed32
       "\x08\x01" "\x15\x01\x02\x03\x04"s},
      {"unrecognised enum number", std::make_shared<accel::SSConfig>(),
       "\x30\x07"s,
       "\x30\x07"s},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.message->ParseFromString(c.input));
    EXPECT_EQ(hex(c.message->SerializeAsString()), hex(c.reencoded));
  }
  accel::SSRsp rsp;
  ASSERT_TRUE(rsp.ParseFromString(cases[0].input));
  EXPECT_TRUE(rsp.success());
  EXPECT_EQ(rsp.error(), "bad");
  accel::SSConfig config;
  ASSERT_TRUE(config.ParseFromString(cases[3].input));
  EXPECT_EQ(config.type(), 7);
}

TEST(AccelWireTest, TruncatedInputFailsTheDecode) {
  // clang-format off
  for (const std::string& bytes : {"\x0a\x05" "ab"s, "\x10\xff"s, "\x1a"s}) {
    // clang-format on
    SCOPED_TRACE(hex(bytes));
    accel::PingRsp rsp;
    EXPECT_FALSE(rsp.ParseFromString(bytes));
  }
}

TEST(AccelWireTest, ServiceHasTheSixteenMethodPaths) {
  struct Method {
    const char* name;
    const char* request;
    const char* response;
  };
  const Method expected[] = {
      {"RunGTS", "GTSConfig", "GTSRsp"},
      {"StopGTS", "GTSStopReq", "GTSRsp"},
      {"StartSS", "SSConfig", "SSRsp"},
      {"StopSS", "StopSSReq", "SSRsp"},
      {"StartHttpProxy", "StartHttpProxyReq", "HttpProxyRsp"},
      {"StopHttpProxy", "StopHttpProxyReq", "HttpProxyRsp"},
      {"SetSystemProxy", "SetSystemProxyReq", "SystemProxyRsp"},
      {"StopSystemProxy", "StopSystemProxyReq", "SystemProxyRsp"},
      {"StartLSPProxy", "StartLSPProxyReq", "LSPRsp"},
      {"StopLSPProxy", "StopLSPProxyReq", "LSPRsp"},
      {"StartTun2socks", "StartTun2socksReq", "StartTun2socksRsp"},
      {"StopTun2socks", "StopTun2socksReq", "StopTun2socksRsp"},
      {"PingServers", "PingReq", "PingRsp"},
      {"GetUUID", "GetUUIDReq", "GetUUIDRsp"},
      {"GetExcludeRoute", "GetExcludeRouteReq", "GetExcludeRouteRsp"},
      {"DelRoutes", "DelRoutesReq", "DelRoutesRsp"},
  };
  const auto* file = accel::SSConfig::descriptor()->file();
  ASSERT_EQ(file->service_count(), 1);
  const auto* service = file->service(0);
  EXPECT_EQ(service->full_name(), "accel.Accel");
  ASSERT_EQ(service->method_count(), 16);
  for (int i = 0; i < 16; ++i) {
    const auto* method = service->method(i);
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ("/" + service->full_name() + "/" + method->name(),
              "/accel.Accel/"s + expected[i].name);
    EXPECT_EQ(method->input_type()->full_name(), "accel."s + expected[i].request);
    EXPECT_EQ(method->output_type()->full_name(), "accel."s + expected[i].response);
    EXPECT_FALSE(method->client_streaming() || method->server_streaming());
  }
  EXPECT_EQ(file->message_type_count(), 28);
  EXPECT_EQ(file->enum_type_count(), 4);
}

TEST(AccelWireTest, FieldNamesAreTheirOwnJsonNames) {
  // Names travel in the JSON form, so "gateway" and "exclude" of GTSConfig
  // stay lower-case while StartTun2socksReq and GetExcludeRouteRsp say "Exclude".
  const auto* gts = accel::GTSConfig::descriptor();
  EXPECT_EQ(gts->FindFieldByNumber(7)->name(), "gateway");
  EXPECT_EQ(gts->FindFieldByNumber(10)->name(), "exclude");
  EXPECT_EQ(accel::StartTun2socksReq::descriptor()->FindFieldByNumber(9)->name(), "Exclude");
  EXPECT_EQ(accel::GetExcludeRouteRsp::descriptor()->FindFieldByNumber(3)->name(), "Exclude");
  const auto* file = gts->file();
  for (int m = 0; m < file->message_type_count(); ++m) {
    const auto* message = file->message_type(m);
    for (int f = 0; f < message->field_count(); ++f) {
      const auto* field = message->field(f);
      EXPECT_EQ(field->json_name(), field->name()) << message->name();
      EXPECT_FALSE(field->has_presence()) << message->name() << "." << field->name();
    }
  }
}

}  // namespace
}  // namespace vandrel::connection
