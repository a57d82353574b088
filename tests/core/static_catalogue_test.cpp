// The static catalogue: what it restores, the calling code it picks, its
// start-up fetches and their replies, the static-data throttle and the
// terms flag.

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "core/model_cache.h"
#include "tests/core/account_fixture.h"

namespace vandrel::core {
namespace {

using namespace account_testing;

constexpr const char* kGoodsReply =
    R"({"status":"ok","code":0,"goods":[{"present_price":1,"regular_price":2,"service_days":30,)"
    R"("id":9,"type":"yearly"}],"payments":["card"]})";
constexpr const char* kStaticDataReply =
    R"({"status":"ok","code":0,"log_keyword":"alpha,beta","help_center_url":"https://h.invalid"})";
constexpr const char* kNoNotifications = R"({"status":"ok","code":0,"notifications":[]})";

CallCodeItem callCodeItem(std::optional<std::string> code, std::string name = "x") {
  return CallCodeItem{.country_name = std::move(name), .country_code = "XX", .calling_code = code};
}

class StaticCatalogueTest : public AccountTest {
 protected:
  void SetUp() override {
    AccountTest::SetUp();
    if (HasFatalFailure()) return;
    startFlows();
    standin_->replyTo("/api/1/goods", 200, kGoodsReply);
    standin_->replyTo("/api/1/app/notifications", 200, kNoNotifications);
    standin_->replyTo("/api/1/app/static-data", 200, kStaticDataReply);
  }

  // A catalogue whose fetches go through the fixture's transport. Kept
  // until the end of the test, after the transport has settled.
  StaticData& makeCatalogue(std::optional<AccountModel> typed = std::nullopt,
                            bool withNetwork = true,
                            std::function<qv_Network&()> network = nullptr) {
    StaticData::CatalogueSetup setup;
    setup.clock = &clock_;
    setup.notifications = &notifications_;
    setup.inputAccountInfo = std::move(typed);
    if (network) {
      setup.network = std::move(network);
    } else if (withNetwork) {
      setup.network = [this]() -> qv_Network& { return *network_; };
    }
    catalogues_.push_back(std::make_unique<StaticData>(std::vector<ApiHost>{hostOf(*standin_)},
                                                       defaults_, nullptr, std::move(setup)));
    return *catalogues_.back();
  }

  // Starts `catalogue` and waits until its three fetches have been answered
  // and applied.
  void startAndSettle(StaticData& catalogue) {
    const std::size_t before = standin_->requestsTo("/api/1/app/static-data").size();
    catalogue.start();
    ASSERT_TRUE(standin_->waitForRequest("/api/1/goods", 5s));
    ASSERT_TRUE(standin_->waitForRequest("/api/1/app/notifications", 5s));
    ASSERT_TRUE(standin_->waitForRequest("/api/1/app/static-data", 5s, before + 1));
    ASSERT_TRUE(pumpUntil([&] { return catalogue.pendingWorkCount() == 0; }));
    ASSERT_TRUE(drain()) << "requests the replies started";
  }

  void TearDown() override {
    for (const auto& catalogue : catalogues_) {
      EXPECT_TRUE(pumpUntil([&] { return catalogue->pendingWorkCount() == 0; }))
          << "catalogue fetches still running at the end of the test";
    }
    AccountTest::TearDown();
  }

  std::size_t readRequests() {
    std::size_t reads = 0;
    for (const auto& request : standin_->requests()) reads += request.path.ends_with("/read");
    return reads;
  }

