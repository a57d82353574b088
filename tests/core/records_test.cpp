// Decode/encode tables for the catalogue, goods, region and account records:
// the shared strict coding rules, required fields, lists and the fields'
// exact keys.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/account_records.h"
#include "core/catalogue_records.h"
#include "core/goods_records.h"
#include "core/region_records.h"
#include "platform/clock.h"
#include "platform/json.h"

namespace vandrel::core {
namespace {

// One decode of `input`; `expected` is the JSON that encoding the decoded
// record must give (compared as JSON values), or nullptr when the decode
// must fail.
struct CodingCase {
  const char* name;
  const char* input;
  const char* expected;
};

template <typename T>
void expectCodings(const std::vector<CodingCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = T::fromJsonText(c.input);
    if (c.expected == nullptr) {
      EXPECT_FALSE(decoded.ok()) << "decoded to " << decoded.value().toJsonText();
      continue;
    }
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    const std::string encoded = decoded.value().toJsonText();
    auto got = platform::parseJson(encoded);
    auto want = platform::parseJson(c.expected);
    ASSERT_TRUE(got.ok() && want.ok());
    EXPECT_EQ(got.value(), want.value()) << encoded;
    // What encoding wrote decodes to a record that encodes the same again.
    auto again = T::fromJsonText(encoded);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().toJsonText(), encoded);
  }
}

constexpr const char* kFails = nullptr;

TEST(RecordCodingTest, StaticDataModelFollowsTheSharedRules) {
  const char* full = R"({"pc_push_msg":"m","log_keyword":"a,b","is_enable_aliyun_log":true,
    "customer_support_num":"1","aliyun_log_interval":60,"pc_push_url":"u","appstore_address":"s",
    "mac_in_review_version":"1.0","messages":{"connected_msg":"c","disconnect_msg":"d",
    "server_unavaliable_msg":"x","mobile_binding_promote_msg":"b","mobile_register_promote_msg":"r"},
    "help_center_url":"h","home_url":"o","is_use_go":false,"customer_service_url":"v"})";
  expectCodings<StaticDataModel>({
      {"empty object", "{}", "{}"},
      {"every field", full, full},
      {"null on optional keys", R"({"log_keyword":null,"messages":null,"is_use_go":null})", "{}"},
      {"empty messages object", R"({"messages":{}})", R"({"messages":{}})"},
      {"boolean as a string", R"({"is_use_go":"true"})", kFails},
      {"boolean as a number", R"({"is_use_go":1})", kFails},
      {"integer as a string of digits", R"({"aliyun_log_interval":"60"})", kFails},
      {"integral float is an integer", R"({"aliyun_log_interval":5.0})",
       R"({"aliyun_log_interval":5})"},
      {"exponent form is an integer", R"({"aliyun_log_interval":1e3})",
       R"({"aliyun_log_interval":1000})"},
      {"fraction is not an integer", R"({"aliyun_log_interval":5.5})", kFails},
      {"beyond 64 signed bits", R"({"aliyun_log_interval":9223372036854775808})", kFails},
      {"text as a number", R"({"home_url":5})", kFails},
      {"nested record of the wrong type", R"({"messages":"hello"})", kFails},
      {"failure inside the nested record", R"({"messages":{"connected_msg":1}})", kFails},
      {"unknown keys are dropped", R"({"brand_new":1,"home_url":"o"})", R"({"home_url":"o"})"},
      {"misspelt key kept", R"({"messages":{"server_unavaliable_msg":"x"}})",
       R"({"messages":{"server_unavaliable_msg":"x"}})"},
      {"correct spelling is an unknown key", R"({"messages":{"server_unavailable_msg":"x"}})",
       R"({"messages":{}})"},
      {"array is not an object", "[]", kFails},
      {"null is not an object", "null", kFails},
      {"malformed text", R"({"home_url":)", kFails},
  });
}

