// The log window as a user sees it: the logger's displayed lines (real
// LogUtil in a temporary home) with "\r\n" pairs removed, new lines after a
// refresh with the last one in view, clear, save a copy, upload after a
// confirmation, and the environment switch of the allow-listed machines.

#include <gtest/gtest.h>

#include <QApplication>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/log_view.h"
#include "connection/alert_helpers.h"
#include "core/log_util.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using connection::AlertContent;
using connection::kAlertFirstButtonReturn;
using connection::kAlertSecondButtonReturn;
using core::LogUtil;

// Records every alert; ends it with the response given for its title, the
// first button when none was given.
class RecordingPresenter final : public connection::AlertPresenter {
 public:
  void answer(const std::string& title, std::int64_t response) {
    std::lock_guard lock(mutex_);
    responses_[title] = response;
  }
  void dismissProgressHUD() override {}
  std::int64_t runModal(const AlertContent& alert) override {
    std::lock_guard lock(mutex_);
    alerts_.push_back(alert);
    auto it = responses_.find(alert.title);
    return it == responses_.end() ? kAlertFirstButtonReturn : it->second;
  }
  std::vector<AlertContent> alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::int64_t> responses_;
  std::vector<AlertContent> alerts_;
};

using test_support::readFile;

class LogViewTest : public ::testing::Test {
 protected:

  void SetUp() override {
    platform::mainQueue().runPending();
    // The log file of this test's home, not one of an earlier test.
    LogUtil::closeLogFileHandle();
    LogUtil::displayedLines().clear();
  }

  void TearDown() override {
    view_.reset();
    platform::mainQueue().runPending();
    LogUtil::closeLogFileHandle();
    LogUtil::displayedLines().clear();
  }

  platform::Defaults& defaults() { return platform::Defaults::standard(); }

  LogView::Services services() {
    LogView::Services s;
    s.defaults = &defaults();
    s.alerts = &alerts_;
    s.udid = [this] { return udid_; };
    s.clearUserDataAndLog = [] { LogUtil::clearUserDataAndLog(); };
    s.uploadLogs = [this] {
      uploadRanOnMain_ = platform::isMainThread();
      ++uploads_;
    };
    s.logArchiveName = [] { return std::string("macOS-Vandrel-2026-12-10-0-9:41:00.log.zip"); };
    s.logFilePath = [] { return LogUtil::logFilePath(); };
    s.savePanel = [this](const LogView::SaveRequest& request,
                         std::function<void(std::optional<std::string>)> completion) {
      requests_.push_back(request);
      completion(saveTo_);
    };
    s.exitProcess = [this](int status) { exits_.push_back(status); };
    s.mainQueue = &platform::mainQueue();
    s.globalQueue = &platform::globalQueue();
    return s;
  }

  LogView& open() {
    view_ = std::make_unique<LogView>(services(), nullptr);
    view_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view_.get(), 5000));
    return *view_;
  }

  // The texts the table shows, top to bottom.
  std::vector<std::string> rows() const {
    std::vector<std::string> texts;
    QAbstractItemModel* model = view_->tableView()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
      texts.push_back(model->index(row, 0).data().toString().toStdString());
    }
    return texts;
  }

  bool lastRowInView() const {
    QListView* table = view_->tableView();
    QAbstractItemModel* model = table->model();
    const QRect last = table->visualRect(model->index(model->rowCount() - 1, 0));
    return table->viewport()->rect().contains(last);
  }

  // Logs through the real logger and lets its main-queue step run.
  static void logErrors(int first, int count) {
    for (int i = first; i < first + count; ++i) {
      LogUtil::logLine(2, "[ERROR]: line " + std::to_string(i));
    }
    platform::mainQueue().runPending();
  }

  static void click(QPushButton* button) {
    ASSERT_TRUE(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  }

  ::testing::AssertionResult waitForAlerts(std::size_t count) {
    if (platform::mainQueue().runUntil([&] { return presenter_.alerts().size() >= count; }, 10s)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "only " << presenter_.alerts().size() << " alerts";
  }

  test_support::TempHome home_;
  platform::NotificationCenter notifications_;
  RecordingPresenter presenter_;
  connection::AlertHelpers alerts_{presenter_, notifications_, {}, platform::mainQueue()};
  std::string udid_ = "unKnowUDID";
  std::atomic<int> uploads_{0};
  std::atomic<bool> uploadRanOnMain_{true};
  std::optional<std::string> saveTo_;
  std::vector<LogView::SaveRequest> requests_;
  std::vector<int> exits_;
  std::unique_ptr<LogView> view_;
};

TEST_F(LogViewTest, ShowsTheDisplayedLinesWithEveryLineBreakPairRemoved) {
  LogUtil::logLine(2, "[ERROR]: first");
  LogUtil::logLine(4, "[DEBUG]: not listed");
  platform::mainQueue().runPending();
  const std::pair<const char*, const char*> entries[] = {
      {"a\r\nb", "ab"},
      {"\r\n\r\n", ""},
      {"a\r\r\nb\r\n", "a\rb"},
      {"a\n\rb", "a\n\rb"},
  };
  for (const auto& [entry, shown] : entries) LogUtil::displayedLines().push_back(entry);

  open();
  const std::vector<std::string> shown = rows();
  ASSERT_EQ(shown.size(), 5u);
  EXPECT_NE(shown[0].find("[ERROR]: first"), std::string::npos) << shown[0];
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shown[i + 1], entries[i].second);
  }
}

