#include "ping/qv_ping.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/ping/ping_test_support.h"

namespace vandrel::ping {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using Kind = RecordingDelegate::Kind;

const SocketAddress kLoopback4 = ipv4Address("127.0.0.1");
const SocketAddress kLoopback6 = ipv6Address("::1");

struct SetupOutcome {
  int calls = 0;
  bool succeeded = false;
  std::optional<SetupError> error;
};

class PingerTest : public testing::Test {
 protected:
  void SetUp() override {
    system_->addHost("v4", {kLoopback4});
    system_->addHost("v6", {kLoopback6});
  }

  void TearDown() override {
    // Every armed timer holds its pinger: run the clock until all are gone,
    // so nothing outlives the scheduler.
    EXPECT_TRUE(eventually([&] {
      clock_.advance(1s);
      return qv_Ping::liveCount() == 0;
    }));
  }

  std::shared_ptr<qv_Ping> makePinger(std::optional<std::string> host) {
    auto ping = std::make_shared<qv_Ping>(system_, scheduler_);
    ping->setQv_host(std::move(host));
    ping->setQv_delegate(delegate_);
    ping->setQv_mainQueue(main_);
    ping->setQv_sendQueue(send_);
    ping->setQv_listenQueue(listen_);
    return ping;
  }

  SetupOutcome setUpSocket(qv_Ping& ping) {
    SetupOutcome outcome;
    ping.setupSocket([&](bool succeeded, const std::optional<SetupError>& error) {
      ++outcome.calls;
      outcome.succeeded = succeeded;
      outcome.error = error;
    });
    return outcome;
  }

  std::shared_ptr<qv_Ping> pingingPinger(const std::string& host) {
    auto ping = makePinger(host);
    EXPECT_TRUE(setUpSocket(*ping).succeeded);
    ping->beginPinging();
    return ping;
  }