  std::vector<std::unique_ptr<StaticData>> catalogues_;
};

TEST_F(StaticCatalogueTest, RestoresTheCacheAndTheTermsFlagWithCreationTimestamps) {
  StaticDataModel info;
  info.help_center_url = "https://h.invalid";
  saveModel(info, kStaticModelCacheEntry);
  UrlSourceT links;
  links.code = 3;
  saveModel(links, kUrlSourceCacheEntry);
  RuleModel first;
  first.version = "1";
  saveModel(first, kCnListCacheEntry);
  RuleModel second;
  second.version = "2";
  saveModel(second, kBlackCnCacheEntry);
  GoodsModel goods;
  goods.payments = std::vector<std::string>{"card"};
  saveModel(goods, kGoodsModelCacheEntry);
  defaults_.set(kStaticModelTermsKey, true);

  StaticData& catalogue = makeCatalogue(std::nullopt, false);
  EXPECT_EQ(catalogue.staticDataInfo()->toJsonText(), info.toJsonText());
  EXPECT_EQ(catalogue.urlSource()->toJsonText(), links.toJsonText());
  EXPECT_EQ(catalogue.cnList()->version, "1");
  EXPECT_EQ(catalogue.blackCn()->version, "2");
  EXPECT_EQ(catalogue.goodsModel()->toJsonText(), goods.toJsonText());
  EXPECT_FALSE(catalogue.callCode().has_value());
  EXPECT_TRUE(catalogue.isAgreeTerms());
  for (std::int64_t stamp : {catalogue.lastGoodsUpdate(), catalogue.lastStaticDataUpdate(),
                             catalogue.lastNotificationUpdate(), catalogue.lastRulesUpdate(),
                             catalogue.lastLinksUpdate()}) {
    EXPECT_EQ(stamp, 1700000123);
  }
  EXPECT_FALSE(catalogue.refreshStaticData(0)) << "no transport: nothing to fetch with";
}

TEST_F(StaticCatalogueTest, CallingCodeIsTheFirstItemContainingTheTypedOne) {
  struct Case {
    const char* name;
    std::optional<std::string> typed;
    std::optional<CallCodeModel> cached;
    std::string expected;
  };
  CallCodeModel codes;
  codes.list = std::vector<CallCodeItem>{callCodeItem("+886"), callCodeItem(std::nullopt),
                                         callCodeItem("+86")};
  codes.default_option = callCodeItem("+1", "default");
  CallCodeModel withoutDefault = codes;
  withoutDefault.default_option.reset();
  CallCodeModel withoutList = codes;
  withoutList.list.reset();
  const std::string builtIn = R"({"country_name":"中国","country_code":"CN","calling_code":"+86"})";
  const std::vector<Case> cases = {
      {"substring of an earlier item", "86", codes, callCodeItem("+886").toJsonText()},
      {"exact item", "+86", codes, callCodeItem("+86").toJsonText()},
      {"no match", "44", codes, codes.default_option->toJsonText()},
      {"typed code empty", "", codes, codes.default_option->toJsonText()},
      {"no typed code", std::nullopt, codes, codes.default_option->toJsonText()},
      {"no list", "86", withoutList, codes.default_option->toJsonText()},
      {"no match and no default", "44", withoutDefault, builtIn},
      {"nothing cached", "86", std::nullopt, builtIn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove(modelCachePath(kCallingCodeCacheEntry), ignored);
    if (c.cached) saveModel(*c.cached, kCallingCodeCacheEntry);
    AccountModel typed;
    typed.callCode = c.typed;
    StaticData& catalogue = makeCatalogue(typed, false);
    ASSERT_TRUE(catalogue.currentCallCode().has_value());
    EXPECT_EQ(catalogue.currentCallCode()->toJsonText(), c.expected);
    EXPECT_EQ(catalogue.callCode().has_value(), c.cached.has_value());
  }
  EXPECT_EQ(makeCatalogue(std::nullopt, false).currentCallCode()->toJsonText(), builtIn)
      << "no typed account at all";
}

TEST_F(StaticCatalogueTest, StartUpFetchesEachOnceAndAnnouncesTheGoods) {
  StaticData& catalogue = makeCatalogue();
  bool goodsInPlaceWhenPosted = false;
  notifications_.addObserver(std::string(kGoodsInfoUpdateNotification), nullptr, std::nullopt,
                             [&](const platform::Notification&) {
                               goodsInPlaceWhenPosted =
                                   catalogue.goodsModel().has_value() &&
                                   loadModel<GoodsModel>(kGoodsModelCacheEntry).has_value();
                             });
  clock_.advance(5s);
  startAndSettle(catalogue);

  const auto goods = standin_->requestsTo("/api/1/goods");
  ASSERT_EQ(goods.size(), 1u);
  EXPECT_EQ(goods[0].method, "GET");
  EXPECT_EQ(goods[0].param("type"), "boost_service");
  EXPECT_EQ(goods[0].param("plan"), "yearly,monthly");
  const auto notices = standin_->requestsTo("/api/1/app/notifications");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].param("type"), "user_message");
  EXPECT_EQ(notices[0].param("unread"), "true");
  const auto staticData = standin_->requestsTo("/api/1/app/static-data");
  ASSERT_EQ(staticData.size(), 1u);
  EXPECT_EQ(staticData[0].method, "POST");

