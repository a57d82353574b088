// The Qt alert presenter, driven the way a user answers it: the message box
// runs modally and a timer clicks, types or closes it with QTest.

#include "app/qt_alert_presenter.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connection/alert_helpers.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::app {
namespace {

using connection::AlertContent;

// What the box showed when the answer was given.
struct Seen {
  QString text;
  QString informativeText;
  std::vector<QString> buttons;
  Qt::TextFormat textFormat = Qt::AutoText;
  Qt::TextFormat informativeFormat = Qt::AutoText;
  QString defaultButton;
  int width = 0;
  int informativeLines = 0;
  // The buttons from left to right.
  std::vector<QString> shownOrder;
};

// Waits (on a timer, inside the alert's own event loop) for the modal box,
// records it and runs `answer` on it. A box still up after the deadline is
// closed so that the test ends; `timedOut` says so.
class AlertDriver {
 public:
  explicit AlertDriver(std::function<void(QMessageBox&)> answer) : answer_(std::move(answer)) {
    started_ = std::chrono::steady_clock::now();
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
  }

  const std::optional<Seen>& seen() const { return seen_; }
  bool timedOut() const { return timedOut_; }

 private:
  void poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box != nullptr && !answered_ && box->isVisible()) {
      answered_ = true;
      Seen seen{box->text(), box->informativeText(), {}, box->textFormat(), Qt::AutoText, {}};
      QList<QAbstractButton*> buttons = box->buttons();
      for (QAbstractButton* button : buttons) seen.buttons.push_back(button->text());
      std::sort(buttons.begin(), buttons.end(), [](QAbstractButton* a, QAbstractButton* b) {
        return a->mapToGlobal(QPoint(0, 0)).x() < b->mapToGlobal(QPoint(0, 0)).x();
      });
      for (QAbstractButton* button : buttons) seen.shownOrder.push_back(button->text());
      seen.width = box->width();
      if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        seen.informativeFormat = label->textFormat();
        seen.informativeLines = label->height() / label->fontMetrics().lineSpacing();
      }
      if (box->defaultButton() != nullptr) seen.defaultButton = box->defaultButton()->text();
      seen_ = seen;
      answer_(*box);
      return;
    }
    if (std::chrono::steady_clock::now() - started_ > std::chrono::seconds(10)) {
      timedOut_ = true;
      timer_.stop();
      if (box != nullptr) box->done(QDialog::Rejected);
    }
  }

  std::function<void(QMessageBox&)> answer_;
  QTimer timer_;
  std::chrono::steady_clock::time_point started_;
  std::optional<Seen> seen_;
  bool answered_ = false;
  bool timedOut_ = false;
};

QAbstractButton* buttonTitled(QMessageBox& box, const QString& title) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == title) return button;
  }
  return nullptr;
}

void click(QMessageBox& box, const char* title) {
  QAbstractButton* button = buttonTitled(box, QString::fromUtf8(title));
  ASSERT_NE(button, nullptr) << title;
  QTest::mouseClick(button, Qt::LeftButton);
}

class AlertPresenterTest : public testing::Test {
 protected:

  // Runs the alert with `answer` and returns its response.
  std::int64_t run(const AlertContent& alert, std::function<void(QMessageBox&)> answer) {
    AlertDriver driver(std::move(answer));
    const std::int64_t response = presenter_.runModal(alert);
    EXPECT_FALSE(driver.timedOut()) << "the alert did not end by the answer";
    seen_ = driver.seen();
    return response;
  }

  QtAlertPresenter presenter_;
  std::optional<Seen> seen_;
};

const AlertContent kTwoButtons{"Upgrade Required", "Your account has expired", "Upgrade",
                               std::string("Not Now")};
const AlertContent kOneButton{"Notice", "Saved.", "OK", std::nullopt};

struct AnswerCase {
  const char* name;
  AlertContent alert;
  std::function<void(QMessageBox&)> answer;
  std::int64_t response;
};

TEST_F(AlertPresenterTest, EachWayOfEndingTheAlertGivesItsResponse) {
  const AnswerCase cases[] = {
      {"first button", kTwoButtons, [](QMessageBox& box) { click(box, "Upgrade"); }, 1000},
      {"second button", kTwoButtons, [](QMessageBox& box) { click(box, "Not Now"); }, 1001},
      {"return key", kTwoButtons, [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); },
       1000},
      // Escape is no button, also when a button could pass for "cancel".
      {"escape, two buttons", kTwoButtons,
       [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); },
       QtAlertPresenter::kAlertOtherReturn},
      {"escape, one button", kOneButton,
       [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); },
       QtAlertPresenter::kAlertOtherReturn},
      {"window closed", kOneButton, [](QMessageBox& box) { box.close(); },
       QtAlertPresenter::kAlertOtherReturn},
      {"only button", kOneButton, [](QMessageBox& box) { click(box, "OK"); }, 1000},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.alert, c.answer), c.response);
  }
}

TEST_F(AlertPresenterTest, ShowsTitleMessageAndButtonsInOrderWithTheFirstAsDefault) {
  run(kTwoButtons, [](QMessageBox& box) { click(box, "Upgrade"); });
  ASSERT_TRUE(seen_);
  EXPECT_EQ(seen_->text, QStringLiteral("Upgrade Required"));
  EXPECT_EQ(seen_->informativeText, QStringLiteral("Your account has expired"));
  EXPECT_EQ(seen_->buttons, (std::vector<QString>{"Upgrade", "Not Now"}));
  EXPECT_EQ(seen_->defaultButton, QStringLiteral("Upgrade"));

  run(kOneButton, [](QMessageBox& box) { click(box, "OK"); });
  ASSERT_TRUE(seen_);
  EXPECT_EQ(seen_->buttons, (std::vector<QString>{"OK"}));
}

