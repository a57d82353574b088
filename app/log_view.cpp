#include "app/log_view.h"

#include <unistd.h>

#include <QAbstractListModel>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <cstdio>
#include <utility>

#include "connection/alert_helpers.h"
#include "connection/daemon_manager.h"
#include "core/log_upload.h"
#include "core/log_util.h"
#include "core/qv_device_info.h"
#include "platform/check.h"
#include "platform/defaults.h"

namespace vandrel::app {
namespace {

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// The rows as the table saw them at its last reload: the count is taken
// then (the list may grow on the main queue meanwhile), the texts are read
// when shown.
class LogLinesModel final : public QAbstractListModel {
 public:
  explicit LogLinesModel(const LogView& view, QObject* parent)
      : QAbstractListModel(parent), view_(view) {}

  void reload() {
    beginResetModel();
    rows_ = view_.numberOfRows();
    endResetModel();
  }

  int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : rows_; }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_) return {};
    return view_.rowText(index.row());
  }

 private:
  const LogView& view_;
  int rows_ = 0;
};

// Draws each row as one line of plain text and marks none: no selection,
// no current-item frame, no hover. The log is read, not picked from.
class LogRowDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->state &= ~(QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver);
    // A line break left inside an entry would make its row, and with
    // uniform row heights every row, as tall as its lines.
    for (QChar& c : option->text) {
      if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar::LineSeparator ||
          c == QChar::ParagraphSeparator) {
        c = QLatin1Char(' ');
      }
    }
  }
};

LogView::Services LogView::Services::standard() {
  Services services;
  services.defaults = &platform::Defaults::standard();
  services.alerts = &connection::AlertHelpers::shared();
  services.udid = [] { return core::qv_DeviceInfo::udid(); };
  services.clearUserDataAndLog = [] { core::LogUtil::clearUserDataAndLog(); };
  services.uploadLogs = [] { core::LogUpload::shared().uploadLogs(false); };
  services.logArchiveName = [] { return core::LogUpload::shared().logArchiveName(); };
  services.logFilePath = [] { return core::LogUtil::logFilePath(); };
  services.savePanel = [](const SaveRequest& request,
                          std::function<void(std::optional<std::string>)> completion) {
    // Free-standing, not a sheet on the log window.
    QFileDialog* panel = makeSavePanel(request, nullptr);
    QObject::connect(panel, &QFileDialog::finished, panel, [panel, completion](int result) {
      const QStringList files = panel->selectedFiles();
      if (result == QDialog::Accepted && !files.isEmpty()) {
        completion(files.first().toStdString());
      } else {
        completion(std::nullopt);
      }
    });
    panel->open();
  };
  services.exitProcess = [](int status) {
    // At once, as a quit from an alert must: the defaults are on disk
    // already, and no teardown may run with the windows still up.
    std::fflush(nullptr);
    ::_exit(status);
  };
  services.mainQueue = &platform::mainQueue();
  services.globalQueue = &platform::globalQueue();
  return services;
}

LogView::LogView(QWidget* parent) : LogView(Services::standard(), parent) {}

LogView::LogView(Services services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
  VANDREL_CHECK(services_.defaults && services_.alerts && services_.mainQueue &&
                    services_.globalQueue,
                "LogView needs its defaults, alerts and queues");
  buildControls();
  reloadData();
}

LogView::~LogView() = default;

LogView* LogView::present() {
  static QPointer<LogView> window;
  if (!window) {
    window = new LogView();
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Log"));
  }
  window->show();
  window->raise();
  window->activateWindow();
  return window;
}

void LogView::buildControls() {
  resize(900, 600);
  setAutoFillBackground(true);
  QPalette black = palette();
  black.setColor(QPalette::Window, Qt::black);
  black.setColor(QPalette::Base, Qt::black);
  black.setColor(QPalette::Text, QColor(220, 220, 220));
  black.setColor(QPalette::WindowText, QColor(220, 220, 220));
  setPalette(black);

  model_ = new LogLinesModel(*this, this);
  tableView_ = new QListView(this);
  tableView_->setModel(model_);
  tableView_->setPalette(black);
  tableView_->setFrameShape(QFrame::NoFrame);
  tableView_->setSelectionMode(QAbstractItemView::NoSelection);
  tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tableView_->setUniformItemSizes(true);
  tableView_->setItemDelegate(new LogRowDelegate(tableView_));
  tableView_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  tableView_->verticalScrollBar()->setStyleSheet(QStringLiteral(
      "QScrollBar:vertical { background: transparent; width: 10px; }"
      "QScrollBar::handle:vertical { background: darkgray; border-radius: 4px; min-height: 24px; }"
      "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
      "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));

  refreshButton_ = new QPushButton(tr("Refresh"), this);
  connect(refreshButton_, &QPushButton::clicked, this, &LogView::refreshLog);
  clearLogButton_ = new QPushButton(tr("Clear"), this);
  connect(clearLogButton_, &QPushButton::clicked, this, &LogView::clearLog);
  outputLogButton_ = new QPushButton(tr("Save Log"), this);
  connect(outputLogButton_, &QPushButton::clicked, this, &LogView::saveLog);
  uploadLogButton_ = new QPushButton(tr("Upload Log"), this);
  connect(uploadLogButton_, &QPushButton::clicked, this, &LogView::sendButton);
  // Unmarked on purpose: only a few machines may use it.
  switchVMButton_ = new QPushButton(this);
  switchVMButton_->setFlat(true);
  switchVMButton_->setFixedSize(24, 24);
  switchVMButton_->setFocusPolicy(Qt::NoFocus);
  connect(switchVMButton_, &QPushButton::clicked, this, &LogView::switchVM);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(refreshButton_);
  buttons->addWidget(clearLogButton_);
  buttons->addWidget(outputLogButton_);
  buttons->addWidget(uploadLogButton_);
  buttons->addStretch(1);
  buttons->addWidget(switchVMButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tableView_, 1);
  layout->addLayout(buttons);
}

// ---- Rows ------------------------------------------------------------------------

int LogView::numberOfRows() const {
  return static_cast<int>(core::LogUtil::displayedLines().size());
}

QString LogView::rowText(int row) const {
  const std::vector<std::string>& lines = core::LogUtil::displayedLines();
  if (row < 0 || static_cast<std::size_t>(row) >= lines.size()) return {};
  std::string text = lines[static_cast<std::size_t>(row)];
  for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 2);
  }
  return QString::fromStdString(text);
}

