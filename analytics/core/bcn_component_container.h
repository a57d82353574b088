#pragma once

// Libraries offer services to each other through protocols instead of
// direct links. A library registers itself once per process as a component
// registrant; each app's container asks every registrant for its
// components, keeps one creation block per protocol name, creates eager
// components at once and the others on first request, and caches instances
// when the creation block allows it.
//
// Threads: any. Each container serialises lookups, creation, the eager pass
// and teardown; creation blocks run inside that serialisation and may
// themselves look up other protocols of the same container (re-entrant).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <typeindex>
#include <vector>

#include "analytics/core/bcn_options.h"
#include "platform/sync.h"

namespace vandrel::analytics {

class BCNApp;
class BCNComponentContainer;

// Base of every component instance.
class BCNComponentObject {
 public:
  virtual ~BCNComponentObject() = default;
};

// A protocol: its declared name and a conformance test for instances.
struct BCNProtocol {
  std::string name;
  std::function<bool(const BCNComponentObject&)> conforms;

  // The protocol of interface type P under `name`.
  template <typename P>
  static BCNProtocol of(std::string name) {
    return BCNProtocol{std::move(name), [](const BCNComponentObject& object) {
                         return dynamic_cast<const P*>(&object) != nullptr;
                       }};
  }
};

enum class BCNInstantiationTiming : std::int64_t {
  Lazy = 0,
  AlwaysEager = 1,
  EagerInDefaultApp = 2,
};

// Instances that want a notice before their app goes away.
class BCNComponentLifecycleMaintainer {
 public:
  virtual ~BCNComponentLifecycleMaintainer() = default;
  // `app` is null when the app is already gone.
  virtual void appWillBeDeleted(const std::shared_ptr<BCNApp>& app) = 0;
};

class BCNDependency {
 public:
  static BCNDependency dependencyWithProtocol(BCNProtocol protocol) {
    return BCNDependency(std::move(protocol), true);
  }
  static BCNDependency dependencyWithProtocol(BCNProtocol protocol, bool isRequired) {
    return BCNDependency(std::move(protocol), isRequired);
  }
  BCNDependency(BCNProtocol protocol, bool isRequired)
      : isRequired_(isRequired), protocol_(std::move(protocol)) {}

  bool isRequired() const { return isRequired_; }
  const BCNProtocol& protocol() const { return protocol_; }

 private:
  bool isRequired_;
  BCNProtocol protocol_;
};

// Takes the container and an is-cacheable flag (initially false); answers
// the instance or null.
using BCNComponentCreationBlock =
    std::function<std::shared_ptr<BCNComponentObject>(BCNComponentContainer&, bool* isCacheable)>;

class BCNComponent {
 public:
  // Lazy, no dependencies.
  static BCNComponent componentWithProtocol(BCNProtocol protocol,
                                            BCNComponentCreationBlock creationBlock);
  static BCNComponent componentWithProtocol(BCNProtocol protocol,
                                            BCNInstantiationTiming instantiationTiming,
                                            std::vector<BCNDependency> dependencies,
                                            BCNComponentCreationBlock creationBlock);
  BCNComponent(BCNProtocol protocol, BCNInstantiationTiming instantiationTiming,
               std::vector<BCNDependency> dependencies, BCNComponentCreationBlock creationBlock);

  const BCNProtocol& protocol() const { return protocol_; }
  BCNInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  // Kept for the registrant's own use; the container does not read them.
  const std::vector<BCNDependency>& dependencies() const { return dependencies_; }
  const BCNComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  BCNProtocol protocol_;
  BCNInstantiationTiming instantiationTiming_;
  std::vector<BCNDependency> dependencies_;
  BCNComponentCreationBlock creationBlock_;
};

// A library that offers components.
class BCNLibrary {
 public:
  virtual ~BCNLibrary() = default;
  virtual std::vector<BCNComponent> componentsToRegister() const = 0;
  virtual void configureWithApp(const std::shared_ptr<BCNApp>& /*app*/) {}
};

using BCNLibraryRegistrant = std::shared_ptr<BCNLibrary>;

// Registrants in the order they were first registered (a second
// registration of the same object is ignored). Any thread.
class BCNRegistrantSet {
 public:
  void add(BCNLibraryRegistrant registrant);
  std::vector<BCNLibraryRegistrant> snapshot() const;

 private:
  mutable platform::Mutex mutex_;
  std::vector<BCNLibraryRegistrant> registrants_ VANDREL_GUARDED_BY(mutex_);
};

class BCNComponentContainer {
 public:
  using Instance = std::shared_ptr<BCNComponentObject>;

