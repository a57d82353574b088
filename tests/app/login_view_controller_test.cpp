// The sign-in window against the HTTPS stand-in: the input checks, a
// successful and a refused sign-in, the loading state, the Return key, the
// button's look and the two links.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QTest>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/loading_dots_view.h"
#include "app/login_view_controller.h"
#include "app/secure_text_field.h"
#include "core/qv_network.h"
#include "tests/app/contrast.h"
#include "tests/core/account_fixture.h"

namespace vandrel::app {
namespace {

using namespace core::account_testing;

constexpr const char* kLoginPath = "/api/1/login";
constexpr const char* kRefused = R"({"status":"fail","code":10002,"error":"bad password"})";

class LoginViewControllerTest : public AccountTest {
 protected:

  void SetUp() override {
    AccountTest::SetUp();
    if (HasFatalFailure()) return;
    startFlows();
    window_ = std::make_unique<LoginViewController>(*session_, services());
    window_->show();
  }

  LoginViewController::Services services() {
    LoginViewController::Services services;
    services.showNotice = [this](std::string text) { notices_.push_back(std::move(text)); };
    services.openLink = [this](std::string url) { links_.push_back(std::move(url)); };
    services.clock = &clock_;
    return services;
  }

  void TearDown() override {
    window_.reset();
    AccountTest::TearDown();
  }

  void type(const QString& email, const QString& password) {
    window_->emailTextfield()->clear();
    window_->passwordTextfield()->clear();
    QTest::keyClicks(window_->emailTextfield(), email);
    // keyClicks sends one key per UTF-16 unit; setText keeps emoji whole.
    window_->passwordTextfield()->setText(password);
  }

  void clickSignIn() { QTest::mouseClick(window_->signInButton(), Qt::LeftButton); }

  void scriptSignIn() {
    standin_->replyTo(kLoginPath,
                      ScriptedReply{200, {{"Set-Cookie", "ABS_KRLWIFISS=tok; Path=/"}}, kOkReply});
    standin_->replyTo("/api/1/ip", 200, R"({"status":"ok","code":0,"ip":"1.2.3.4"})");
    standin_->replyTo("/api/1/app/links", 200, kOkReply);
    standin_->replyTo("/api/1/user/misc-info", 200, userInfoJson(42, false));
  }

  // What the window shows when no sign-in runs.
  void expectIdle() {
    EXPECT_FALSE(window_->isSigningIn());
    EXPECT_EQ(window_->signInButton()->text(), "Sign In");
    EXPECT_TRUE(window_->signInButton()->isEnabled());
    if (DotAnimationView* dots = window_->loadingView()) {
      EXPECT_FALSE(dots->isVisible());
    }
  }

  std::size_t loginRequests() { return standin_->requestsTo(kLoginPath).size(); }

