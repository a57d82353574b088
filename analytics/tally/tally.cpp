#include "analytics/tally/tally.h"

#include <utility>

#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_tally_controller.h"
#include "crash/kit/flt_tally_hooks.h"

namespace vandrel::analytics {

namespace {

// The registry's view of the kit: class methods answered by the shared
// facade.
class TallyKitClass final : public crash::TRLKitClass {
 public:
  std::string className() const override { return std::string(crash::kTallyClassName); }
  std::string bundleIdentifier() const override { return std::string(kTallyBundleIdentifier); }
  std::string kitDisplayVersion() const override { return std::string(kTallyKitDisplayVersion); }
  std::optional<std::string> kitBuildVersion() const override {
    return std::string(kTallyKitBuildVersion);
  }
  bool respondsToInitializeIfNeeded() const override { return true; }
  void initializeIfNeeded() override { Tally::sharedInstance().initializeIfNeeded(); }
};

TLYAttributeEntries entriesOf(const std::optional<platform::Value::Dictionary>& attributes) {
  TLYAttributeEntries entries;
  if (!attributes) return entries;
  for (const auto& [key, value] : *attributes) entries.emplace_back(platform::Value(key), value);
  return entries;
}

}  // namespace

Tally& Tally::sharedInstance() {
  static Tally* instance = new Tally();
  return *instance;
}

const crash::TRLKitClassPtr& Tally::kitClass() {
  static const auto* cls = new crash::TRLKitClassPtr(std::make_shared<TallyKitClass>());
  return *cls;
}

Tally::Tally(TallyEnvironment environment)
    : environment_(std::move(environment)),
      systemLog_(environment_.systemLog ? environment_.systemLog : TLYDefaultSystemLog()) {}

TLYLogger& Tally::logger() const {
  return environment_.logger ? *environment_.logger : TLYLogger::sharedLogger();
}

void Tally::configureLogging() {
  bool debug = environment_.debug ? environment_.debug() : crash::Trellis::sharedSDK().debug();
  logger().setDebugMode(debug);
}

void Tally::startWithBetaToken(const std::optional<std::string>& betaToken) {
  std::call_once(started_, [&] {
    configureLogging();
    logger().log(kTallyInitializedMessage);
    auto controller = environment_.makeController ? environment_.makeController(betaToken)
                                                  : TLYTallyController::initWithBetaToken(betaToken);
    platform::MutexLock lock(mutex_);
    tallyController_ = std::move(controller);
  });
}

void Tally::initializeIfNeeded() {
  auto lookUp = environment_.lookUpClass ? environment_.lookUpClass
                                         : [](std::string_view name) { return crash::Trellis::lookUpClass(name); };
  auto faultline = lookUp(crash::kFaultlineClassName);
  if (faultline && faultline->conformsToTRLKit()) {
    faultline->initializeIfNeeded();
    return;
  }
  startWithBetaToken(std::nullopt);
}

std::shared_ptr<TLYTallyController> Tally::tallyController() const {
  platform::MutexLock lock(mutex_);
  return tallyController_;
}

void Tally::handOff(std::shared_ptr<const TLYEvent> event) const {
  // Before the start there is no pipeline: the event is dropped silently.
  if (auto controller = tallyController()) controller->logEvent(std::move(event));
}

bool Tally::refuses(std::string_view selector) const {
  bool beacon = environment_.beaconMode ? environment_.beaconMode()
                                        : crash::Trellis::sharedSDK().beaconMode();
  if (!beacon) return false;
  printMethodUnavailableWithSelector(selector);
  return true;
}

void Tally::printMethodUnavailableWithSelector(std::string_view selector) const {
  logger().log(TLYFillPlaceholders(kTallyMethodUnavailableMessage, {std::string(selector)}));
}

void Tally::logPreviousSessionCrashedOnDate(std::optional<platform::WallTime> date) {
  if (!date) return;
  auto controller = tallyController();
  if (!controller) return;
  // Crash state 0: the log line says "unknown".
  controller->logCrashEvent(std::make_shared<const TLYCrashEvent>(*date, 0));
}

void Tally::logSignUpWithMethod(const TLYText& method, const TLYNumber& success,
                                const TLYAttributeEntries& customAttributes) {
  if (refuses("logSignUpWithMethod:success:customAttributes:")) return;
  handOff(TLYPredefinedEvent::signUpEvent(method, success, customAttributes, systemLog()));
}

void Tally::logLoginWithMethod(const TLYText& method, const TLYNumber& success,
                               const TLYAttributeEntries& customAttributes) {
  if (refuses("logLoginWithMethod:success:customAttributes:")) return;
  handOff(TLYPredefinedEvent::loginEvent(method, success, customAttributes, systemLog()));
}

void Tally::logShareWithMethod(const TLYText& method, const TLYText& contentName,
                               const TLYText& contentType, const TLYText& contentId,
                               const TLYAttributeEntries& customAttributes) {
  if (refuses("logShareWithMethod:contentName:contentType:contentId:customAttributes:")) return;
  handOff(TLYPredefinedEvent::shareEvent(method, contentName, contentType, contentId,
                                         customAttributes, systemLog()));
}

void Tally::logInviteWithMethod(const TLYText& method, const TLYAttributeEntries& customAttributes) {
  if (refuses("logInviteWithMethod:customAttributes:")) return;
  handOff(TLYPredefinedEvent::inviteEvent(method, customAttributes, systemLog()));
}

void Tally::logPurchaseWithPrice(const TLYPrice& price, const TLYText& currency,
                                 const TLYNumber& success, const TLYText& itemName,
                                 const TLYText& itemType, const TLYText& itemId,
                                 const TLYAttributeEntries& customAttributes) {
  if (refuses("logPurchaseWithPrice:currency:success:itemName:itemType:itemId:customAttributes:")) {
    return;
  }
  handOff(TLYPredefinedEvent::purchaseEvent(price, currency, success, itemName, itemType, itemId,
                                            customAttributes, systemLog()));
}

void Tally::logLevelStart(const TLYText& levelName, const TLYAttributeEntries& customAttributes) {
  if (refuses("logLevelStart:customAttributes:")) return;
  handOff(TLYPredefinedEvent::levelStartEvent(levelName, customAttributes, systemLog()));
}

void Tally::logLevelEnd(const TLYText& levelName, const TLYNumber& score, const TLYNumber& success,
                        const TLYAttributeEntries& customAttributes) {
  if (refuses("logLevelEnd:score:success:customAttributes:")) return;
  handOff(TLYPredefinedEvent::levelEndEvent(levelName, score, success, customAttributes, systemLog()));
}

void Tally::logAddToCartWithPrice(const TLYPrice& price, const TLYText& currency,
                                  const TLYText& itemName, const TLYText& itemType,
                                  const TLYText& itemId, const TLYAttributeEntries& customAttributes) {
  if (refuses("logAddToCartWithPrice:currency:itemName:itemType:itemId:customAttributes:")) return;
  handOff(TLYPredefinedEvent::addToCartEvent(price, currency, itemName, itemType, itemId,
                                             customAttributes, systemLog()));
}

void Tally::logStartCheckoutWithPrice(const TLYPrice& price, const TLYText& currency,
                                      const TLYNumber& itemCount,
                                      const TLYAttributeEntries& customAttributes) {
  if (refuses("logStartCheckoutWithPrice:currency:itemCount:customAttributes:")) return;
  handOff(TLYPredefinedEvent::startCheckoutEvent(price, currency, itemCount, customAttributes,
                                                 systemLog()));
}

void Tally::logRating(const TLYNumber& rating, const TLYText& contentName, const TLYText& contentType,
                      const TLYText& contentId, const TLYAttributeEntries& customAttributes) {
  if (refuses("logRating:contentName:contentType:contentId:customAttributes:")) return;
  handOff(TLYPredefinedEvent::ratingEvent(rating, contentName, contentType, contentId,
                                          customAttributes, systemLog()));
}

void Tally::logContentViewWithName(const TLYText& name, const TLYText& contentType,
                                   const TLYText& contentId,
                                   const TLYAttributeEntries& customAttributes) {
  if (refuses("logContentViewWithName:contentType:contentId:customAttributes:")) return;
  handOff(TLYPredefinedEvent::contentViewEvent(name, contentType, contentId, customAttributes,
                                               systemLog()));
}

void Tally::logSearchWithQuery(const TLYText& query, const TLYAttributeEntries& customAttributes) {
  if (refuses("logSearchWithQuery:customAttributes:")) return;
  handOff(TLYPredefinedEvent::searchEvent(query, customAttributes, systemLog()));
}

void Tally::logCustomEventWithName(const std::string& eventName,
                                   const TLYAttributeEntries& customAttributes) {
  if (refuses("logCustomEventWithName:customAttributes:")) return;
  handOff(std::make_shared<const TLYCustomEvent>(eventName, customAttributes, systemLog()));
}

void loadTally() {
  crash::Trellis::registerClass(crash::kTallyClassName, Tally::kitClass());
  crash::FLTTallyHooks hooks;
  hooks.startWithBetaToken = [](const std::optional<std::string>& betaToken) {
    Tally::sharedInstance().startWithBetaToken(betaToken);
  };
  hooks.logCustomEventWithName = [](const std::string& name,
                                    const std::optional<platform::Value::Dictionary>& attributes) {
    Tally::sharedInstance().logCustomEventWithName(name, entriesOf(attributes));
  };
  hooks.logPreviousSessionCrashedOnDate = [](platform::WallTime date) {
    Tally::sharedInstance().logPreviousSessionCrashedOnDate(date);
  };
  crash::FLTRegisterTallyHooks(std::move(hooks));
}

}  // namespace vandrel::analytics
