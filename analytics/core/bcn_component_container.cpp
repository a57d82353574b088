#include "analytics/core/bcn_component_container.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <utility>

#include "analytics/core/bcn_logger.h"

namespace vandrel::analytics {

// ---- BCNComponent

BCNComponent BCNComponent::componentWithProtocol(BCNProtocol protocol,
                                                 BCNComponentCreationBlock creationBlock) {
  return BCNComponent(std::move(protocol), BCNInstantiationTiming::Lazy, {},
                      std::move(creationBlock));
}

BCNComponent BCNComponent::componentWithProtocol(BCNProtocol protocol,
                                                 BCNInstantiationTiming instantiationTiming,
                                                 std::vector<BCNDependency> dependencies,
                                                 BCNComponentCreationBlock creationBlock) {
  return BCNComponent(std::move(protocol), instantiationTiming, std::move(dependencies),
                      std::move(creationBlock));
}

BCNComponent::BCNComponent(BCNProtocol protocol, BCNInstantiationTiming instantiationTiming,
                           std::vector<BCNDependency> dependencies,
                           BCNComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)),
      instantiationTiming_(instantiationTiming),
      dependencies_(std::move(dependencies)),
      creationBlock_(std::move(creationBlock)) {}

// ---- Registrants

void BCNRegistrantSet::add(BCNLibraryRegistrant registrant) {
  if (!registrant) return;
  platform::MutexLock lock(mutex_);
  if (std::find(registrants_.begin(), registrants_.end(), registrant) != registrants_.end()) return;
  registrants_.push_back(std::move(registrant));
}

std::vector<BCNLibraryRegistrant> BCNRegistrantSet::snapshot() const {
  platform::MutexLock lock(mutex_);
  return registrants_;
}

BCNRegistrantSet& BCNComponentContainer::registrantSet() {
  static BCNRegistrantSet* set = new BCNRegistrantSet();
  return *set;
}

void BCNComponentContainer::registerAsComponentRegistrant(BCNLibraryRegistrant registrant) {
  registerAsComponentRegistrant(std::move(registrant), registrantSet());
}

void BCNComponentContainer::registerAsComponentRegistrant(BCNLibraryRegistrant registrant,
                                                          BCNRegistrantSet& set) {
  set.add(std::move(registrant));
}

// ---- Container

BCNComponentContainer::BCNComponentContainer(std::weak_ptr<BCNApp> app, bool appIsDefault)
    : BCNComponentContainer(std::move(app), appIsDefault, registrantSet().snapshot()) {}

BCNComponentContainer::BCNComponentContainer(std::weak_ptr<BCNApp> app, bool appIsDefault,
                                             const std::vector<BCNLibraryRegistrant>& registrants)
    : app_(std::move(app)) {
  populateComponentsFromRegisteredClasses(registrants, appIsDefault);
}

void BCNComponentContainer::populateComponentsFromRegisteredClasses(
    const std::vector<BCNLibraryRegistrant>& registrants, bool appIsDefault) {
  std::vector<BCNProtocol> eager;
  std::vector<std::string> duplicates;
  {
    platform::MutexLock lock(mutex_);
    for (const BCNLibraryRegistrant& registrant : registrants) {
      if (!registrant) continue;
      for (const BCNComponent& component : registrant->componentsToRegister()) {
        const std::string& name = component.protocol().name;
        if (components_.count(name) != 0) {
          duplicates.push_back(name);  // the first registration wins
          continue;
        }
        components_[name] = component.creationBlock();
        const auto timing = component.instantiationTiming();
        if (timing == BCNInstantiationTiming::AlwaysEager ||
            (timing == BCNInstantiationTiming::EagerInDefaultApp && appIsDefault)) {
          eager.push_back(component.protocol());
        }
      }
    }
    eagerProtocolsToInstantiate_ = std::move(eager);
  }
  for (const std::string& name : duplicates) {
    BCNCoreLogError(kBCNLoggerCore, kBCNLogCoreDuplicateComponent,
                    "Attempted to register protocol %s, but it already has an implementation.",
                    name.c_str());
  }
}

void BCNComponentContainer::instantiateEagerComponents() {
  std::lock_guard<std::recursive_mutex> gate(creationGate_);
  std::vector<BCNProtocol> eager;
  {
    platform::MutexLock lock(mutex_);
    if (eagerProtocolsToInstantiate_) eager = std::move(*eagerProtocolsToInstantiate_);
    eagerProtocolsToInstantiate_.reset();
  }
  for (const BCNProtocol& protocol : eager) (void)instanceForProtocol(protocol);
}

BCNComponentContainer::Instance BCNComponentContainer::instanceForProtocol(
    const BCNProtocol& protocol) {
  std::lock_guard<std::recursive_mutex> gate(creationGate_);
  BCNComponentCreationBlock block;
  {
    platform::MutexLock lock(mutex_);
    if (auto it = cachedInstances_.find(protocol.name); it != cachedInstances_.end()) {
      return it->second;
    }
    if (auto it = components_.find(protocol.name); it != components_.end()) block = it->second;
  }
  return instantiateInstanceForProtocol(protocol, block);
}