  std::vector<std::string> notices_;
  std::vector<std::string> links_;
  std::unique_ptr<LoginViewController> window_;
};

TEST_F(LoginViewControllerTest, InputChecksShowTheirNoticeAndSendNothing) {
  const std::string checkEmail(kCheckEmailMessage);
  const std::string length(kPasswordLengthMessage);
  const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // one character, 2 units
  const QString accented = QString::fromUtf8("e\xCC\x81");      // one character, 2 units
  // "a@xxx...x.com", `length` characters long.
  auto address = [](int length) { return "a@" + QString(length - 6, 'x') + ".com"; };
  struct Case {
    const char* name;
    QString email;
    QString password;
    std::vector<std::string> notices;
  };
  const std::vector<Case> cases = {
      {"empty e-mail", "", "secret1", {}},
      {"empty password", "a@b.c", "", {}},
      {"no at sign", "someone.example.com", "secret1", {checkEmail}},
      {"no dot after the at sign", "someone.name@example", "secret1", {checkEmail}},
      // A password too short shows that the address passed its check.
      {"a second at sign with a later dot", "a@b@c.d", "five5", {length}},
      {"a dot right after the at sign", "a@.b", "five5", {length}},
      // The longest deliverable address, and one past it (checked before
      // the pattern, whose time on a long paste would freeze the window).
      {"an address of 254 characters", address(254), "five5", {length}},
      {"an address of 255 characters", address(255), "secret1", {checkEmail}},
      {"5 characters", "a@b.c", "12345", {length}},
      {"33 characters", "a@b.c", QString(33, 'x'), {length}},
      {"5 emoji (10 units)", "a@b.c", emoji.repeated(5), {length}},
      {"5 accented letters (10 code points)", "a@b.c", accented.repeated(5), {length}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    notices_.clear();
    type(c.email, c.password);
    clickSignIn();
    EXPECT_EQ(notices_, c.notices);
    expectIdle();
  }
  platform::mainQueue().runPending();
  EXPECT_EQ(loginRequests(), 0u);
}

TEST_F(LoginViewControllerTest, PasswordsOfSixToThirtyTwoCharactersAreSent) {
  standin_->replyTo(kLoginPath, 200, kRefused);
  const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
  const QString passwords[] = {"secre6", QString(32, 'y'), emoji.repeated(6)};
  for (const QString& password : passwords) {
    SCOPED_TRACE(password.toStdString());
    notices_.clear();
    standin_->clearLog();
    type("someone@example.invalid", password);
    clickSignIn();
    ASSERT_TRUE(pumpUntil([&] { return !notices_.empty(); }));
    const auto seen = standin_->requestsTo(kLoginPath);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].param("password"), password.toStdString());
  }
}

TEST_F(LoginViewControllerTest, SuccessClosesTheWindowAndTheSessionAnnouncesTheAccount) {
  scriptSignIn();
  type("someone@example.invalid", "secret1");
  clickSignIn();
  ASSERT_TRUE(pumpUntil([&] { return !window_->isVisible(); }));
  expectIdle();
  EXPECT_TRUE(notices_.empty());

  const auto seen = standin_->requestsTo(kLoginPath);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].param("username"), "someone@example.invalid");
  EXPECT_EQ(seen[0].param("password"), "secret1");
  EXPECT_EQ(seen[0].param("auth_by"), "username");
  EXPECT_EQ(seen[0].param("cc"), "");
  EXPECT_EQ(seen[0].param("sms_code"), "");

  // The rest of the application hears of it from the session.
  ASSERT_TRUE(pumpUntil([&] { return postedCount(core::kMiscInfoDidUpdateNotification) == 1; }));
  EXPECT_EQ(session_->loginCookie(), "ABS_KRLWIFISS=tok");
  ASSERT_TRUE(session_->model().has_value());
  EXPECT_EQ(session_->model()->user_id, 42);
  ASSERT_TRUE(drain());
}

TEST_F(LoginViewControllerTest, ARefusalShowsTheServiceMessageVerbatimAndKeepsTheWindow) {
  const std::string message = "<b>Wrong</b> password & e-mail\n\nTry again";
  standin_->replyTo(
      kLoginPath, 200,
      R"({"status":"fail","code":10002,"error":"<b>Wrong</b> password & e-mail\n\nTry again"})");
  type("someone@example.invalid", "secret1");
  clickSignIn();
  ASSERT_TRUE(pumpUntil([&] { return !notices_.empty(); }));
  EXPECT_EQ(notices_, std::vector<std::string>{message});
  EXPECT_TRUE(window_->isVisible());
  EXPECT_EQ(window_->emailTextfield()->text(), "someone@example.invalid");
  EXPECT_EQ(window_->passwordTextfield()->text(), "secret1");
  expectIdle();
  EXPECT_TRUE(window_->signInButton()->showsImage()) << "both fields hold text";
  EXPECT_EQ(window_->signInButton()->titleColor(), QColor(Qt::white));

  // A later attempt reuses the same dots.
  DotAnimationView* dots = window_->loadingView();
  ASSERT_NE(dots, nullptr);
  notices_.clear();
  standin_->replyTo(kLoginPath, 200, kRefused);
  clickSignIn();
  EXPECT_EQ(window_->loadingView(), dots);
  ASSERT_TRUE(pumpUntil([&] { return !notices_.empty(); }));
  EXPECT_EQ(notices_, std::vector<std::string>{"bad password"});
  EXPECT_EQ(loginRequests(), 2u);
}

