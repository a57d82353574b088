#pragma once

// The public face of the analytics kit: the kit the registry starts, the
// object the crash kit tells about the previous launch's crash, and the
// methods an application calls to log predefined and custom events. It owns
// the event pipeline (TLYTallyController) from its first start on and hands
// every event to it; before that, events are dropped without a message.
//
// In this application nothing starts the kit (the registry never starts its
// kits here), so every method is harmless while it is idle.
//
// Registration: `loadTally()` puts the kit class "Tally" into the registry's
// class table and the analytics entry points into the crash kit's Tally
// hooks (crash/kit/flt_tally_hooks.h). Static initialisers of a static
// library are dropped by the linker, so the program calls it while it
// loads, before the registry or the crash kit may start.
//
// Thread-safe: any method from any thread; the start runs once.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/tally/tly_attribute_dictionary.h"
#include "analytics/tally/tly_event.h"
#include "crash/kit/trellis.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace vandrel::analytics {

class TLYLogger;
class TLYTallyController;

inline constexpr std::string_view kTallyBundleIdentifier = "com.kestrel.tally.mac";
inline constexpr std::string_view kTallyKitDisplayVersion = "1.4.1";
inline constexpr std::string_view kTallyKitBuildVersion = "32";
inline constexpr std::string_view kTallyInitializedMessage = "Initialized";
inline constexpr std::string_view kTallyMethodUnavailableMessage =
    "%@ is not supported when using Faultline through Beacon.";

// What the facade reads from the process; tests inject their own.
struct TallyEnvironment {
  // The registry's debug flag; empty: Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Whether the registry was started through the app-configuration ready
  // notification; empty: Trellis::sharedSDK().beaconMode().
  std::function<bool()> beaconMode;
  // The class of that name in the process; empty: Trellis::lookUpClass.
  std::function<crash::TRLKitClassPtr(std::string_view)> lookUpClass;
  // The pipeline for a beta token; empty: TLYTallyController::initWithBetaToken.
  std::function<std::shared_ptr<TLYTallyController>(const std::optional<std::string>& betaToken)>
      makeController;
  // Nullptr: TLYLogger::sharedLogger().
  TLYLogger* logger = nullptr;
  // Where the attribute checks report; empty: the system log.
  TLYSystemLog systemLog;
};

class Tally {
 public:
  // Kit identity (class methods of the kit protocol).
  static std::string_view bundleIdentifier() { return kTallyBundleIdentifier; }
  static std::string_view kitDisplayVersion() { return kTallyKitDisplayVersion; }
  static std::string_view kitBuildVersion() { return kTallyKitBuildVersion; }

  // The process's facade, made once (never destroyed).
  static Tally& sharedInstance();
  // The kit class "Tally" as the registry sees it; its initializeIfNeeded
  // is the shared instance's.
  static const crash::TRLKitClassPtr& kitClass();

  explicit Tally(TallyEnvironment environment = {});
  Tally(const Tally&) = delete;
  Tally& operator=(const Tally&) = delete;

  // Once per process (per facade): logging set-up, "Initialized", the
  // pipeline with this token. Later calls, whatever their token, do nothing.
  void startWithBetaToken(const std::optional<std::string>& betaToken);
  // Through the crash kit when its class is present (it starts analytics
  // with its own beta token), else a start without a token.
  void initializeIfNeeded();
  // Sets the analytics logger's debug mode to the registry's flag.
  void configureLogging();

  // The previous launch crashed on `date` (crash state unknown). No date:
  // nothing. Not refused in app-configuration mode.
  void logPreviousSessionCrashedOnDate(std::optional<platform::WallTime> date);

  // The predefined events. Each is refused (with one message) in
  // app-configuration mode.
  void logSignUpWithMethod(const TLYText& method, const TLYNumber& success,
                           const TLYAttributeEntries& customAttributes);
  void logLoginWithMethod(const TLYText& method, const TLYNumber& success,
                          const TLYAttributeEntries& customAttributes);
  void logShareWithMethod(const TLYText& method, const TLYText& contentName,
                          const TLYText& contentType, const TLYText& contentId,
                          const TLYAttributeEntries& customAttributes);
  void logInviteWithMethod(const TLYText& method, const TLYAttributeEntries& customAttributes);
  void logPurchaseWithPrice(const TLYPrice& price, const TLYText& currency,
                            const TLYNumber& success, const TLYText& itemName,
                            const TLYText& itemType, const TLYText& itemId,
                            const TLYAttributeEntries& customAttributes);
  void logLevelStart(const TLYText& levelName, const TLYAttributeEntries& customAttributes);
  void logLevelEnd(const TLYText& levelName, const TLYNumber& score, const TLYNumber& success,
                   const TLYAttributeEntries& customAttributes);
  void logAddToCartWithPrice(const TLYPrice& price, const TLYText& currency,
                             const TLYText& itemName, const TLYText& itemType,
                             const TLYText& itemId, const TLYAttributeEntries& customAttributes);
  void logStartCheckoutWithPrice(const TLYPrice& price, const TLYText& currency,
                                 const TLYNumber& itemCount,
                                 const TLYAttributeEntries& customAttributes);
  void logRating(const TLYNumber& rating, const TLYText& contentName, const TLYText& contentType,
                 const TLYText& contentId, const TLYAttributeEntries& customAttributes);
  void logContentViewWithName(const TLYText& name, const TLYText& contentType,
                              const TLYText& contentId,
                              const TLYAttributeEntries& customAttributes);
  void logSearchWithQuery(const TLYText& query, const TLYAttributeEntries& customAttributes);
  // A custom event; refused like the predefined ones.
  void logCustomEventWithName(const std::string& eventName,
                              const TLYAttributeEntries& customAttributes);

  // "<selector> is not supported when using Faultline through Beacon."
  void printMethodUnavailableWithSelector(std::string_view selector) const;

  // None until started.
  std::shared_ptr<TLYTallyController> tallyController() const;

 private:
  // True (after the message) when `selector` must not run in
  // app-configuration mode.
  bool refuses(std::string_view selector) const;
  void handOff(std::shared_ptr<const TLYEvent> event) const;
  TLYLogger& logger() const;
  const TLYSystemLog& systemLog() const { return systemLog_; }

  const TallyEnvironment environment_;
  const TLYSystemLog systemLog_;
  std::once_flag started_;
  mutable platform::Mutex mutex_;
  std::shared_ptr<TLYTallyController> tallyController_ VANDREL_GUARDED_BY(mutex_);
};

// Registers the kit class "Tally" with the registry and the analytics entry
// points with the crash kit's Tally hooks. Idempotent.
void loadTally();

}  // namespace vandrel::analytics
