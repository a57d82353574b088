#include "analytics/core/bcn_app_facts.h"

#include <memory>
#include <utility>

#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

struct ProviderSlot {
  platform::Mutex mutex;
  std::shared_ptr<const BCNAppFactsProvider> provider VANDREL_GUARDED_BY(mutex);
};

ProviderSlot& slot() {
  static ProviderSlot* s = new ProviderSlot();
  return *s;
}

}  // namespace

void BCNSetAppFactsProvider(BCNAppFactsProvider provider) {
  auto shared = provider ? std::make_shared<const BCNAppFactsProvider>(std::move(provider)) : nullptr;
  ProviderSlot& s = slot();
  platform::MutexLock lock(s.mutex);
  s.provider = std::move(shared);
}

BCNAppFacts BCNCurrentAppFacts() {
  std::shared_ptr<const BCNAppFactsProvider> provider;
  {
    ProviderSlot& s = slot();
    platform::MutexLock lock(s.mutex);
    provider = s.provider;
  }
  return provider ? (*provider)() : BCNAppFacts{};
}

}  // namespace vandrel::analytics