TEST(RecordCodingTest, CatalogueListsAndNestedRecords) {
  expectCodings<CallCodeModel>({
      {"empty object", "{}", "{}"},
      {"element without calling_code",
       R"({"list":[{"country_name":"A","country_code":"AA"}],"code":0})",
       R"({"list":[{"country_name":"A","country_code":"AA"}],"code":0})"},
      {"element whose calling_code is a number", R"({"list":[{"calling_code":86}]})", kFails},
      {"one bad element voids the list", R"({"list":[{"calling_code":"+1"},{"calling_code":1}]})",
       kFails},
      {"null element", R"({"list":[null]})", kFails},
      {"empty list differs from absent", R"({"list":[]})", R"({"list":[]})"},
      {"list of the wrong type", R"({"list":{}})", kFails},
      {"default option", R"({"default_option":{"calling_code":"+86"}})",
       R"({"default_option":{"calling_code":"+86"}})"},
  });
  expectCodings<RuleModel>({
      {"empty object", "{}", "{}"},
      {"both rule lists",
       R"({"code":1,"status":"ok","version":"3","apps":{"directList":["a"],"rejectList":[],
         "proxyList":["p","q"]},"domains":{"proxyList":["x.com"]}})",
       R"({"code":1,"status":"ok","version":"3","apps":{"directList":["a"],"rejectList":[],
         "proxyList":["p","q"]},"domains":{"proxyList":["x.com"]}})"},
      {"null element in a text list", R"({"apps":{"directList":["a",null]}})", kFails},
      {"number element in a text list", R"({"domains":{"rejectList":[5]}})", kFails},
  });
  expectCodings<Domains>({{"null list", R"({"directList":null})", "{}"}});
  expectCodings<UrlSourceT>({
      {"links with status", R"({"status":"ok","code":0,"url":{"ad_1":"a","site_forget_password":"f"}})",
       R"({"status":"ok","code":0,"url":{"ad_1":"a","site_forget_password":"f"}})"},
      {"link of the wrong type", R"({"url":{"tv":true}})", kFails},
  });
}

TEST(RecordCodingTest, GoodsModelNeedsItsRequiredFields) {
  const char* plan = R"({"present_price":100,"regular_price":200,"service_days":30,"id":7,
    "type":"vip"})";
  const std::string withPlan = std::string(R"({"code":0,"goods":[)") + plan + "]}";
  expectCodings<GoodsModel>({
      {"only code", R"({"code":0})", R"({"code":0})"},
      {"empty object lacks code", "{}", kFails},
      {"null code", R"({"code":null})", kFails},
      {"code as a string", R"({"code":"0"})", kFails},
      {"integral float code", R"({"code":5.0})", R"({"code":5})"},
      {"plan with only its required fields", withPlan.c_str(), withPlan.c_str()},
      {"plan price as a string of digits",
       R"({"code":0,"goods":[{"present_price":"100","regular_price":200,"service_days":30,"id":7,
         "type":"vip"}]})",
       kFails},
      {"plan without type",
       R"({"code":0,"goods":[{"present_price":100,"regular_price":200,"service_days":30,"id":7}]})",
       kFails},
      {"plan with null id",
       R"({"code":0,"goods":[{"present_price":100,"regular_price":200,"service_days":30,"id":null,
         "type":"vip"}]})",
       kFails},
      {"plan details",
       R"({"code":0,"goods":[{"present_price":1,"regular_price":2,"service_days":3,"id":4,
         "type":"t","details":[{"icon_url":"i"},{}],"appStorePrice":"$1","currencyCode":"USD"}]})",
       R"({"code":0,"goods":[{"present_price":1,"regular_price":2,"service_days":3,"id":4,
         "type":"t","details":[{"icon_url":"i"},{}],"appStorePrice":"$1","currencyCode":"USD"}]})"},
      {"channel without open_link", R"({"code":0,"qr_payments":[{"pay_channel":"x"}]})", kFails},
      {"open_link as a number", R"({"code":0,"qr_payments":[{"open_link":1}]})", kFails},
      {"channel camelCase fields travel",
       R"({"code":0,"qr_payments":[{"open_link":true,"isLoading":true,
         "requestTime":9223372036854775807,"qrCodeURL":"q","chargesId":-3}]})",
       R"({"code":0,"qr_payments":[{"open_link":true,"isLoading":true,
         "requestTime":9223372036854775807,"qrCodeURL":"q","chargesId":-3}]})"},
      {"fractional requestTime", R"({"code":0,"qr_payments":[{"open_link":false,"requestTime":1.5}]})",
       kFails},
      {"empty lists differ from absent ones", R"({"code":0,"goods":[],"qr_payments":[],"payments":[]})",
       R"({"code":0,"goods":[],"qr_payments":[],"payments":[]})"},
      {"null payment", R"({"code":0,"payments":["card",null]})", kFails},
  });
}