  void sendOnce(qv_Ping& ping) {
    send_->sync([&] { ping.pingOnce(); });
  }
  void receiveOnce(qv_Ping& ping) {
    listen_->sync([&] { ping.receiveOnce(); });
  }
  // Lets every job already posted to the three queues run.
  void flush() {
    for (int i = 0; i < 2; ++i) {
      listen_->sync([] {});
      send_->sync([] {});
      main_->sync([] {});
    }
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::shared_ptr<FakePingSystem> system_ = std::make_shared<FakePingSystem>();
  std::shared_ptr<platform::SerialQueue> main_ = std::make_shared<platform::SerialQueue>("test.main");
  std::shared_ptr<platform::SerialQueue> send_ = std::make_shared<platform::SerialQueue>("test.send");
  std::shared_ptr<platform::SerialQueue> listen_ =
      std::make_shared<platform::SerialQueue>("test.listen");
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

// ---- set-up ------------------------------------------------------------------

struct SetupCase {
  const char* name;
  std::function<void(FakePingSystem&)> arrange;
  std::optional<std::string> host;
  bool twice;
  bool succeeded;
  std::string domain;
  std::int64_t code;
  std::optional<std::map<std::string, std::string>> userInfo;
  std::optional<std::string> log;
  std::optional<std::string> hostAddressString;
};

SocketAddress unixAddress() {
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&un);
  return SocketAddress(bytes, bytes + sizeof un);
}

const std::string kKey(kGetAddrInfoFailureKey);

const SetupCase kSetupCases[] = {
    {"IPv4", nullptr, "v4", false, true, "", 0, std::nullopt, std::nullopt, "127.0.0.1"},
    {"IPv6", nullptr, "v6", false, true, "", 0, std::nullopt, std::nullopt, "::1"},
    {"FirstListedFamilyWins",
     [](FakePingSystem& s) { s.addHost("dual", {ipv6Address("2001:db8::5"), kLoopback4}); },
     "dual", false, true, "", 0, std::nullopt, std::nullopt, "2001:db8::5"},
    {"AlreadySetUp", nullptr, "v4", true, false, "", 0, std::nullopt, std::string(kLogAlreadySetUp),
     "127.0.0.1"},
    {"NoHost", nullptr, std::nullopt, false, false, "", 0, std::nullopt,
     std::string(kLogSetHostFirst), std::nullopt},
    {"ResolverFailure", [](FakePingSystem& s) { s.failHost("nowhere.invalid", EAI_NONAME); },
     "nowhere.invalid", false, false, std::string(kCFNetworkErrorDomain), kHostErrorUnknown,
     std::map<std::string, std::string>{{kKey, std::to_string(EAI_NONAME)}}, std::nullopt,
     std::nullopt},
    {"ResolverSystemError", [](FakePingSystem& s) { s.failHost("io", EAI_SYSTEM, EIO); }, "io",
     false, false, std::string(kCFNetworkErrorDomain), kHostErrorUnknown,
     std::map<std::string, std::string>{}, std::nullopt, std::nullopt},
    {"OnlyOtherFamilies",
     [](FakePingSystem& s) {
       SocketAddress shortIPv4 = kLoopback4;
       shortIPv4.resize(15);
       s.addHost("elsewhere", {unixAddress(), shortIPv4});
     },
     "elsewhere", false, false, std::string(kCFNetworkErrorDomain), kHostErrorHostNotFound,
     std::nullopt, std::nullopt, std::nullopt},
    {"SocketError", [](FakePingSystem& s) { s.failSockets(EACCES); }, "v4", false, false,
     std::string(kPosixErrorDomain), EACCES, std::nullopt, std::nullopt, "127.0.0.1"},
};

class PingerSetupTest : public PingerTest, public testing::WithParamInterface<SetupCase> {};

TEST_P(PingerSetupTest, CompletesOnceBeforeReturningWithTheOutcome) {
  const SetupCase& c = GetParam();
  if (c.arrange) c.arrange(*system_);
  auto ping = makePinger(c.host);
  ping->setQv_debug(true);
  if (c.twice) {
    ASSERT_TRUE(setUpSocket(*ping).succeeded);
  }
  const SetupOutcome outcome = setUpSocket(*ping);

  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.succeeded, c.succeeded);
  EXPECT_EQ(ping->qv_hostAddressString(), c.hostAddressString);
  if (c.domain.empty()) {
    EXPECT_FALSE(outcome.error.has_value());
  } else {
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->error.domain, c.domain);
    EXPECT_EQ(outcome.error->error.code, c.code);
    EXPECT_EQ(outcome.error->userInfo, c.userInfo);
    EXPECT_FALSE(ping->qv_isReady());
  }
  if (c.log) {
    EXPECT_EQ(system_->logs(), std::vector<std::string>{*c.log});
  } else {
    EXPECT_TRUE(system_->logs().empty());
  }
  if (c.succeeded) {
    EXPECT_TRUE(ping->qv_isReady());
    EXPECT_TRUE(ping->qv_isStopped());
    // The kernel's identifier of the socket, not the random one of init.
    EXPECT_EQ(ping->qv_identifier(), system_->lastSocket()->identifier);
    EXPECT_EQ(ping->qv_socketNum(), system_->lastSocket()->eventFd);
    EXPECT_EQ(ping->pollDescriptor(), system_->lastSocket()->eventFd);
  }
  if (std::string(c.name) == "SocketError") {
    EXPECT_LT(ping->qv_socketNum(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PingerSetupTest, testing::ValuesIn(kSetupCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PingerTest, SetsTheTimeToLiveOnlyWhenOneIsGiven) {
  auto systemDefault = makePinger("v4");
  ASSERT_TRUE(setUpSocket(*systemDefault).succeeded);
  EXPECT_EQ(system_->lastSocket()->ttl, std::nullopt);

  auto sixtyFour = makePinger("v4");
  sixtyFour->setQv_ttl(64);
  ASSERT_TRUE(setUpSocket(*sixtyFour).succeeded);
  EXPECT_EQ(system_->lastSocket()->ttl, std::optional<std::uint64_t>(64));
}

TEST_F(PingerTest, SetUpAfterAFailureIsAllowed) {
  system_->failSockets(EACCES);
  auto ping = makePinger("v4");
  EXPECT_FALSE(setUpSocket(*ping).succeeded);
  system_->failSockets(0);
  EXPECT_TRUE(setUpSocket(*ping).succeeded);
  EXPECT_EQ(ping->qv_socketNum(), system_->lastSocket()->eventFd);
}

// ---- sending -----------------------------------------------------------------

TEST_F(PingerTest, SendsNothingBeforeBeginPingingOrWithoutASocket) {
  auto ready = makePinger("v4");
  ASSERT_TRUE(setUpSocket(*ready).succeeded);
  sendOnce(*ready);
  EXPECT_TRUE(system_->lastSocket()->sentPackets().empty());

  auto neverSetUp = makePinger("v4");
  neverSetUp->beginPinging();
  sendOnce(*neverSetUp);
  EXPECT_TRUE(neverSetUp->qv_pendingPings().empty());
  EXPECT_EQ(neverSetUp->qv_nextSequenceNumber(), 0u);
  EXPECT_EQ(delegate_->count(Kind::Send), 0u);
}

TEST_F(PingerTest, FirstRequestIsSequenceZeroWithTheDefaultPayload) {
  auto ping = pingingPinger("v4");
  sendOnce(*ping);

  const auto sent = system_->lastSocket()->sentPackets();
  ASSERT_EQ(sent.size(), 1u);
  const Bytes& packet = sent[0].packet;
  ASSERT_EQ(packet.size(), 64u);
  EXPECT_EQ(packet[0], 8);
  const auto header = readICMPHeader(packet, 0);
  EXPECT_EQ(header->qv_identifier, ping->qv_identifier());
  EXPECT_EQ(header->qv_sequenceNumber, 0);
  EXPECT_EQ(Bytes(packet.begin() + 8, packet.end()), Bytes(56, 0x07));
  EXPECT_EQ(internetChecksum(packet.data(), packet.size()), 0);
  EXPECT_EQ(sent[0].to, kLoopback4);

  EXPECT_EQ(ping->qv_nextSequenceNumber(), 1u);
  const auto pending = ping->qv_pendingPings();
  ASSERT_EQ(pending.count("0"), 1u);
  EXPECT_EQ(pending.at("0").qv_pingStatus(), qv_PingStatus::qv_pending);
  EXPECT_EQ(ping->qv_timeoutTimers().count("0"), 1u);

  const auto sends = delegate_->eventsOf(Kind::Send);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].queue, "test.send");
  EXPECT_EQ(sends[0].result.qv_sequenceNumber(), 0u);
  EXPECT_EQ(sends[0].result.qv_host(), std::optional<std::string>("v4"));
  EXPECT_EQ(sends[0].result.qv_payloadSize(), 56u);
  EXPECT_EQ(sends[0].result.qv_pingStatus(), qv_PingStatus::qv_pending);
}

struct SendFailureCase {
  const char* name;
  Behaviour behaviour;
  int code;
};

class PingerSendFailureTest : public PingerTest,
                              public testing::WithParamInterface<SendFailureCase> {};

TEST_P(PingerSendFailureTest, ReportsTheFailureAndStillTimesOut) {
  system_->setBehaviour(kLoopback4, GetParam().behaviour);
  auto ping = pingingPinger("v4");
  ping->setQv_debug(true);
  sendOnce(*ping);

  const auto failures = delegate_->eventsOf(Kind::FailToSend);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].queue, "test.send");
  EXPECT_EQ(failures[0].result.qv_pingStatus(), qv_PingStatus::qv_fail);
  EXPECT_EQ(failures[0].error->domain, kPosixErrorDomain);
  EXPECT_EQ(failures[0].error->code, GetParam().code);
  EXPECT_EQ(system_->logs(), std::vector<std::string>{std::string(kLogSendFailedPrefix) +
                                                      std::to_string(GetParam().code)});

