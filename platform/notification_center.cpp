#include "platform/notification_center.h"

#include <atomic>
#include <cstdio>
#include <exception>

namespace vandrel::platform {

struct NotificationCenter::Observer {
  std::uint64_t id = 0;
  std::string name;
  const void* object = nullptr;
  // Empty: call on the posting thread.
  std::function<void(Job)> post;
  Callback callback;
  std::atomic<bool> removed{false};

  bool matches(const std::string& postedName, const void* postedObject) const {
    return (name.empty() || name == postedName) && (object == nullptr || object == postedObject);
  }
};

NotificationCenter& NotificationCenter::shared() {
  static auto* center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

ObserverToken NotificationCenter::addObserver(std::string name, const void* object,
                                              std::optional<Queue*> queue, Callback callback) {
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->object = object;
  if (queue.has_value() && *queue != nullptr) observer->post = (*queue)->poster();
  observer->callback = std::move(callback);
  MutexLock lock(mutex_);
  observer->id = nextId_++;
  observers_.push_back(observer);
  return ObserverToken{observer->id};
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::shared_ptr<Observer> removed;
  {
    MutexLock lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
      if ((*it)->id == token.id) {
        removed = std::move(*it);
        observers_.erase(it);
        break;
      }
    }
  }
  if (removed) removed->removed.store(true);
  // `removed` may hold the last reference to the callback, which is then
  // destroyed here, outside the lock.
}

void NotificationCenter::post(std::string name, const void* object, Value::Dictionary userInfo) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    MutexLock lock(mutex_);
    for (const auto& observer : observers_) {
      if (observer->matches(name, object)) matching.push_back(observer);
    }
  }
  if (matching.empty()) return;
  auto notification = std::make_shared<const Notification>(
      Notification{std::move(name), object, std::move(userInfo)});
  for (auto& observer : matching) {
    // Removed by an earlier observer of this same delivery.
    if (observer->removed.load()) continue;
    if (!observer->post) {
      deliver(*observer, *notification);
      continue;
    }
    observer->post([observer, notification] {
      if (!observer->removed.load()) deliver(*observer, *notification);
    });
  }
}

void NotificationCenter::deliver(const Observer& observer, const Notification& notification) {
  try {
    observer.callback(notification);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel: an observer of \"%s\" threw: %s\n", notification.name.c_str(),
                 e.what());
  } catch (...) {
    std::fprintf(stderr, "vandrel: an observer of \"%s\" threw a non-standard exception\n",
                 notification.name.c_str());
  }
}

}  // namespace vandrel::platform
