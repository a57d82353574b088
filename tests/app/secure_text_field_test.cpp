// The secure text field: clear and obscured text, the toggle button and the
// room its text leaves for it.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QTest>

#include "app/secure_text_field.h"

namespace vandrel::app {
namespace {

using Cell = DSFSecureTextField::Cell;

class SecureTextFieldTest : public ::testing::Test {
 protected:

  void SetUp() override {
    field_.resize(300, 60);
    field_.setText("abc");
    field_.show();
  }

  int buttonCount() {
    return static_cast<int>(
        field_.findChildren<DSFPasswordButton*>(QString(), Qt::FindDirectChildrenOnly).size());
  }

  DSFSecureTextField field_;
};

TEST_F(SecureTextFieldTest, TogglingVisibilityKeepsTheTextAndEverythingSetOnTheField) {
  field_.setPlaceholderText("Password");
  QFont font = field_.font();
  font.setPointSizeF(14.0);
  field_.setFont(font);
  field_.setFrame(false);

  field_.setPasswordIsVisible(true);
  EXPECT_EQ(field_.cell(), Cell::DSFPlainTextFieldCell);
  EXPECT_EQ(field_.displayText(), "abc");

  field_.setPasswordIsVisible(false);
  EXPECT_EQ(field_.cell(), Cell::DSFPasswordTextFieldCell);
  EXPECT_EQ(field_.text(), "abc");
  EXPECT_NE(field_.displayText(), "abc") << "obscured text must not show";
  EXPECT_EQ(field_.displayText().size(), 3);

  EXPECT_EQ(field_.placeholderText(), "Password");
  EXPECT_EQ(field_.font().pointSizeF(), 14.0);
  EXPECT_FALSE(field_.hasFrame());
  EXPECT_EQ(field_.palette().color(QPalette::Text), QColor(Qt::white));
}

TEST_F(SecureTextFieldTest, TheTwoFlagsChooseTheCellAndWhetherTheButtonExists) {
  struct Case {
    bool displayToggleButton;
    bool passwordIsVisible;
    Cell cell;
    bool clearText;
    bool button;  // with showSecureButton true
  };
  const Case cases[] = {
      {true, true, Cell::DSFPlainTextFieldCell, true, true},
      {true, false, Cell::DSFPasswordTextFieldCell, false, true},
      {false, true, Cell::PlainTextFieldCell, true, false},
      {false, false, Cell::SecureTextFieldCell, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "display " << c.displayToggleButton << " visible " << c.passwordIsVisible);
    field_.setShowSecureButton(true);
    field_.setDisplayToggleButton(c.displayToggleButton);
    field_.setPasswordIsVisible(c.passwordIsVisible);
    EXPECT_EQ(field_.cell(), c.cell);
    EXPECT_EQ(field_.displayText() == "abc", c.clearText);
    EXPECT_EQ(field_.visibilityButton() != nullptr, c.button);
    EXPECT_EQ(buttonCount(), c.button ? 1 : 0);
    EXPECT_EQ(field_.text(), "abc");
  }
}

TEST_F(SecureTextFieldTest, TheButtonTogglesClearTextOnEachClick) {
  ASSERT_NE(field_.visibilityButton(), nullptr);
  EXPECT_FALSE(field_.passwordIsVisible());
  QTest::mouseClick(field_.visibilityButton(), Qt::LeftButton);
  EXPECT_TRUE(field_.passwordIsVisible());
  EXPECT_EQ(field_.displayText(), "abc");
  QTest::mouseClick(field_.visibilityButton(), Qt::LeftButton);
  EXPECT_FALSE(field_.passwordIsVisible());
  EXPECT_NE(field_.displayText(), "abc");

  // Made visible from code, the first click hides it again.
  field_.setPasswordIsVisible(true);
  QTest::mouseClick(field_.visibilityButton(), Qt::LeftButton);
  EXPECT_FALSE(field_.passwordIsVisible());
  // A button made while the text shows starts in step with it too.
  field_.setPasswordIsVisible(true);
  field_.setShowSecureButton(true);
  QTest::mouseClick(field_.visibilityButton(), Qt::LeftButton);
  EXPECT_FALSE(field_.passwordIsVisible());
}

TEST_F(SecureTextFieldTest, ShowingTheButtonTwiceLeavesOneAndHidingItLeavesNone) {
  field_.setShowSecureButton(true);
  field_.setShowSecureButton(true);
  EXPECT_EQ(buttonCount(), 1);
  ASSERT_NE(field_.visibilityButton(), nullptr);
  EXPECT_EQ(field_.visibilityButton()->parent(), &field_);

  field_.setShowSecureButton(false);
  EXPECT_EQ(buttonCount(), 0);
  EXPECT_EQ(field_.visibilityButton(), nullptr);
  EXPECT_EQ(field_.text(), "abc");
}

TEST_F(SecureTextFieldTest, TextKeepsClearOfTheButtonRoomOfOneAndAQuarterHeights) {
  field_.resize(300, 40);
  field_.setShowSecureButton(false);  // the room is kept without the button too
  const QRect withRoom = field_.textRect();
  field_.setDisplayToggleButton(false);
  const QRect fullWidth = field_.textRect();
  EXPECT_EQ(fullWidth.width() - withRoom.width(), 50);
  EXPECT_EQ(withRoom.left(), fullWidth.left());

  // The room follows the height.
  field_.setDisplayToggleButton(true);
  field_.resize(300, 60);
  field_.setDisplayToggleButton(false);
  const QRect taller = field_.textRect();
  field_.setDisplayToggleButton(true);
  EXPECT_EQ(taller.width() - field_.textRect().width(), 75);
}

TEST_F(SecureTextFieldTest, TheButtonSitsInsideTheRightEndSeventeenPointsFromTheEdges) {
  ASSERT_NE(field_.visibilityButton(), nullptr);
  const QRect button = field_.visibilityButton()->geometry();
  EXPECT_EQ(button.top(), 17);
  EXPECT_EQ(button.bottom() + 1, 60 - 17);
  EXPECT_EQ(button.right() + 1, 300 - 17);
  EXPECT_EQ(button.width(), button.height() - 2);
  // Inside the room the text leaves free.
  EXPECT_GT(button.left(), field_.textRect().right());
  EXPECT_FALSE(field_.visibilityButton()->toolTip().isEmpty());
}

}  // namespace
}  // namespace vandrel::app
