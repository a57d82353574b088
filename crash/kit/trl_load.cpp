#include "crash/kit/trl_load.h"

#include <mutex>

#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_onboarding_operation.h"
#include "crash/kit/trl_settings_onboarding_manager.h"
#include "platform/notification_center.h"

namespace vandrel::crash {

void loadKitRegistry() {
  static std::once_flag once;
  std::call_once(once, [] {
    FLTBCNApp::setDebugFlagSource(&Trellis::processDebugEnabled);
    // The registry's settings download and the onboarding it drives are
    // plugged in before anything can make the registry.
    TRLSettingsOnboardingManager::registerWithTrellis();
    TRLOnboardingOperation::registerWithSettingsManager();
    Trellis::load(platform::NotificationCenter::shared(), []() -> Trellis& { return Trellis::sharedSDK(); });
  });
}

}  // namespace vandrel::crash