TEST_F(AlertPresenterTest, TextsFromTheServiceAreShownAsPlainText) {
  const AlertContent markup{"<b>Attention</b>", "<a href=\"https://evil.example\">Renew</a>",
                            "OK", std::nullopt};
  run(markup, [](QMessageBox& box) { click(box, "OK"); });
  ASSERT_TRUE(seen_);
  EXPECT_EQ(seen_->text, QStringLiteral("<b>Attention</b>"));
  EXPECT_EQ(seen_->textFormat, Qt::PlainText);
  EXPECT_EQ(seen_->informativeFormat, Qt::PlainText);
}

// A short title and a sentence of a message: the box is wide enough for
// the message to read as lines, not as a thin column of words.
TEST_F(AlertPresenterTest, AnAlertIsWideEnoughForItsMessageToReadAsLines) {
  const AlertContent terms{
      "Terms Of Service",
      "We will NOT collect or store any user private data, please check Terms Of Service for "
      "details.",
      "Accept", std::string("Detail")};
  run(terms, [](QMessageBox& box) { click(box, "Accept"); });
  ASSERT_TRUE(seen_);
  EXPECT_GE(seen_->width, 420);
  EXPECT_LE(seen_->informativeLines, 3);
}

// The whole road of an alert: the helper queues it on the main queue, the
// Qt box runs, and the pressed button's action runs; Escape runs none.
TEST_F(AlertPresenterTest, ShowAlertRunsTheActionOfThePressedButtonOnly) {
  platform::NotificationCenter notifications;
  connection::AlertHelpers alerts(presenter_, notifications, {}, platform::mainQueue());
  struct Step {
    const char* name;
    std::function<void(QMessageBox&)> answer;
    int first;
    int second;
  };
  const Step steps[] = {
      {"second", [](QMessageBox& box) { click(box, "Not Now"); }, 0, 1},
      {"first", [](QMessageBox& box) { click(box, "Upgrade"); }, 1, 0},
      {"escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, 0, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    int first = 0;
    int second = 0;
    alerts.showAlert("Upgrade Required", "Your account has expired", "Upgrade",
                     [&first] { ++first; }, std::string("Not Now"), [&second] { ++second; });
    AlertDriver driver(step.answer);
    platform::mainQueue().runPending();
    EXPECT_TRUE(driver.seen().has_value());
    EXPECT_FALSE(driver.timedOut());
    EXPECT_EQ(first, step.first);
    EXPECT_EQ(second, step.second);
  }
}

// ---- The crash kit's send prompt ---------------------------------------------------------

crash::FLTPermissionAlert sendPrompt(bool withAlwaysSend) {
  crash::FLTPermissionAlert alert;
  alert.title = "Unsent Crash Report";
  alert.message = "Would you like to send a report so that we can fix the problem?";
  alert.sendTitle = "Send";
  alert.cancelTitle = "Don't Send";
  if (withAlwaysSend) alert.alwaysSendTitle = "Always Send";
  return alert;
}

// Buttons in the kit's order (send, always send when titled, cancel), each
// answering by its place; leaving the box any other way sends nothing.
TEST(CrashReportPromptTest, ButtonsInTheKitsOrderAnswerByTheirPlace) {
  struct Case {
    const char* name;
    bool withAlwaysSend;
    std::function<void(QMessageBox&)> answer;
    long response;
  };
  const Case cases[] = {
      {"send", true, [](QMessageBox& box) { click(box, "Send"); }, 1000},
      {"always send", true, [](QMessageBox& box) { click(box, "Always Send"); }, 1001},
      {"cancel, third", true, [](QMessageBox& box) { click(box, "Don't Send"); }, 1002},
      {"cancel, second", false, [](QMessageBox& box) { click(box, "Don't Send"); }, 1001},
      {"escape", true, [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, 1002},
      {"closed", false, [](QMessageBox& box) { box.close(); }, 1001},
      {"return", true, [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AlertDriver driver(c.answer);
    EXPECT_EQ(presentCrashReportPrompt(sendPrompt(c.withAlwaysSend)), c.response);
    EXPECT_FALSE(driver.timedOut());
    ASSERT_TRUE(driver.seen());
    EXPECT_EQ(driver.seen()->text, QStringLiteral("Unsent Crash Report"));
    const std::vector<QString> buttons =
        c.withAlwaysSend ? std::vector<QString>{"Send", "Always Send", "Don't Send"}
                         : std::vector<QString>{"Send", "Don't Send"};
    EXPECT_EQ(driver.seen()->buttons, buttons);
    EXPECT_EQ(driver.seen()->shownOrder, buttons);
  }
}

// What the application does at start: the kit then asks through the box.
TEST(CrashReportPromptTest, TheRegisteredPresenterIsTheQtBox) {
  crash::FLTRegisterPermissionAlertPresenter({});
  ASSERT_FALSE(crash::FLTRegisteredPermissionAlertPresenter());
  registerCrashReportPrompt();
  const crash::FLTPermissionAlertPresenter present = crash::FLTRegisteredPermissionAlertPresenter();
  ASSERT_TRUE(present);
  AlertDriver driver([](QMessageBox& box) { click(box, "Always Send"); });
  EXPECT_EQ(present(sendPrompt(true)), 1001);
  EXPECT_TRUE(driver.seen());
  crash::FLTRegisterPermissionAlertPresenter({});
}

}  // namespace
}  // namespace vandrel::app