// Each row is one line of text tall, whatever the first entry holds (the
// rows share one height), and nothing marks a row as current or selected:
// the log is read, not picked from.
TEST_F(LogViewTest, RowsAreOneLineTallAndNoneIsMarked) {
  LogUtil::displayedLines().push_back("[ERROR]: refused\n\nwrong password\nplease try again");
  LogUtil::displayedLines().push_back("");
  for (int i = 0; i < 5; ++i) LogUtil::displayedLines().push_back("[LOG]: line " + std::to_string(i));
  LogView& view = open();
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  QListView* table = view.tableView();
  table->setFocus();
  table->setCurrentIndex(table->model()->index(1, 0));
  ASSERT_TRUE(QTest::qWaitFor([&] { return table->hasFocus(); }, 5000));

  const int line = table->fontMetrics().lineSpacing();
  for (int row = 0; row < table->model()->rowCount(); ++row) {
    SCOPED_TRACE(row);
    const int height = table->visualRect(table->model()->index(row, 0)).height();
    EXPECT_GE(height, line);
    EXPECT_LE(height, line + 8) << "a row of one line of text is " << height << " tall";
  }

  // The current row holds no text: all of it is the window's black face.
  const QRect current = table->visualRect(table->model()->index(1, 0));
  const QImage shot = table->viewport()->grab(current).toImage();
  int marked = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      if (shot.pixelColor(x, y).lightness() > 16) ++marked;
    }
  }
  EXPECT_EQ(marked, 0) << "the current row is marked";
}

TEST_F(LogViewTest, OpensOnTheLastLineAndRefreshBringsNewLinesIntoView) {
  logErrors(0, 120);
  LogView& view = open();
  ASSERT_EQ(rows().size(), 120u);
  EXPECT_TRUE(lastRowInView());
  EXPECT_GT(view.tableView()->verticalScrollBar()->maximum(), 0);

  logErrors(120, 60);
  click(view.refreshButton());
  const std::vector<std::string> shown = rows();
  ASSERT_EQ(shown.size(), 180u);
  EXPECT_NE(shown.back().find("line 179"), std::string::npos) << shown.back();
  EXPECT_TRUE(lastRowInView());
}

TEST_F(LogViewTest, AnEmptyListShowsNoRowsAndRefreshScrollsNothing) {
  LogView& view = open();
  EXPECT_TRUE(rows().empty());
  click(view.refreshButton());
  EXPECT_TRUE(rows().empty());
  EXPECT_EQ(view.tableView()->verticalScrollBar()->value(), 0);
}

TEST_F(LogViewTest, ClearEmptiesTheListOnTheMainQueueAndLaterLinesStillShow) {
  logErrors(0, 3);
  LogView& view = open();
  click(view.clearLogButton());
  EXPECT_EQ(rows().size(), 3u);  // deferred to the main queue
  platform::mainQueue().runPending();
  EXPECT_TRUE(rows().empty());
  EXPECT_TRUE(LogUtil::displayedLines().empty());

  logErrors(3, 1);
  click(view.refreshButton());
  ASSERT_EQ(rows().size(), 1u);
  EXPECT_NE(rows()[0].find("line 3"), std::string::npos);
}

TEST_F(LogViewTest, UploadRunsOnlyAfterTheUserConfirms) {
  const AlertContent confirmation{"操作确认", "即将上报日志，点击确定继续。", "确定",
                                  std::string("取消")};
  LogView& view = open();
  presenter_.answer("操作确认", kAlertSecondButtonReturn);
  click(view.uploadLogButton());
  ASSERT_TRUE(waitForAlerts(1));
  platform::mainQueue().runPending();
  EXPECT_EQ(uploads_, 0);

  presenter_.answer("操作确认", kAlertFirstButtonReturn);
  click(view.uploadLogButton());
  ASSERT_TRUE(waitForAlerts(2));
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return uploads_ == 1; }, 10s));
  EXPECT_EQ(presenter_.alerts(), (std::vector<AlertContent>{confirmation, confirmation}));
}

TEST_F(LogViewTest, TheConfirmedUploadRunsOffTheGuiThread) {
  // It reads and compresses the whole log file: on the GUI thread a long
  // log would freeze every window meanwhile.
  LogView& view = open();
  click(view.uploadLogButton());
  ASSERT_TRUE(waitForAlerts(1));
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return uploads_ == 1; }, 10s));
  EXPECT_FALSE(uploadRanOnMain_.load());
}