TEST(RecordCodingTest, GoodsModelAlwaysWritesRequiredFields) {
  GoodsModel model;
  model.goods = std::vector<GoodsItem>{GoodsItem{}};
  model.qr_payments = std::vector<Qr_paymentsItem>{Qr_paymentsItem{}};
  auto encoded = platform::parseJson(model.toJsonText());
  ASSERT_TRUE(encoded.ok());
  auto want = platform::parseJson(R"({"code":0,"goods":[{"present_price":0,"regular_price":0,
    "service_days":0,"id":0,"type":""}],"qr_payments":[{"open_link":false}]})");
  EXPECT_EQ(encoded.value(), want.value());
}

TEST(RecordCodingTest, RegionRecordsCarryTheirLines) {
  expectCodings<RegionsModel>({
      {"empty object", "{}", "{}"},
      {"code as text", R"({"code":"5"})", kFails},
      {"null code", R"({"code":null,"status":"ok"})", R"({"status":"ok"})"},
      {"both region lists",
       R"({"regions":[{"name":"A","lines":[{"id":1}]}],"regionLines":[{"region":"r"}],"error":"e"})",
       R"({"regions":[{"name":"A","lines":[{"id":1}]}],"regionLines":[{"region":"r"}],"error":"e"})"},
      {"a bad line fails the whole list", R"({"regions":[{"lines":[{"id":1},{"id":"2"}]}]})",
       kFails},
      {"null region", R"({"regions":[null]})", kFails},
      {"null line", R"({"regions":[{"lines":[null]}]})", kFails},
      {"object where a list is expected", R"({"regions":{}})", kFails},
      {"a decoded empty line stays empty", R"({"regions":[{"lines":[{}]}]})",
       R"({"regions":[{"lines":[{}]}]})"},
  });
  expectCodings<RegionsItem>({
      {"empty object", "{}", "{}"},
      {"every field", R"({"icon":"i","name":"n","lines":[],"region":"r","iconUrl":"u"})",
       R"({"icon":"i","name":"n","lines":[],"region":"r","iconUrl":"u"})"},
  });
}

TEST(RecordCodingTest, AccountRecordsNeedTheEightRequiredKeys) {
  const char* required = R"({"remaining_days":3,"expired":false,"expire_at_time":1700000000,
    "user_id":42,"password_setup":true,"ads_free":false,"remaining_seconds":259200,"code":0})";
  expectCodings<MiscInfoModel>({
      {"only the eight required keys", required, required},
      {"expired as 0",
       R"({"remaining_days":3,"expired":0,"expire_at_time":1,"user_id":42,"password_setup":true,
         "ads_free":false,"remaining_seconds":1,"code":0})",
       kFails},
      {"user_id as a string of digits",
       R"({"remaining_days":3,"expired":false,"expire_at_time":1,"user_id":"42",
         "password_setup":true,"ads_free":false,"remaining_seconds":1,"code":0})",
       kFails},
      {"empty object", "{}", kFails},
  });
  // Each required key, missing or null, fails the record.
  for (const char* key : {"remaining_days", "expired", "expire_at_time", "user_id",
                          "password_setup", "ads_free", "remaining_seconds", "code"}) {
    SCOPED_TRACE(key);
    auto object = platform::parseJson(required).value();
    object.erase(key);
    EXPECT_FALSE(MiscInfoModel::fromJsonText(platform::dumpJson(object)).ok());
    object[key] = nullptr;
    EXPECT_FALSE(MiscInfoModel::fromJsonText(platform::dumpJson(object)).ok());
  }
  expectCodings<AccountModel>({
      {"empty object", "{}", "{}"},
      {"every field",
       R"({"account":"a","password":"p","email":"e","phone":"1","authType":"email","callCode":"+1"})",
       R"({"account":"a","password":"p","email":"e","phone":"1","authType":"email","callCode":"+1"})"},
      {"null fields", R"({"account":null,"password":null})", "{}"},
      {"number as text", R"({"phone":12345})", kFails},
  });
}