TEST_F(LoginViewControllerTest, WhileSigningInTheDotsShowInTheButtonAndInputIsIgnored) {
  standin_->replyTo(kLoginPath, ScriptedReply{200, {}, kOkReply, std::chrono::seconds(10)});
  type("someone@example.invalid", "secret1");
  clickSignIn();
  ASSERT_TRUE(standin_->waitForRequest(kLoginPath, 5s));

  ASSERT_TRUE(window_->isSigningIn());
  DotAnimationView* dots = window_->loadingView();
  ASSERT_NE(dots, nullptr);
  EXPECT_EQ(dots->parentWidget(), window_->signInButton());
  EXPECT_TRUE(dots->isVisible());
  EXPECT_EQ(dots->geometry(), window_->signInButton()->rect());
  EXPECT_TRUE(window_->signInButton()->text().isEmpty());
  // Still enabled: the click below reaches the window, which ignores it.
  EXPECT_TRUE(window_->signInButton()->isEnabled());
  clock_.advance(1500ms);
  EXPECT_DOUBLE_EQ(dots->dotAlpha(2), 1.0) << "the dots run on the window's clock";

  // A click, Return in the password field, or a direct call start nothing.
  clickSignIn();
  QTest::keyClick(window_->passwordTextfield(), Qt::Key_Return);
  window_->signIn();
  platform::mainQueue().runPending();
  EXPECT_EQ(loginRequests(), 1u);
  EXPECT_TRUE(notices_.empty());

  // Whatever the outcome, the dots leave and the button comes back.
  network_->cancelAllTasks();
  ASSERT_TRUE(pumpUntil([&] { return !notices_.empty(); }));
  expectIdle();
  EXPECT_EQ(dots->parentWidget(), nullptr);
  EXPECT_FALSE(dots->isAnimating());
  // A sign-in the ignored input had started would still be under way or
  // end in a second notice.
  ASSERT_TRUE(drain());
  EXPECT_EQ(notices_, std::vector<std::string>{std::string(core::kCancelledMessage)});
  const auto sent = sentPaths();
  EXPECT_EQ(std::count_if(
                sent.begin(), sent.end(),
                [](const std::string& path) { return path.find("login") != std::string::npos; }),
            1);
  EXPECT_EQ(loginRequests(), 1u);
}

TEST_F(LoginViewControllerTest, OnlyReturnInThePasswordFieldSignsIn) {
  type("not-an-address", "secret1");  // any sign-in ends in a notice
  QTest::keyClick(window_->emailTextfield(), Qt::Key_Return);
  QTest::keyClick(window_->passwordTextfield(), Qt::Key_Tab);
  QTest::keyClick(window_->passwordTextfield(), Qt::Key_Backtab);
  EXPECT_TRUE(notices_.empty());
  QTest::keyClick(window_->passwordTextfield(), Qt::Key_Return);
  EXPECT_EQ(notices_, std::vector<std::string>{std::string(kCheckEmailMessage)});
}

TEST_F(LoginViewControllerTest, TheButtonLooksEnabledOnlyWithBothFieldsFilledYetTakesClicks) {
  SignInButton* button = window_->signInButton();
  const QColor darkGray(85, 85, 85);
  EXPECT_FALSE(button->showsImage());
  EXPECT_TRUE(button->showsBorder());
  EXPECT_EQ(button->titleColor(), darkGray);

  QTest::keyClicks(window_->emailTextfield(), "a@b.c");
  EXPECT_FALSE(button->showsImage()) << "one field is not enough";
  QTest::keyClicks(window_->passwordTextfield(), "s");
  EXPECT_TRUE(button->showsImage());
  EXPECT_EQ(button->titleColor(), QColor(Qt::white));
  EXPECT_TRUE(button->showsBorder()) << "the disabled look's border stays";
  EXPECT_EQ(button->text(), "Sign In");

  QTest::keyClick(window_->passwordTextfield(), Qt::Key_Backspace);
  EXPECT_FALSE(button->showsImage());
  EXPECT_EQ(button->titleColor(), darkGray);
  // The look is only a look: the click is taken, and ends silently.
  EXPECT_TRUE(button->isEnabled());
  clickSignIn();
  EXPECT_TRUE(notices_.empty());
  EXPECT_FALSE(window_->isSigningIn());
}