  EXPECT_EQ(postedCount(kGoodsInfoUpdateNotification), 1u);
  EXPECT_TRUE(goodsInPlaceWhenPosted);
  ASSERT_TRUE(catalogue.goodsModel().has_value());
  EXPECT_EQ(catalogue.goodsModel()->goods->at(0).id, 9);
  EXPECT_EQ(catalogue.lastGoodsUpdate(), 1700000128);
  ASSERT_TRUE(catalogue.staticDataInfo().has_value());
  EXPECT_EQ(catalogue.staticDataInfo()->log_keyword, "alpha,beta");
  EXPECT_EQ(loadModel<StaticDataModel>(kStaticModelCacheEntry)->log_keyword, "alpha,beta");
  EXPECT_EQ(catalogue.lastStaticDataUpdate(), 1700000128);
  EXPECT_EQ(catalogue.lastNotificationUpdate(), 1700000123) << "an empty list changes nothing";
}

TEST_F(StaticCatalogueTest, CountsItsFetchesUntilTheirRepliesAreApplied) {
  // The start-up job is held before it asks for the transport: no request
  // is in flight, yet the catalogue's work is not done.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  StaticData& catalogue = makeCatalogue(std::nullopt, true, [this, released]() -> qv_Network& {
    released.wait();
    return *network_;
  });
  clock_.advance(5s);
  catalogue.start();
  EXPECT_TRUE(drain());
  EXPECT_GT(catalogue.pendingWorkCount(), 0);
  EXPECT_FALSE(catalogue.goodsModel().has_value());
  release.set_value();

  ASSERT_TRUE(pumpUntil([&] { return catalogue.pendingWorkCount() == 0; }));
  EXPECT_TRUE(catalogue.goodsModel().has_value()) << "applied before the count ends";
  EXPECT_EQ(catalogue.lastStaticDataUpdate(), 1700000128);
  EXPECT_EQ(postedCount(kGoodsInfoUpdateNotification), 1u);
}

TEST_F(StaticCatalogueTest, RepliesThatDoNotDecodeChangeNothing) {
  standin_->replyTo("/api/1/goods", 200, R"({"status":"ok","code":"0"})");
  standin_->replyTo("/api/1/app/static-data", 200, R"({"status":"fail","code":4})");
  StaticData& catalogue = makeCatalogue();
  clock_.advance(5s);
  startAndSettle(catalogue);
  EXPECT_FALSE(catalogue.goodsModel().has_value());
  EXPECT_FALSE(catalogue.staticDataInfo().has_value());
  EXPECT_EQ(catalogue.lastGoodsUpdate(), 1700000123);
  EXPECT_EQ(catalogue.lastStaticDataUpdate(), 1700000123);
  EXPECT_EQ(postedCount(kGoodsInfoUpdateNotification), 0u);
  EXPECT_FALSE(fs::exists(modelCachePath(kGoodsModelCacheEntry)));
}

