#include "analytics/core/bcn_component_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analytics/core/bcn_logger.h"
#include "platform/sync.h"
#include "tests/analytics/bcn_test_support.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;

using bcn_test::CapturedLines;

class Storage {
 public:
  virtual ~Storage() = default;
};
class Auth {
 public:
  virtual ~Auth() = default;
};

class StorageImpl : public BCNComponentObject, public Storage {
 public:
  explicit StorageImpl(std::string maker) : maker(std::move(maker)) {}
  std::string maker;
};

class AuthImpl : public BCNComponentObject, public Auth, public BCNComponentLifecycleMaintainer {
 public:
  explicit AuthImpl(std::shared_ptr<BCNComponentObject> storage) : storage(std::move(storage)) {}
  void appWillBeDeleted(const std::shared_ptr<BCNApp>& app) override {
    ++deletions;
    appWasNull = app == nullptr;
  }
  std::shared_ptr<BCNComponentObject> storage;
  int deletions = 0;
  bool appWasNull = false;
};

class NotAuth : public BCNComponentObject {};

const BCNProtocol kStorage = BCNProtocol::of<Storage>("BCNStorageProvider");
const BCNProtocol kAuth = BCNProtocol::of<Auth>("BCNAuthProvider");

// A registrant whose components are given by the test; counts creations.
class TestLibrary : public BCNLibrary {
 public:
  std::vector<BCNComponent> componentsToRegister() const override { return components; }
  std::vector<BCNComponent> components;
};

std::shared_ptr<TestLibrary> storageLibrary(std::string maker, BCNInstantiationTiming timing,
                                            bool cacheable, std::atomic<int>* created) {
  auto library = std::make_shared<TestLibrary>();
  library->components.push_back(BCNComponent::componentWithProtocol(
      kStorage, timing, {BCNDependency::dependencyWithProtocol(kAuth, false)},
      [maker, cacheable, created](BCNComponentContainer&, bool* isCacheable) {
        if (created != nullptr) ++*created;
        *isCacheable = cacheable;
        return std::make_shared<StorageImpl>(maker);
      }));
  return library;
}

TEST(BCNComponentContainerTest, FirstRegistrationOfAProtocolWins) {
  CapturedLines captured;
  BCNRegistrantSet set;
  BCNComponentContainer::registerAsComponentRegistrant(
      storageLibrary("first", BCNInstantiationTiming::Lazy, true, nullptr), set);
  BCNComponentContainer::registerAsComponentRegistrant(
      storageLibrary("second", BCNInstantiationTiming::Lazy, true, nullptr), set);
  BCNComponentContainer container({}, true, set.snapshot());

  auto storage = std::dynamic_pointer_cast<StorageImpl>(container.instanceForProtocol(kStorage));
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->maker, "first");
  EXPECT_EQ(captured.lines(),
            std::vector<std::string>{"6.28.0 - [Beacon/Core][I-COR000029] Attempted to register "
                                     "protocol BCNStorageProvider, but it already has an "
                                     "implementation."});
}

TEST(BCNComponentContainerTest, RegistrantSetKeepsOrderAndIgnoresRepeats) {
  BCNRegistrantSet set;
  auto a = storageLibrary("a", BCNInstantiationTiming::Lazy, true, nullptr);
  auto b = storageLibrary("b", BCNInstantiationTiming::Lazy, true, nullptr);
  set.add(a);
  set.add(b);
  set.add(a);
  set.add(nullptr);
  EXPECT_EQ(set.snapshot(), (std::vector<BCNLibraryRegistrant>{a, b}));
}

TEST(BCNComponentContainerTest, EagerTimingDependsOnTheDefaultApp) {
  struct Case {
    BCNInstantiationTiming timing;
    bool defaultApp;
    int createdByEagerPass;
  };
  const Case cases[] = {
      {BCNInstantiationTiming::Lazy, true, 0},
      {BCNInstantiationTiming::AlwaysEager, false, 1},
      {BCNInstantiationTiming::EagerInDefaultApp, true, 1},
      {BCNInstantiationTiming::EagerInDefaultApp, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "timing " << static_cast<int>(c.timing) << " default "
                                    << c.defaultApp);
    std::atomic<int> created{0};
    BCNComponentContainer container({}, c.defaultApp,
                                    {storageLibrary("s", c.timing, true, &created)});
    container.instantiateEagerComponents();
    EXPECT_EQ(created.load(), c.createdByEagerPass);
    EXPECT_TRUE(container.eagerProtocolNamesToInstantiate().empty());  // dropped after the pass
    container.instantiateEagerComponents();
    (void)container.instanceForProtocol(kStorage);
    EXPECT_EQ(created.load(), 1);  // cached: made once either way
  }
}

TEST(BCNComponentContainerTest, UncacheableBlockMakesANewInstancePerLookup) {
  std::atomic<int> created{0};
  BCNComponentContainer container({}, true,
                                  {storageLibrary("s", BCNInstantiationTiming::Lazy, false, &created)});
  auto first = container.instanceForProtocol(kStorage);
  auto second = container.instanceForProtocol(kStorage);
  EXPECT_NE(first, second);
  EXPECT_EQ(created.load(), 2);
  EXPECT_TRUE(container.cachedInstanceNames().empty());
  EXPECT_FALSE(container.instanceForProtocol(kAuth));  // nothing registered for it
}

