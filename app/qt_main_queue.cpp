#include "app/qt_main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "platform/check.h"
#include "platform/dispatch.h"

namespace vandrel::app {

void bindMainQueueToQt() {
  QCoreApplication* app = QCoreApplication::instance();
  VANDREL_CHECK(app != nullptr, "bindMainQueueToQt needs a QApplication");
  QPointer<QCoreApplication> guard(app);
  // The drain runs as a queued call on the GUI thread. A job that opens a
  // modal dialog spins a nested loop, which may deliver another drain call:
  // the queue's own re-entrancy guard keeps the next job waiting until the
  // running one returns.
  platform::mainQueue().bind([guard] {
    if (!guard) return;
    QMetaObject::invokeMethod(
        guard.data(), [] { platform::mainQueue().drain(); }, Qt::QueuedConnection);
  });
  QObject::connect(app, &QCoreApplication::aboutToQuit,
                   [] { platform::mainQueue().shutdown(); });
}

}  // namespace vandrel::app
