#include "crash/kit/trl_load.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <string>

#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trellis.h"
#include "platform/notification_center.h"

namespace vandrel::crash {
namespace {

// The registry's debug flag without making the registry: the arbiter may
// ask before anything starts the kits.
bool debugArgumentPresent() {
  static const bool present = [] {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string argument;
    while (std::getline(in, argument, '\0')) {
      if (argument == kTRLDebugEnabledArgument) return true;
    }
    return false;
  }();
  return present;
}

}  // namespace

void loadKitRegistry() {
  static std::once_flag once;
  std::call_once(once, [] {
    FLTBCNApp::setDebugFlagSource(debugArgumentPresent);
    Trellis::load(platform::NotificationCenter::shared(), []() -> Trellis& { return Trellis::sharedSDK(); });
  });
}

}  // namespace vandrel::crash
