// The shell as the application runs it: the main queue bound to Qt's event
// loop (this binary's main binds it, as the application's does), and the
// work arriving from the loop itself, outside any main-queue job, the way a
// user's clicks and the start-up's timers arrive.

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/flag_images.h"
#include "app/images.h"
#include "app/line_cell.h"
#include "app/qt_main_queue.h"
#include "core/region_records.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;

std::string redPng() {
  QImage image(4, 3, QImage::Format_RGB32);
  image.fill(QColor(200, 10, 10));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

// Runs Qt's event loop (which drains the bound main queue) until `done`
// holds or `timeout` passes.
::testing::AssertionResult loopUntil(const std::function<bool()>& done,
                                     std::chrono::milliseconds timeout, const char* what) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  if (done()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << " did not happen within " << timeout.count()
                                       << " ms of the event loop";
}

core::RegionsItem region(std::string name, std::string icon) {
  core::RegionsItem item;
  item.name = std::move(name);
  item.icon = std::move(icon);
  return item;
}

// Rows are built from the loop when a saved region list is shown at start
// and when a click rebuilds the table: their flags load from there, a
// catalogue key that is no address included.
TEST(EventLoopTest, RowsBuiltFromTheEventLoopLoadTheirFlags) {
  ASSERT_TRUE(platform::mainQueue().isBound());
  auto standin = test_support::ServiceStandin::http();
  const std::string png = redPng();
  standin->replyTo("/flags/jp.png", test_support::ScriptedReply{200, {{"Content-Type", "image/png"}}, png, {}});

  LineCell namedKey(RemoteFlagImages::shared(), platform::SystemClock::shared());
  LineCell addressKey(RemoteFlagImages::shared(), platform::SystemClock::shared());
  namedKey.model = region("USA", "flag_us");
  addressKey.model = region("Japan", standin->url("/flags/jp.png"));

  bool configured = false;
  // A timer's callback: the loop's own delivery, no main-queue job around it.
  QTimer::singleShot(0, [&] {
    namedKey.configure({});
    addressKey.configure({});
    configured = true;
  });
  ASSERT_TRUE(loopUntil([&] { return configured; }, 10s, "the rows' set-up"));

  EXPECT_EQ(namedKey.flagView().picture().toImage(), appImage("country_default").toImage())
      << "a key that is no address keeps the placeholder";
  QImage expected;
  ASSERT_TRUE(expected.loadFromData(QByteArray::fromStdString(png)));
  EXPECT_TRUE(loopUntil(
      [&] { return addressKey.flagView().picture().toImage() == expected.convertToFormat(
                       addressKey.flagView().picture().toImage().format()); },
      10s, "the flag's arrival"));
}

}  // namespace
}  // namespace vandrel::app

int main(int argc, char** argv) {
  // The log file and the standard defaults land in a private home.
  vandrel::test_support::TempHome home;
  // Left alive: shared widgets and queued work may outlive main's return.
  new QApplication(argc, argv);
  vandrel::app::bindMainQueueToQt();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