  clock_.advance(1s);
  ASSERT_TRUE(delegate_->waitForCount(Kind::Timeout, 1));
  EXPECT_EQ(delegate_->eventsOf(Kind::Timeout)[0].result.qv_sequenceNumber(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PingerSendFailureTest,
                         testing::Values(SendFailureCase{"SendFails", Behaviour::SendFails,
                                                         ENETUNREACH},
                                         SendFailureCase{"NothingSent", Behaviour::ShortSend,
                                                         ENOBUFS}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- replies and time-outs ---------------------------------------------------

struct ReplyCase {
  const char* name;
  std::string host;
  SocketAddress address;
  std::string expectedHost;
  std::uint64_t expectedTtl;
};

class PingerReplyTest : public PingerTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(PingerReplyTest, ReplyArrivesOnTheMainQueueAndCancelsItsTimer) {
  const ReplyCase& c = GetParam();
  system_->setBehaviour(c.address, Behaviour::Reply);
  auto ping = pingingPinger(c.host);
  ping->setQv_ttl(5);
  sendOnce(*ping);
  clock_.advance(30ms);
  receiveOnce(*ping);

  ASSERT_TRUE(delegate_->waitForCount(Kind::Reply, 1));
  const auto reply = delegate_->eventsOf(Kind::Reply)[0];
  EXPECT_EQ(reply.queue, "test.main");
  EXPECT_EQ(reply.result.qv_pingStatus(), qv_PingStatus::qv_success);
  EXPECT_NEAR(reply.result.qv_time(), 0.030, 1e-6);
  EXPECT_EQ(reply.result.qv_host(), std::optional<std::string>(c.expectedHost));
  EXPECT_EQ(reply.result.qv_ttl(), c.expectedTtl);
  flush();
  EXPECT_TRUE(ping->qv_timeoutTimers().empty());

  clock_.advance(2s);
  flush();
  EXPECT_EQ(delegate_->count(Kind::Timeout), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Families, PingerReplyTest,
    testing::Values(
        // IPv4: host from the reply's source, time-to-live from the socket.
        ReplyCase{"IPv4", "v4", kLoopback4, "127.0.0.1", 64},
        // IPv6 replies leave host and time-to-live as sent.
        ReplyCase{"IPv6", "v6", kLoopback6, "v6", 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PingerTest, TimeOutCarriesTheRecordAsSentAndALateReplyStillCounts) {
  auto ping = pingingPinger("v4");
  sendOnce(*ping);
  const Bytes request = system_->lastSocket()->sentPackets()[0].packet;

  clock_.advance(1s);
  ASSERT_TRUE(delegate_->waitForCount(Kind::Timeout, 1));
  const auto timeout = delegate_->eventsOf(Kind::Timeout)[0];
  EXPECT_EQ(timeout.queue, "test.main");
  EXPECT_EQ(timeout.result.qv_pingStatus(), qv_PingStatus::qv_pending);
  EXPECT_EQ(timeout.result.qv_sequenceNumber(), 0u);
  EXPECT_EQ(ping->qv_pendingPings().at("0").qv_pingStatus(), qv_PingStatus::qv_fail);
  flush();
  EXPECT_TRUE(ping->qv_timeoutTimers().empty());

  // Within the grace period the request is still known.
  system_->lastSocket()->deliverFrom(kLoopback4, echoReplyTo(request, AF_INET));
  receiveOnce(*ping);
  ASSERT_TRUE(delegate_->waitForCount(Kind::Reply, 1));
  EXPECT_NEAR(delegate_->eventsOf(Kind::Reply)[0].result.qv_time(), 1.0, 1e-6);

  // After time-out plus grace it is forgotten, and so is any reply.
  clock_.advance(1s);
  ASSERT_TRUE(eventually([&] { return ping->qv_pendingPings().empty(); }));
  system_->lastSocket()->deliverFrom(kLoopback4, echoReplyTo(request, AF_INET));
  receiveOnce(*ping);
  flush();
  EXPECT_EQ(delegate_->count(Kind::Reply), 1u);
  EXPECT_EQ(delegate_->count(Kind::Timeout), 1u);
}

TEST_F(PingerTest, TimeOutIsDeliveredWhenOnlyTheTimerHoldsThePinger) {
  auto ping = pingingPinger("v4");
  sendOnce(*ping);
  ping.reset();
  EXPECT_EQ(qv_Ping::liveCount(), 1);
  clock_.advance(1s);
  ASSERT_TRUE(delegate_->waitForCount(Kind::Timeout, 1));
}

struct DatagramCase {
  const char* name;
  std::function<void(FakePingSystem::SocketState&, const Bytes& request)> deliver;
  std::optional<Kind> callback;
};

class PingerDatagramTest : public PingerTest, public testing::WithParamInterface<DatagramCase> {};

TEST_P(PingerDatagramTest, HandlesWhatArrives) {
  auto ping = pingingPinger("v4");
  sendOnce(*ping);
  auto socket = system_->lastSocket();
  GetParam().deliver(*socket, socket->sentPackets()[0].packet);
  receiveOnce(*ping);
  flush();

  std::vector<Kind> kinds;
  for (const auto& e : delegate_->events()) {
    if (e.kind != Kind::Send) kinds.push_back(e.kind);
  }
  if (GetParam().callback) {
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds[0], *GetParam().callback);
  } else {
    EXPECT_TRUE(kinds.empty());
  }
}

Bytes withSequence(Bytes reply, std::uint16_t sequence) {
  reply[6] = static_cast<std::uint8_t>(sequence >> 8);
  reply[7] = static_cast<std::uint8_t>(sequence);
  reply[2] = reply[3] = 0;
  const std::uint16_t checksum = internetChecksum(reply.data(), reply.size());
  std::memcpy(reply.data() + 2, &checksum, sizeof checksum);
  return reply;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PingerDatagramTest,
    testing::Values(
        DatagramCase{"NothingWaitingIsNotAFailure", [](auto&, const Bytes&) {}, std::nullopt},
        DatagramCase{"FromAnotherAddress",
                     [](auto& s, const Bytes& r) {
                       s.deliverFrom(ipv4Address("127.0.0.2"), echoReplyTo(r, AF_INET));
                     },
                     std::nullopt},
        DatagramCase{"UnknownSequenceNumber",
                     [](auto& s, const Bytes& r) {
                       s.deliverFrom(kLoopback4, withSequence(echoReplyTo(r, AF_INET), 9));
                     },
                     std::nullopt},
        DatagramCase{"TooShort",
                     [](auto& s, const Bytes&) { s.deliverFrom(kLoopback4, Bytes(7, 0)); },
                     std::nullopt},
        DatagramCase{"BadChecksumIsUnexpected",
                     [](auto& s, const Bytes& r) {
                       Bytes reply = echoReplyTo(r, AF_INET);
                       reply[2] ^= 0x5A;
                       s.deliverFrom(kLoopback4, reply);
                     },
                     Kind::Unexpected}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PingerTest, ReadFailureCarriesItsCodeAndStopsThePinger) {
  auto ping = pingingPinger("v4");
  ReceivedDatagram failed;
  failed.status = ReceivedDatagram::Status::Failed;
  failed.error = EIO;
  system_->lastSocket()->deliver(failed);
  ReceivedDatagram empty;
  empty.status = ReceivedDatagram::Status::Empty;
  system_->lastSocket()->deliver(empty);
  receiveOnce(*ping);
  receiveOnce(*ping);

  ASSERT_TRUE(delegate_->waitForCount(Kind::FailWithError, 2));
  ASSERT_TRUE(delegate_->waitForCount(Kind::Stop, 1));
  const auto errors = delegate_->eventsOf(Kind::FailWithError);
  EXPECT_EQ(errors[0].error->domain, kPosixErrorDomain);
  EXPECT_EQ(errors[0].error->code, -1);
  EXPECT_EQ(errors[1].error->code, EPIPE);
  EXPECT_EQ(delegate_->eventsOf(Kind::Stop)[0].queue, "test.main");
  EXPECT_FALSE(ping->qv_isPinging());
}

// ---- stopping ----------------------------------------------------------------

TEST_F(PingerTest, StopReportsOncePerStopThatFindsItPinging) {
  auto ping = pingingPinger("v4");
  ping->stop();
  ping->stop();
  flush();
  EXPECT_EQ(delegate_->count(Kind::Stop), 1u);
  EXPECT_FALSE(ping->qv_isPinging());
  EXPECT_TRUE(ping->qv_isReady());

  auto orphan = pingingPinger("v4");
  orphan->setQv_delegate({});
  orphan->stop();
  flush();
  EXPECT_TRUE(orphan->qv_isPinging());
}

TEST_F(PingerTest, CountsLivePingers) {
  ASSERT_EQ(qv_Ping::liveCount(), 0);
  auto first = makePinger("v4");
  auto second = makePinger("v4");
  EXPECT_EQ(first->qv_pingThreadCount(), 1);
  EXPECT_EQ(second->qv_pingThreadCount(), 2);
  first.reset();
  EXPECT_EQ(qv_Ping::liveCount(), 1);
}

}  // namespace
}  // namespace vandrel::ping