void LogView::reloadData() { model_->reload(); }

void LogView::scrollToLastRow() {
  // With no rows the last row is -1, which scrolls nothing.
  const int last = model_->rowCount(QModelIndex()) - 1;
  if (last >= 0) tableView_->scrollTo(model_->index(last), QAbstractItemView::PositionAtBottom);
}

void LogView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  reloadData();
  scrollToLastRow();
}

void LogView::mousePressEvent(QMouseEvent* event) { event->accept(); }

void LogView::mouseReleaseEvent(QMouseEvent* event) { event->accept(); }

// ---- Actions ---------------------------------------------------------------------

void LogView::refreshLog() {
  reloadData();
  scrollToLastRow();
}

void LogView::clearLog() {
  QPointer<LogView> self(this);
  services_.mainQueue->async([self] {
    core::LogUtil::displayedLines().clear();
    if (self) self->reloadData();
  });
}

QFileDialog* LogView::makeSavePanel(const SaveRequest& request, QWidget* parent) {
  auto* panel = new QFileDialog(parent, qs(request.message));
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setAcceptMode(QFileDialog::AcceptSave);
  panel->setFileMode(QFileDialog::AnyFile);
  const QString extension = qs(request.allowedExtension);
  panel->setNameFilter(QStringLiteral("*.") + extension);
  panel->setDefaultSuffix(extension);
  panel->selectFile(qs(request.suggestedName));
  return panel;
}

void LogView::saveLog() {
  SaveRequest request{
      .suggestedName = services_.logArchiveName ? services_.logArchiveName() : std::string(),
      .message = std::string(kSavePanelMessage),
      .allowedExtension = "log",
  };
  if (!services_.savePanel) return;
  std::function<std::string()> logFilePath = services_.logFilePath;
  // The copy does not need the window: it may have closed meanwhile.
  services_.savePanel(request, [logFilePath](std::optional<std::string> path) {
    if (path && logFilePath) writeLogCopy(logFilePath(), *path);
  });
}

void LogView::writeLogCopy(const std::string& logFilePath, const std::string& destination) {
  auto report = [](const QString& description) {
    core::LogUtil::reportError("output log error: " + description.toStdString());
  };
  QFile source(QString::fromStdString(logFilePath));
  if (!source.open(QIODevice::ReadOnly)) return report(source.errorString());
  const QByteArray bytes = source.readAll();
  if (source.error() != QFileDevice::NoError) return report(source.errorString());
  // A failed write leaves whatever was at the destination untouched.
  QSaveFile copy(QString::fromStdString(destination));
  if (!copy.open(QIODevice::WriteOnly)) return report(copy.errorString());
  if (copy.write(bytes) != bytes.size()) {
    const QString description = copy.errorString();
    copy.cancelWriting();
    return report(description);
  }
  if (!copy.commit()) report(copy.errorString());
}

void LogView::sendButton() {
  std::function<void()> upload = services_.uploadLogs;
  platform::Queue* background = services_.globalQueue;
  services_.alerts->showAlert(
      "操作确认", "即将上报日志，点击确定继续。", "确定",
      [upload, background] {
        // The confirmation answers on the GUI thread; reading and
        // compressing a log of many megabytes there would freeze the windows.
        if (upload) background->async(upload);
      },
      std::string("取消"), {});
}

void LogView::switchVM() { confirmEnvironmentSwitch(); }

bool LogView::mayRunEnvironmentSwitch(std::string_view udid) {
  for (std::string_view machine : kEnvironmentSwitchMachines) {
    if (udid.find(machine) != std::string_view::npos) return true;
  }
  return false;
}

void LogView::confirmEnvironmentSwitch() {
  const std::string udid = services_.udid ? services_.udid() : std::string();
  if (!mayRunEnvironmentSwitch(udid)) return;
  const bool isTest = services_.defaults->getBool(kSwitchVMKey).value_or(false);
  const std::string current(isTest ? kTestName : kProductionName);
  const std::string target(isTest ? kProductionName : kTestName);
  Services services = services_;
  services_.alerts->showAlert(
      "当前为 " + current + ", 是否切换为 " + target, "", "切换",
      [services, isTest, target] { applyEnvironmentSwitch(services, isTest, target); },
      std::string("取消"), {});
}

void LogView::applyEnvironmentSwitch(const Services& services, bool current,
                                     const std::string& target) {
  if (services.clearUserDataAndLog) services.clearUserDataAndLog();
  // The helper stays installed: the next launch must not ask for it again.
  services.defaults->set(connection::DaemonManager::kDaemonVersionKey,
                         connection::DaemonManager::kDaemonVersionMarker);
  services.defaults->set(kSwitchVMKey, !current);
  services.defaults->synchronize();
  std::function<void(int)> exitProcess = services.exitProcess;
  services.alerts->showAlert("App 即将退出, 下次启动将切换为 " + target, "", "OK", [exitProcess] {
    if (exitProcess) exitProcess(0);
  });
}

}  // namespace vandrel::app