BCNComponentContainer::Instance BCNComponentContainer::instantiateInstanceForProtocol(
    const BCNProtocol& protocol, const BCNComponentCreationBlock& block) {
  if (!block) return nullptr;
  std::lock_guard<std::recursive_mutex> gate(creationGate_);
  bool isCacheable = false;
  Instance instance = block(*this, &isCacheable);
  if (!instance) return nullptr;
  if (protocol.conforms && !protocol.conforms(*instance)) {
    BCNCoreLogError(kBCNLoggerCore, kBCNLogCoreNonConformingInstance,
                    "An instance conforming to %s was requested, but the instance provided does "
                    "not conform to the protocol",
                    protocol.name.c_str());
  }
  if (isCacheable) {
    platform::MutexLock lock(mutex_);
    cachedInstances_[protocol.name] = instance;
  }
  return instance;
}

void BCNComponentContainer::removeAllCachedInstances() {
  std::lock_guard<std::recursive_mutex> gate(creationGate_);
  std::map<std::string, Instance> cached;
  {
    platform::MutexLock lock(mutex_);
    cached.swap(cachedInstances_);
  }
  const std::shared_ptr<BCNApp> app = app_.lock();
  for (const auto& [name, instance] : cached) {
    if (auto* maintainer = dynamic_cast<BCNComponentLifecycleMaintainer*>(instance.get())) {
      maintainer->appWillBeDeleted(app);
    }
  }
}

void BCNComponentContainer::removeAllComponents() {
  std::lock_guard<std::recursive_mutex> gate(creationGate_);
  platform::MutexLock lock(mutex_);
  components_.clear();
}

std::vector<std::string> BCNComponentContainer::componentNames() const {
  platform::MutexLock lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : components_) names.push_back(entry.first);
  return names;
}

std::vector<std::string> BCNComponentContainer::cachedInstanceNames() const {
  platform::MutexLock lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : cachedInstances_) names.push_back(entry.first);
  return names;
}

std::vector<std::string> BCNComponentContainer::eagerProtocolNamesToInstantiate() const {
  platform::MutexLock lock(mutex_);
  std::vector<std::string> names;
  if (eagerProtocolsToInstantiate_) {
    for (const BCNProtocol& protocol : *eagerProtocolsToInstantiate_) names.push_back(protocol.name);
  }
  return names;
}

// ---- Association registry

namespace {

struct AssociationLock {
  platform::Mutex mutex;
  std::condition_variable created;
};

AssociationLock& associationLock() {
  static AssociationLock* lock = new AssociationLock();
  return *lock;
}

std::string describeHost(const BCNAssociationHost& host) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", static_cast<const void*>(&host));
  return text;
}

}  // namespace

std::shared_ptr<void> BCNAppAssociationRegistration::registeredObject(
    BCNAssociationHost& host, std::string_view key, std::type_index type,
    const std::function<std::shared_ptr<void>()>& block) {
  AssociationLock& shared = associationLock();
  const std::string name(key);
  bool reentered = false;
  bool wrongType = false;
  {
    platform::MutexLock lock(shared.mutex);
    for (;;) {
      auto it = host.associations_.find(name);
      if (it == host.associations_.end()) break;
      if (!it->second.creatingThread) {
        if (it->second.type == type) return it->second.object;
        wrongType = true;
        break;
      }
      if (*it->second.creatingThread == std::this_thread::get_id()) {
        reentered = true;
        break;
      }
      shared.created.wait(lock.native());  // another thread is creating it
    }
    if (!reentered && !wrongType) {
      host.associations_[name] = BCNAssociationHost::Entry{nullptr, type, std::this_thread::get_id()};
    }
  }
  if (reentered) {
    throw BCNException(std::string(kBCNAssociationReentryExceptionName),
                       "host: " + describeHost(host) + " key: " + name);
  }
  if (wrongType) {
    throw BCNException(std::string(kBCNErrorDomain),
                       "host: " + describeHost(host) + " key: " + name +
                           " already holds an object of another type");
  }
  std::shared_ptr<void> object;
  try {
    object = block();
  } catch (...) {
    // A failed creation must not leave the key marked as in progress forever.
    {
      platform::MutexLock lock(shared.mutex);
      host.associations_.erase(name);
    }
    shared.created.notify_all();
    throw;
  }
  {
    platform::MutexLock lock(shared.mutex);
    if (object) {
      host.associations_[name] = BCNAssociationHost::Entry{object, type, std::nullopt};
    } else {
      host.associations_.erase(name);  // nothing made: the next call tries again
    }
  }
  shared.created.notify_all();
  return object;
}

}  // namespace vandrel::analytics