TEST_F(LoginViewControllerTest, TheLinksOpenTheSessionsPaymentAndForgottenPasswordPages) {
  QTest::mouseClick(window_->signUpButton(), Qt::LeftButton);
  QTest::mouseClick(window_->forgotButton(), Qt::LeftButton);
  ASSERT_EQ(links_.size(), 2u);
  EXPECT_EQ(links_[0], core::MiscInfo::Links::defaults().payment);
  EXPECT_TRUE(links_[0].ends_with("/payment?source=mac")) << links_[0];
  EXPECT_EQ(links_[1], core::MiscInfo::Links::defaults().forget_password);
  EXPECT_TRUE(links_[1].ends_with("/sign/forget?source=mac")) << links_[1];

  core::MiscInfo::Links links = core::MiscInfo::Links::defaults();
  links.payment = "https://s.invalid/pay";
  links.forget_password = "https://s.invalid/forget";
  session_->setLinks(links);
  QTest::mouseClick(window_->signUpButton(), Qt::LeftButton);
  QTest::mouseClick(window_->forgotButton(), Qt::LeftButton);
  EXPECT_EQ(links_, (std::vector<std::string>{links_[0], links_[1], "https://s.invalid/pay",
                                              "https://s.invalid/forget"}));
}

// Lightest pixel of `area` in `image`, 0 to 255.
int maxLightness(const QImage& image, const QRect& area) {
  int lightest = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      lightest = std::max(lightest, image.pixelColor(x, y).lightness());
    }
  }
  return lightest;
}

TEST_F(LoginViewControllerTest, EachShowSetsUpTheFieldsAndTheirWhiteTextShowsOnTheDarkFace) {
  DSFSecureTextField* email = window_->emailTextfield();
  DSFSecureTextField* password = window_->passwordTextfield();
  // Changed behind the window's back; the next showing puts it right.
  password->setPasswordIsVisible(true);
  password->setShowSecureButton(true);
  email->setPlaceholderText("changed");
  window_->hide();
  window_->show();

  EXPECT_EQ(email->placeholderText(), "Email");
  EXPECT_EQ(password->placeholderText(), "Password");
  for (DSFSecureTextField* field : {email, password}) {
    EXPECT_EQ(field->palette().color(QPalette::PlaceholderText), QColor(85, 85, 85));
    EXPECT_EQ(field->font().pointSizeF(), 14.0);
  }
  EXPECT_EQ(window_->signInButton()->text(), "Sign In");
  EXPECT_EQ(email->visibilityButton(), nullptr);
  EXPECT_EQ(password->visibilityButton(), nullptr);

  type("someone@example.invalid", "secret1");
  EXPECT_EQ(email->displayText(), "someone@example.invalid") << "the address shows in clear";
  EXPECT_EQ(password->text(), "secret1");
  EXPECT_NE(password->displayText(), "secret1") << "the password must not show";

  // What was typed can be read: light text on a dark field, in both fields.
  const QImage shot = window_->grab().toImage();
  for (DSFSecureTextField* field : {email, password}) {
    SCOPED_TRACE(field->placeholderText().toStdString());
    const QPoint origin = field->mapTo(window_.get(), QPoint(0, 0));
    const QRect text = field->textRect().translated(origin);
    EXPECT_GT(maxLightness(shot, text), 200) << "no light text drawn";
    // The room kept clear at the right end shows the field's own face.
    const QPoint face = origin + QPoint(field->width() - 4, field->height() / 2);
    EXPECT_LT(shot.pixelColor(face).lightness(), 100) << "the field is not dark";
  }
}