TEST(BCNComponentContainerTest, NonConformingInstanceIsLoggedAndStillReturned) {
  CapturedLines captured;
  auto library = std::make_shared<TestLibrary>();
  library->components.push_back(BCNComponent::componentWithProtocol(
      kAuth, [](BCNComponentContainer&, bool*) { return std::make_shared<NotAuth>(); }));
  BCNComponentContainer container({}, true, {library});
  EXPECT_TRUE(std::dynamic_pointer_cast<NotAuth>(container.instanceForProtocol(kAuth)));
  EXPECT_EQ(captured.lines(),
            std::vector<std::string>{
                "6.28.0 - [Beacon/Core][I-COR000030] An instance conforming to BCNAuthProvider "
                "was requested, but the instance provided does not conform to the protocol"});
}

// Auth's creation block looks up Storage in the same container: the
// serialisation is re-entrant. Teardown then notifies the maintainer once.
TEST(BCNComponentContainerTest, CreationMayLookUpAndTeardownNotifiesMaintainers) {
  std::atomic<int> created{0};
  auto library = storageLibrary("s", BCNInstantiationTiming::Lazy, true, &created);
  library->components.push_back(BCNComponent::componentWithProtocol(
      kAuth, BCNInstantiationTiming::AlwaysEager, {BCNDependency::dependencyWithProtocol(kStorage)},
      [](BCNComponentContainer& container, bool* isCacheable) {
        *isCacheable = true;
        return std::make_shared<AuthImpl>(container.instanceForProtocol(kStorage));
      }));
  BCNComponentContainer container({}, false, {library});
  container.instantiateEagerComponents();
  auto auth = std::dynamic_pointer_cast<AuthImpl>(
      BCNComponentType::instanceForProtocol(kAuth, container));
  ASSERT_TRUE(auth);
  EXPECT_EQ(auth->storage, container.instanceForProtocol(kStorage));
  EXPECT_EQ(created.load(), 1);
  EXPECT_TRUE(BCNComponentType::instanceForProtocolAs<Auth>(kAuth, container));

  container.removeAllComponents();
  container.removeAllCachedInstances();
  EXPECT_EQ(auth->deletions, 1);
  EXPECT_TRUE(auth->appWasNull);
  EXPECT_TRUE(container.componentNames().empty());
  EXPECT_FALSE(container.instanceForProtocol(kAuth));
}

TEST(BCNComponentContainerTest, ConcurrentLookupsCreateACacheableInstanceOnce) {
  std::atomic<int> created{0};
  BCNComponentContainer container({}, true,
                                  {storageLibrary("s", BCNInstantiationTiming::Lazy, true, &created)});
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<BCNComponentObject>> results(8);
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = container.instanceForProtocol(kStorage); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(created.load(), 1);
  for (const auto& result : results) EXPECT_EQ(result, results[0]);
}

// ---- Association registry

struct Holder {
  int value = 0;
};

TEST(BCNAppAssociationRegistrationTest, OneObjectPerHostAndKey) {
  BCNAssociationHost host;
  BCNAssociationHost other;
  int calls = 0;
  auto make = [&]() -> std::shared_ptr<Holder> {
    ++calls;
    return std::make_shared<Holder>(Holder{calls});
  };
  auto first = BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k", make);
  EXPECT_EQ(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k", make), first);
  EXPECT_NE(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k2", make), first);
  EXPECT_NE(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(other, "k", make), first);
  EXPECT_EQ(calls, 3);
}

TEST(BCNAppAssociationRegistrationTest, ReenteringForTheSameKeyThrowsAndLeavesNoMarker) {
  BCNAssociationHost host;
  std::function<std::shared_ptr<Holder>()> reenter = [&]() -> std::shared_ptr<Holder> {
    // Another key of the same host is fine from inside a block.
    EXPECT_TRUE(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(
        host, "inner", [] { return std::make_shared<Holder>(); }));
    return BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k", reenter);
  };
  try {
    (void)BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k", reenter);
    FAIL() << "no exception";
  } catch (const BCNException& e) {
    EXPECT_EQ(e.name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
    EXPECT_NE(e.reason().find(" key: k"), std::string::npos);
    EXPECT_EQ(e.reason().rfind("host: ", 0), 0u);
  }
  // The failed creation left the key free: a later call creates it.
  auto made = BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(
      host, "k", [] { return std::make_shared<Holder>(Holder{7}); });
  ASSERT_TRUE(made);
  EXPECT_EQ(made->value, 7);
}

TEST(BCNAppAssociationRegistrationTest, NullResultIsNotKept) {
  BCNAssociationHost host;
  EXPECT_FALSE(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(
      host, "k", [] { return std::shared_ptr<Holder>(); }));
  EXPECT_TRUE(BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(
      host, "k", [] { return std::make_shared<Holder>(); }));
}

TEST(BCNAppAssociationRegistrationTest, OtherThreadWaitsForTheCreationUnderWay) {
  BCNAssociationHost host;
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto creator = std::async(std::launch::async, [&] {
    return BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(host, "k", [&] {
      started.set_value();
      released.wait_for(10s);
      return std::make_shared<Holder>(Holder{1});
    });
  });
  ASSERT_EQ(started.get_future().wait_for(10s), std::future_status::ready);
  auto waiter = std::async(std::launch::async, [&] {
    return BCNAppAssociationRegistration::registeredObjectWithHost<Holder>(
        host, "k", [] { return std::make_shared<Holder>(Holder{2}); });
  });
  EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);  // blocked, not thrown
  release.set_value();
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  const auto made = creator.get();
  EXPECT_EQ(waiter.get(), made);
  EXPECT_EQ(made->value, 1);
}

}  // namespace
}  // namespace vandrel::analytics
