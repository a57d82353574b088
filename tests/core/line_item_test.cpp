// The line record: initial values of a new record, strict decoding that
// keeps only what it decoded, and the shared, lock-guarded fields.

#include "core/line_item.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/json.h"

namespace vandrel::core {
namespace {

nlohmann::json parsed(const std::string& text) {
  auto value = platform::parseJson(text);
  EXPECT_TRUE(value.ok()) << text;
  return value.ok() ? value.value() : nlohmann::json();
}

TEST(LineItemTest, NewRecordEncodesExactlyItsInitialValues) {
  EXPECT_EQ(parsed(LineItem::create()->toJsonText()),
            parsed(R"({"load":0,"id":0,"pingTime":-1,"packetLoss":-1,"isAlive":false,
                       "isFree":false})"));
  const auto automatic = LineItem::automaticLine();
  EXPECT_TRUE(automatic->isAutomatic());
  EXPECT_EQ(parsed(automatic->toJsonText()),
            parsed(R"({"load":0,"id":-999,"name":"自动选择路线","pingTime":-1,"packetLoss":-1,
                       "isAlive":false,"isFree":false})"));
  EXPECT_NE(LineItem::automaticLine(), automatic) << "a fresh record every time";
}

TEST(LineItemTest, DecodingKeepsOnlyWhatItDecoded) {
  auto empty = LineItem::fromJsonText("{}");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value()->toJsonText(), "{}");
  EXPECT_EQ(empty.value()->pingTime(), std::nullopt);
  EXPECT_EQ(empty.value()->isAlive(), std::nullopt);
  EXPECT_FALSE(empty.value()->isAutomatic());

  auto automatic = LineItem::fromJsonText(R"({"id":-999})");
  ASSERT_TRUE(automatic.ok());
  EXPECT_TRUE(automatic.value()->isAutomatic()) << "the id alone makes the automatic line";
  EXPECT_EQ(automatic.value()->name(), std::nullopt);

  auto nulls = LineItem::fromJsonText(R"({"id":null,"pingTime":null,"name":"n","extra":[1]})");
  ASSERT_TRUE(nulls.ok());
  EXPECT_EQ(parsed(nulls.value()->toJsonText()), parsed(R"({"name":"n"})"));

  auto both = LineItem::fromJsonText(R"({"ipaddr":"10.0.0.1","iPAddr":"10.0.0.2"})");
  ASSERT_TRUE(both.ok());
  EXPECT_EQ(both.value()->ipaddr(), "10.0.0.1");
  EXPECT_EQ(both.value()->iPAddr(), "10.0.0.2");
}

TEST(LineItemTest, AWrongTypeFailsTheRecord) {
  for (const char* text : {R"({"id":"5"})", R"({"isAlive":1})", R"({"port":80.5})",
                           R"({"name":7})", R"({"isFree":"false"})", R"([])", "null", "{"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(LineItem::fromJsonText(text).ok());
  }
  auto integral = LineItem::fromJsonText(R"({"port":443.0,"mtu":1.38e3})");
  ASSERT_TRUE(integral.ok());
  EXPECT_EQ(integral.value()->port(), 443);
  EXPECT_EQ(integral.value()->mtu(), 1380);
}

TEST(LineItemTest, EveryFieldSurvivesEncodeThenDecode) {
  const std::string full = R"({"load":3,"id":12,"name":"Tokyo 1","category":"c","ipaddr":"1.2.3.4",
    "proto":"SS","mode":"m","location":"JP","boostSession":"None","method":"aes-128-cfb",
    "password":"pw","server":"s.example","pingTime":25,"packetLoss":0,"port":8388,"mtu":1380,
    "encrypt":1,"username":"u","headerKey":"hk","gateway":"gw","token":"tk","net":"n",
    "host":"h","url":"https://u","detectPort":9000,"isAlive":true,"iPAddr":"5.6.7.8",
    "domain":"d.example","isFree":true})";
  auto line = LineItem::fromJsonText(full);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(parsed(line.value()->toJsonText()), parsed(full));
  EXPECT_EQ(parsed(line.value()->toJsonText()).size(), 29u);
  auto again = LineItem::fromJsonText(line.value()->toJsonText());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value()->toJsonText(), line.value()->toJsonText());
}

TEST(LineItemTest, UpdatesAreSeenWholeByConcurrentReaders) {
  // The session request fills several fields of a line in place while the
  // ping model and the cache read it: a reader must never see half an update.
  const auto line = LineItem::create();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (std::int64_t i = 0; !stop.load(); ++i) {
      line->update([i](LineItem::Fields& f) {
        f.server = std::to_string(i);
        f.host = std::to_string(i);
        f.port = i;
      });
    }
  });
  int torn = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto snapshot = line->fields();
    if (snapshot.server != snapshot.host) ++torn;
    const auto json = parsed(line->toJsonText());
    if (json.contains("server") &&
        (json["server"] != json["host"] ||
         json["server"].get<std::string>() != std::to_string(json["port"].get<std::int64_t>()))) {
      ++torn;
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace vandrel::core