TEST(AccountRecordsTest, DisplayNamePrefersEmailThenCallingCodeAndPhone) {
  struct Case {
    const char* name;
    std::optional<std::string> email, phone, cc;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"email", "a@b.c", "12345", "+86", "a@b.c"},
      {"empty email falls through", "", "12345", "+86", "8612345"},
      {"every plus removed", std::nullopt, "5", "+1+2", "125"},
      {"no calling code", std::nullopt, "12345", std::nullopt, "未登录"},
      {"empty calling code", std::nullopt, "12345", "", "未登录"},
      {"empty phone", std::nullopt, "", "+86", "未登录"},
      {"nothing", std::nullopt, std::nullopt, std::nullopt, "未登录"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MiscInfoModel model;
    model.email = c.email;
    model.phone = c.phone;
    model.cc = c.cc;
    EXPECT_EQ(model.displayName(), c.expected);
  }
}

TEST(AccountRecordsTest, LoginAuthTypeWireTexts) {
  const std::vector<std::pair<LoginAuthType, std::string_view>> table = {
      {LoginAuthType::email, "email"},         {LoginAuthType::mobile, "mobile"},
      {LoginAuthType::qrCode, "qr_ticket"},    {LoginAuthType::mobileCode, "sms_code"},
      {LoginAuthType::username, "username"},
  };
  for (const auto& [type, text] : table) {
    EXPECT_EQ(wireText(type), text);
    EXPECT_EQ(loginAuthTypeFromWireText(text), type);
  }
  EXPECT_EQ(static_cast<int>(LoginAuthType::username), 4);
  EXPECT_EQ(loginAuthTypeFromWireText("qrCode"), std::nullopt);
  EXPECT_EQ(loginAuthTypeFromWireText("Email"), std::nullopt);
}

std::shared_ptr<LineItem> lineWith(std::optional<bool> alive, std::optional<std::int64_t> id) {
  LineItem::Fields fields;
  fields.isAlive = alive;
  fields.id = id;
  return LineItem::create(fields);
}

TEST(RegionsItemTest, AvailableLineIdsTakeAliveLinesInOrder) {
  RegionsItem region;
  EXPECT_EQ(region.availableLineIds(), std::nullopt) << "no lines";
  region.lines.emplace();
  EXPECT_EQ(region.availableLineIds(), std::nullopt) << "empty lines";
  region.lines = {lineWith(true, 7), lineWith(false, 8), lineWith(std::nullopt, 9),
                  lineWith(true, std::nullopt), lineWith(true, 7)};
  EXPECT_EQ(region.availableLineIds(), (std::vector<std::int64_t>{7, -1, 7}));
  region.lines = {lineWith(false, 1), lineWith(std::nullopt, 2)};
  EXPECT_EQ(region.availableLineIds(), std::nullopt) << "none alive gives no list";
}

TEST(RegionsItemTest, IdentifierIsNameThenRegionThenTheTime) {
  RegionsItem region;
  region.name = "";
  region.region = "r";
  EXPECT_EQ(region.identifier(), "") << "an empty name still wins";
  region.name.reset();
  EXPECT_EQ(region.identifier(), "r");
  region.region.reset();

  platform::ManualClock clock(platform::WallTime{} + std::chrono::microseconds(1700000000123700));
  EXPECT_EQ(region.identifier(clock), "server-1700000000124") << "rounded, not cut";
  clock.setWall(platform::WallTime{} + std::chrono::milliseconds(1700000000130));
  EXPECT_EQ(region.identifier(clock), "server-1700000000130") << "computed at every call";
  const std::string now = region.identifier();
  EXPECT_EQ(now.size(), std::string("server-").size() + 13);
}

TEST(RegionsItemTest, CopiesShareTheirLineRecords) {
  auto decoded = RegionsItem::fromJsonText(R"({"name":"A","lines":[{"id":1,"isAlive":false}]})");
  ASSERT_TRUE(decoded.ok());
  const RegionsItem copy = decoded.value();
  (*decoded.value().lines)[0]->setIsAlive(true);
  EXPECT_EQ((*copy.lines)[0]->isAlive(), true);
  EXPECT_EQ(copy.availableLineIds(), (std::vector<std::int64_t>{1}));
}

}  // namespace
}  // namespace vandrel::core
