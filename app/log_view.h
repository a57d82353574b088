#pragma once

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch.h"

class QFileDialog;
class QListView;
class QPushButton;

namespace vandrel::platform {
class Defaults;
}
namespace vandrel::connection {
class AlertHelpers;
}

namespace vandrel::app {

class LogLinesModel;

// The log window: the logger's displayed lines on black, one row each, with
// refresh, clear, save a copy of the log file, upload it after a
// confirmation, and a switch between the service's production and test
// environments that works only on a few known machines. GUI thread only;
// the rows are read from LogUtil::displayedLines() there.
class LogView : public QWidget {
  Q_OBJECT

 public:
  static constexpr std::string_view kSwitchVMKey = "qv_switchVMKey";
  static constexpr std::string_view kProductionName = "正式环境";
  static constexpr std::string_view kTestName = "测试环境";
  // Serial-number pieces of the machines that may switch environments,
  // tried in this order.
  static constexpr std::array<std::string_view, 3> kEnvironmentSwitchMachines = {
      "VD7Q2XK9", "C02TQ8M", "FVFH3RL"};
  static constexpr std::string_view kSavePanelMessage = "请选择日志存放目录";

  // What the save panel is asked for.
  struct SaveRequest {
    std::string suggestedName;
    std::string message;
    std::string allowedExtension;
  };
  // Shows a save panel and later calls the completion once, with the chosen
  // path, or with none when the user cancelled.
  using SavePanel = std::function<void(const SaveRequest& request,
                                       std::function<void(std::optional<std::string>)> completion)>;

  // What the window reaches; each is looked up when used.
  struct Services {
    // Must be the store LogUtil::clearUserDataAndLog empties.
    platform::Defaults* defaults = nullptr;
    connection::AlertHelpers* alerts = nullptr;
    std::function<std::string()> udid;
    std::function<void()> clearUserDataAndLog;
    // The upload with its alerts (quiet off). It reads and compresses the
    // whole log file, so it runs on `globalQueue`.
    std::function<void()> uploadLogs;
    std::function<std::string()> logArchiveName;
    std::function<std::string()> logFilePath;
    SavePanel savePanel;
    // Ends the process with the given status.
    std::function<void(int)> exitProcess;
    platform::Queue* mainQueue = nullptr;
    platform::Queue* globalQueue = nullptr;

    // The application's: standard defaults, shared alerts, the device's
    // serial number, the shared log upload, a file dialog, _exit, the main
    // and global queues.
    static Services standard();
  };

  explicit LogView(QWidget* parent = nullptr);
  LogView(Services services, QWidget* parent);
  ~LogView() override;

  // Opens the application's log window, or raises it when it is open.
  static LogView* present();

  // The text of row `row`: the entry with every "\r\n" removed.
  virtual QString rowText(int row) const;
  int numberOfRows() const;

  QListView* tableView() const { return tableView_; }
  QPushButton* refreshButton() const { return refreshButton_; }
  QPushButton* outputLogButton() const { return outputLogButton_; }
  QPushButton* uploadLogButton() const { return uploadLogButton_; }
  QPushButton* clearLogButton() const { return clearLogButton_; }
  QPushButton* switchVMButton() const { return switchVMButton_; }

  // The save panel the application uses: a file dialog for saving that
  // proposes `request.suggestedName` and only `request.allowedExtension`
  // files. Deletes itself when closed.
  static QFileDialog* makeSavePanel(const SaveRequest& request, QWidget* parent);

  // Whether `udid` holds one of kEnvironmentSwitchMachines.
  static bool mayRunEnvironmentSwitch(std::string_view udid);

 public slots:
  void refreshLog();
  void clearLog();
  void saveLog();
  void sendButton();
  void switchVM();

 public:
  // The switch's confirmation; nothing on a machine outside the list.
  void confirmEnvironmentSwitch();
  // Wipes the stored data, keeps the helper marked installed, stores the
  // other environment and announces the exit.
  static void applyEnvironmentSwitch(const Services& services, bool current,
                                     const std::string& target);
  // Copies the log file at `logFilePath` to `destination`, bytes as they
  // are; errors are logged, not shown.
  static void writeLogCopy(const std::string& logFilePath, const std::string& destination);

 protected:
  void showEvent(QShowEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void buildControls();
  void reloadData();
  void scrollToLastRow();

  Services services_;
  LogLinesModel* model_ = nullptr;
  QListView* tableView_ = nullptr;
  QPushButton* refreshButton_ = nullptr;
  QPushButton* outputLogButton_ = nullptr;
  QPushButton* uploadLogButton_ = nullptr;
  QPushButton* clearLogButton_ = nullptr;
  QPushButton* switchVMButton_ = nullptr;
};

}  // namespace vandrel::app