// A field shows where its text starts once the user has left it: an
// address or a password longer than the field must not lose its first
// characters off the left edge, where the user checks what they typed.
TEST_F(LoginViewControllerTest, AFieldTheUserLeftShowsTheStartOfItsText) {
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  struct Case {
    const char* name;
    DSFSecureTextField* field;
    DSFSecureTextField* next;
    QString text;
  };
  const Case cases[] = {
      {"e-mail", window_->emailTextfield(), window_->passwordTextfield(),
       "dorothea.vandermeulen-hartmann@mail.example.invalid"},
      {"password", window_->passwordTextfield(), window_->emailTextfield(),
       "correct horse battery staple 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QRect text = c.field->textRect();
    // What the start of the text looks like when it fits.
    c.field->setText(c.text.left(4));
    const QImage start = c.field->grab(text).toImage();

    c.field->clear();
    c.field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.field->hasFocus(); }, 5000));
    QTest::keyClicks(c.field, c.text);
    ASSERT_GT(c.field->fontMetrics().horizontalAdvance(c.field->displayText()), text.width())
        << "the text must be longer than the field for this case";
    c.next->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.next->hasFocus(); }, 5000));

    const QImage left = c.field->grab(text).toImage();
    const int firstCharacters = c.field->fontMetrics().horizontalAdvance(c.field->displayText().left(3));
    EXPECT_EQ(left.copy(0, 0, firstCharacters, left.height()),
              start.copy(0, 0, firstCharacters, start.height()))
        << "the field shows the middle or the end of its text";
    EXPECT_EQ(c.field->text(), c.text) << "the text itself stays whole";
  }
}

// The window's dark face carries its heading, the typed text, the enabled
// button's title and the two links. The placeholders and the disabled
// button's title are dark grey by design, and stay so.
TEST_F(LoginViewControllerTest, EveryTextOfTheWindowCanBeRead) {
  const QStringList exempt;
  EXPECT_TRUE(test_support::everythingReadable(*window_, {QStringLiteral("signInButton")}))
      << "empty fields";
  type("someone@example.invalid", "secret1");
  EXPECT_TRUE(test_support::everythingReadable(*window_, exempt)) << "both fields filled";
}

TEST_F(LoginViewControllerTest, PresentKeepsOneSignInWindowWhichIsDeletedWhenClosed) {
  QWidget mainWindow;
  mainWindow.setGeometry(100, 80, 600, 640);
  mainWindow.show();
  QPointer<LoginViewController> first =
      LoginViewController::present(&mainWindow, *session_, services());
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->isWindow());
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->parentWidget(), &mainWindow);
  // Centred to within the frame the platform draws round a window.
  EXPECT_LE((first->geometry().center() - mainWindow.geometry().center()).manhattanLength(), 6)
      << "shown over the main window";
  first->hide();
  EXPECT_EQ(LoginViewController::present(&mainWindow, *session_, services()), first.data());
  EXPECT_TRUE(first->isVisible()) << "brought back, not made again";

  // A successful sign-in closes it, and it goes away.
  scriptSignIn();
  first->emailTextfield()->setText("someone@example.invalid");
  first->passwordTextfield()->setText("secret1");
  QTest::keyClick(first->passwordTextfield(), Qt::Key_Return);
  ASSERT_TRUE(pumpUntil([&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return first.isNull();
  }));
  EXPECT_TRUE(notices_.empty());
  ASSERT_TRUE(drain());

  QPointer<LoginViewController> second =
      LoginViewController::present(&mainWindow, *session_, services());
  ASSERT_NE(second, nullptr);
  second->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(second.isNull());
}

TEST_F(LoginViewControllerTest, AWindowClosedDuringASignInHearsNothingOfIt) {
  standin_->replyTo(kLoginPath, ScriptedReply{200, {}, kRefused, std::chrono::seconds(10)});
  type("someone@example.invalid", "secret1");
  clickSignIn();
  ASSERT_TRUE(standin_->waitForRequest(kLoginPath, 5s));
  window_.reset();
  network_->cancelAllTasks();
  ASSERT_TRUE(drain());
  platform::mainQueue().runPending();
  EXPECT_TRUE(notices_.empty());
}

}  // namespace
}  // namespace vandrel::app