TEST_F(StaticCatalogueTest, StaticDataRefreshWaitsForItsInterval) {
  StaticData& catalogue = makeCatalogue();
  const auto fetched = [&] { return standin_->requestsTo("/api/1/app/static-data").size(); };
  EXPECT_FALSE(catalogue.refreshStaticData(3600)) << "the creation counts as the last fetch";
  clock_.advance(10s);
  EXPECT_FALSE(catalogue.refreshStaticData(3600));
  clock_.advance(3590s);
  EXPECT_TRUE(catalogue.refreshStaticData(3600)) << "exactly the interval is due";
  EXPECT_TRUE(catalogue.refreshStaticData(0));
  EXPECT_TRUE(catalogue.refreshStaticData(-1));
  ASSERT_TRUE(pumpUntil([&] { return catalogue.pendingWorkCount() == 0; }));
  EXPECT_EQ(catalogue.lastStaticDataUpdate(), 1700000123 + 3600);

  clock_.advance(10s);
  EXPECT_FALSE(catalogue.refreshStaticData(3600)) << "a decoded reply restarts the count";
  clock_.advance(3590s);
  EXPECT_TRUE(catalogue.refreshStaticData(3600));
  ASSERT_TRUE(pumpUntil([&] { return catalogue.pendingWorkCount() == 0; }));
  EXPECT_EQ(fetched(), 4u);
}

TEST_F(StaticCatalogueTest, OnlyACompleteFirstNotificationIsMarkedRead) {
  struct Case {
    const char* name;
    std::string reply;
    bool stamps;
    bool reads;
  };
  const std::vector<Case> cases = {
      {"empty list", kNoNotifications, false, false},
      {"no list", R"({"status":"ok","code":0})", false, false},
      {"not a list", R"({"status":"ok","code":0,"notifications":{"id":1}})", false, false},
      {"first entry not an object", R"({"status":"ok","code":0,"notifications":[1]})", false,
       false},
      {"failed reply",
       R"({"status":"fail","code":5,"notifications":[{"id":1,"title":"t","content":"c"}]})", false,
       false},
      {"first entry without content",
       R"({"status":"ok","code":0,"notifications":[{"id":1,"title":"t"}]})", true, false},
      {"id as text",
       R"({"status":"ok","code":0,"notifications":[{"id":"7","title":"t","content":"c"}]})", true,
       false},
      {"complete first entry",
       R"({"status":"ok","code":0,"notifications":[{"id":7,"title":"t","content":"c"},)"
       R"({"id":8,"title":"u","content":"d"}]})",
       true, true},
  };
  standin_->replyTo("/api/1/app/notifications/7/read", 200, kOkReply);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    standin_->replyTo("/api/1/app/notifications", 200, c.reply);
    StaticData& catalogue = makeCatalogue();
    const std::int64_t created = catalogue.lastNotificationUpdate();
    clock_.advance(1s);
    startAndSettle(catalogue);
    EXPECT_EQ(catalogue.lastNotificationUpdate(), c.stamps ? created + 1 : created);
    EXPECT_EQ(readRequests(), c.reads ? 1u : 0u);
    if (c.reads) {
      const auto read = standin_->requestsTo("/api/1/app/notifications/7/read");
      ASSERT_EQ(read.size(), 1u);
      EXPECT_EQ(read[0].method, "POST");
    }
  }
}

TEST_F(StaticCatalogueTest, TermsFlagSurvivesARestartAndNotAWipe) {
  platform::Defaults& standard = platform::Defaults::standard();
  const std::vector<ApiHost> hosts{hostOf(*standin_)};
  {
    StaticData first(hosts, standard, nullptr);
    EXPECT_FALSE(first.isAgreeTerms());
    first.setIsAgreeTerms(true);
    EXPECT_TRUE(first.isAgreeTerms());
  }
  {
    platform::Defaults reread(standard.path());
    EXPECT_EQ(reread.getBool(kStaticModelTermsKey), true) << "stored at once";
    StaticData second(hosts, reread, nullptr);
    EXPECT_TRUE(second.isAgreeTerms());
  }
  LogUtil::clearUserDataAndLog();
  platform::Defaults afterWipe(standard.path());
  StaticData third(hosts, afterWipe, nullptr);
  EXPECT_FALSE(third.isAgreeTerms());
}

}  // namespace
}  // namespace vandrel::core
