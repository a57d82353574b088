#include "app/qt_alert_presenter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QString>

#include "app/images.h"
#include "app/ui_helpers.h"

namespace vandrel::app {
namespace {

// A message box that Escape and the window's close button end without a
// button: a plain message box would click its only button (or its reject
// button) instead, and run that button's action.
class AlertBox final : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->matches(QKeySequence::Cancel)) {
      done(QDialog::Rejected);
      return;
    }
    QMessageBox::keyPressEvent(event);
  }
  void closeEvent(QCloseEvent* event) override {
    event->accept();
    done(QDialog::Rejected);
  }
};

QString text(const std::string& value) { return QString::fromStdString(value); }

// Narrower than this, a message wraps into a thin column and the window
// manager cuts the title down to a few letters.
constexpr int kMinimumAlertWidth = 420;

// A message box sizes itself to its texts; a spacer across its whole grid
// holds it at the minimum width.
void holdMinimumWidth(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  grid->addItem(new QSpacerItem(kMinimumAlertWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
}

void makePlain(QMessageBox& box, const char* labelName) {
  if (auto* label = box.findChild<QLabel*>(QString::fromLatin1(labelName))) {
    label->setTextFormat(Qt::PlainText);
  }
}

// The application's modal box with its name, its logo, and the title and
// message as plain text.
void showTitleAndMessage(QMessageBox& box, const std::string& title, const std::string& message) {
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(QStringLiteral("Vandrel"));
  box.setIconPixmap(appImage("logo"));
  box.setTextFormat(Qt::PlainText);
  box.setText(text(title));
  box.setInformativeText(text(message));
  // The informative label follows no text format of the box: it would take
  // a message that looks like markup as rich text.
  makePlain(box, "qt_msgbox_informativelabel");
}

}  // namespace

void QtAlertPresenter::dismissProgressHUD() { dismissProgressHUDNow(); }

std::int64_t QtAlertPresenter::runModal(const connection::AlertContent& alert) {
  AlertBox box(QApplication::activeWindow());
  showTitleAndMessage(box, alert.title, alert.message);

  QPushButton* first = box.addButton(text(alert.button1), QMessageBox::AcceptRole);
  QPushButton* second =
      alert.button2 ? box.addButton(text(*alert.button2), QMessageBox::RejectRole) : nullptr;
  box.setDefaultButton(first);
  holdMinimumWidth(box);

  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  if (clicked != nullptr && clicked == first) return connection::kAlertFirstButtonReturn;
  if (clicked != nullptr && clicked == second) return connection::kAlertSecondButtonReturn;
  return kAlertOtherReturn;
}

long presentCrashReportPrompt(const crash::FLTPermissionAlert& alert) {
  AlertBox box(QApplication::activeWindow());
  showTitleAndMessage(box, alert.title, alert.message);

  // One role for all three: the box lays buttons of one role out in the
  // order they were added, whatever the platform's order of roles.
  QPushButton* send = box.addButton(text(alert.sendTitle), QMessageBox::ActionRole);
  QPushButton* alwaysSend =
      alert.alwaysSendTitle ? box.addButton(text(*alert.alwaysSendTitle), QMessageBox::ActionRole)
                            : nullptr;
  QPushButton* cancel = box.addButton(text(alert.cancelTitle), QMessageBox::ActionRole);
  box.setDefaultButton(send);
  holdMinimumWidth(box);

  box.exec();
  const long cancelled =
      alwaysSend != nullptr ? crash::kFLTAlertThirdButtonReturn : crash::kFLTAlertSecondButtonReturn;
  const QAbstractButton* clicked = box.clickedButton();
  if (clicked == nullptr || clicked == cancel) return cancelled;
  if (clicked == send) return crash::kFLTAlertFirstButtonReturn;
  if (clicked == alwaysSend) return crash::kFLTAlertSecondButtonReturn;
  return cancelled;
}

void registerCrashReportPrompt() { crash::FLTRegisterPermissionAlertPresenter(presentCrashReportPrompt); }

}  // namespace vandrel::app