TEST_F(LogViewTest, SaveCopiesTheLogFileAsItIsOrDoesNothingWhenCancelled) {
  logErrors(0, 2);
  const fs::path logFile = LogUtil::logFilePath();
  const std::string logText = readFile(logFile);
  ASSERT_NE(logText.find("line 1"), std::string::npos);
  LogView& view = open();

  click(view.outputLogButton());  // cancelled
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0].suggestedName, "macOS-Vandrel-2026-12-10-0-9:41:00.log.zip");
  EXPECT_EQ(requests_[0].message, "请选择日志存放目录");
  EXPECT_EQ(requests_[0].allowedExtension, "log");

  const fs::path copy = home_.root() / "saved.log";
  saveTo_ = copy.string();
  click(view.outputLogButton());
  EXPECT_EQ(readFile(copy), logText);
  EXPECT_TRUE(fs::exists(logFile));  // a copy: the log stays
}

TEST_F(LogViewTest, AFailedSaveIsLoggedAndShowsNothing) {
  LogView& view = open();
  saveTo_ = (home_.root() / "no such folder" / "saved.log").string();
  click(view.outputLogButton());
  platform::mainQueue().runPending();
  ASSERT_EQ(LogUtil::displayedLines().size(), 1u);
  EXPECT_NE(LogUtil::displayedLines()[0].find("[ERROR]: output log error: "), std::string::npos)
      << LogUtil::displayedLines()[0];
  EXPECT_TRUE(presenter_.alerts().empty());
}

TEST_F(LogViewTest, TheEnvironmentSwitchDoesNothingOutsideTheAllowList) {
  defaults().set("isAutoConnect", true);
  LogView& view = open();
  for (const char* udid : {"unKnowUDID", "C02TQ8", "vd7q2xk9"}) {
    SCOPED_TRACE(udid);
    udid_ = udid;
    click(view.switchVMButton());
    platform::mainQueue().runPending();
    EXPECT_TRUE(presenter_.alerts().empty());
    EXPECT_EQ(defaults().getBool("isAutoConnect"), true);
  }
}

TEST_F(LogViewTest, ConfirmedSwitchKeepsOnlyTheHelperMarkAndTheNewEnvironmentThenExits) {
  struct Case {
    const char* udid;
    std::optional<bool> stored;
    const char* from;
    const char* to;
    bool after;
  };
  const Case cases[] = {
      {"XXVD7Q2XK9YY", std::nullopt, "正式环境", "测试环境", true},
      {"C02TQ8M", true, "测试环境", "正式环境", false},
      {"ABFVFH3RL", false, "正式环境", "测试环境", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.udid);
    TearDown();
    SetUp();
    exits_.clear();
    defaults().removeAll();
    defaults().set("isAutoConnect", true);
    defaults().set("shouldTerminateAfterLastWindowClosed", std::int64_t{2});
    if (c.stored) defaults().set("qv_switchVMKey", *c.stored);
    udid_ = c.udid;
    LogView& view = open();
    const std::size_t before = presenter_.alerts().size();

    click(view.switchVMButton());
    ASSERT_TRUE(waitForAlerts(before + 2));
    const std::vector<AlertContent> alerts = presenter_.alerts();
    EXPECT_EQ(alerts[before], (AlertContent{std::string("当前为 ") + c.from + ", 是否切换为 " + c.to,
                                            "", "切换", std::string("取消")}));
    EXPECT_EQ(alerts[before + 1],
              (AlertContent{std::string("App 即将退出, 下次启动将切换为 ") + c.to, "", "OK", {}}));
    ASSERT_TRUE(platform::mainQueue().runUntil([&] { return !exits_.empty(); }, 10s));
    EXPECT_EQ(exits_, std::vector<int>{0});
    const platform::Value::Dictionary expected{{"qv_daemonVersionKey", std::int64_t{8}},
                                               {"qv_switchVMKey", c.after}};
    EXPECT_EQ(platform::Defaults(defaults().path()).dictionaryRepresentation(), expected);
  }
}

TEST_F(LogViewTest, CancellingTheSwitchChangesNothing) {
  defaults().set("isAutoConnect", true);
  udid_ = "VD7Q2XK9";
  presenter_.answer("当前为 正式环境, 是否切换为 测试环境", kAlertSecondButtonReturn);
  LogView& view = open();
  click(view.switchVMButton());
  ASSERT_TRUE(waitForAlerts(1));
  platform::mainQueue().runPending();
  EXPECT_EQ(presenter_.alerts().size(), 1u);
  EXPECT_TRUE(exits_.empty());
  EXPECT_EQ(defaults().getBool("isAutoConnect"), true);
  EXPECT_EQ(defaults().getBool("qv_switchVMKey"), std::nullopt);
}

}  // namespace
}  // namespace vandrel::app