  // Into the process-wide set: reaches containers made afterwards.
  static void registerAsComponentRegistrant(BCNLibraryRegistrant registrant);
  static void registerAsComponentRegistrant(BCNLibraryRegistrant registrant,
                                            BCNRegistrantSet& set);
  static BCNRegistrantSet& registrantSet();

  // With the process-wide registrants.
  BCNComponentContainer(std::weak_ptr<BCNApp> app, bool appIsDefault);
  BCNComponentContainer(std::weak_ptr<BCNApp> app, bool appIsDefault,
                        const std::vector<BCNLibraryRegistrant>& registrants);
  BCNComponentContainer(const BCNComponentContainer&) = delete;
  BCNComponentContainer& operator=(const BCNComponentContainer&) = delete;

  // Creates every eager component (once; the eager list is dropped).
  void instantiateEagerComponents();
  // The cached instance, else a new one from the stored creation block;
  // null when none is registered or the block answers null.
  Instance instanceForProtocol(const BCNProtocol& protocol);
  Instance instantiateInstanceForProtocol(const BCNProtocol& protocol,
                                          const BCNComponentCreationBlock& block);
  // Notifies lifecycle maintainers among the cached instances, then empties
  // the cache.
  void removeAllCachedInstances();
  void removeAllComponents();

  std::shared_ptr<BCNApp> app() const { return app_.lock(); }
  std::vector<std::string> componentNames() const;
  std::vector<std::string> cachedInstanceNames() const;
  std::vector<std::string> eagerProtocolNamesToInstantiate() const;

 private:
  void populateComponentsFromRegisteredClasses(const std::vector<BCNLibraryRegistrant>& registrants,
                                               bool appIsDefault);

  const std::weak_ptr<BCNApp> app_;
  // Serialises lookups, creation and teardown, held across creation blocks
  // and lifecycle notices (which may re-enter). Taken before mutex_; mutex_
  // itself guards the tables only and is never held across a call out.
  std::recursive_mutex creationGate_;
  mutable platform::Mutex mutex_;
  std::map<std::string, BCNComponentCreationBlock> components_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::string, Instance> cachedInstances_ VANDREL_GUARDED_BY(mutex_);
  std::optional<std::vector<BCNProtocol>> eagerProtocolsToInstantiate_ VANDREL_GUARDED_BY(mutex_);
};

class BCNComponentType {
 public:
  static BCNComponentContainer::Instance instanceForProtocol(const BCNProtocol& protocol,
                                                             BCNComponentContainer& container) {
    return container.instanceForProtocol(protocol);
  }
  // The instance as interface P (null when it does not adopt P).
  template <typename P>
  static std::shared_ptr<P> instanceForProtocolAs(const BCNProtocol& protocol,
                                                  BCNComponentContainer& container) {
    return std::dynamic_pointer_cast<P>(container.instanceForProtocol(protocol));
  }
};

inline constexpr std::string_view kBCNAssociationReentryExceptionName =
    "Reentering registeredObjectWithHost:key:creationBlock: not allowed";

// An object that can carry one associated object per key.
class BCNAssociationHost {
 public:
  BCNAssociationHost() = default;
  virtual ~BCNAssociationHost() = default;
  BCNAssociationHost(const BCNAssociationHost&) = delete;
  BCNAssociationHost& operator=(const BCNAssociationHost&) = delete;

 private:
  friend class BCNAppAssociationRegistration;
  struct Entry {
    std::shared_ptr<void> object;
    std::type_index type = typeid(void);
    // Set while the creation block runs: the thread running it.
    std::optional<std::thread::id> creatingThread;
  };
  // Guarded by BCNAppAssociationRegistration's class lock.
  std::map<std::string, Entry> associations_;
};

class BCNAppAssociationRegistration {
 public:
  // The object registered on `host` under `key`, made by `creationBlock`
  // on first use. The block runs outside the class lock; other threads
  // asking for the same host and key wait for it. Throws BCNException when
  // the block (on its own thread) asks for the same host and key again, or
  // when `key` already holds an object of another type.
  template <typename T>
  static std::shared_ptr<T> registeredObjectWithHost(BCNAssociationHost& host, std::string_view key,
                                                     const std::function<std::shared_ptr<T>()>&
                                                         creationBlock) {
    return std::static_pointer_cast<T>(registeredObject(
        host, key, typeid(T), [&]() -> std::shared_ptr<void> { return creationBlock(); }));
  }

 private:
  static std::shared_ptr<void> registeredObject(BCNAssociationHost& host, std::string_view key,
                                                std::type_index type,
                                                const std::function<std::shared_ptr<void>()>& block);
};

}  // namespace vandrel::analytics
