#pragma once

#include <condition_variable>
#include <mutex>

// Clang's thread-safety annotations. They cost nothing under gcc and are
// checked whenever the tree is built with clang -Wthread-safety.
#if defined(__clang__)
#define VANDREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VANDREL_THREAD_ANNOTATION(x)
#endif

#define VANDREL_CAPABILITY(x) VANDREL_THREAD_ANNOTATION(capability(x))
#define VANDREL_SCOPED_CAPABILITY VANDREL_THREAD_ANNOTATION(scoped_lockable)
#define VANDREL_GUARDED_BY(x) VANDREL_THREAD_ANNOTATION(guarded_by(x))
#define VANDREL_PT_GUARDED_BY(x) VANDREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define VANDREL_REQUIRES(...) VANDREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VANDREL_EXCLUDES(...) VANDREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VANDREL_ACQUIRE(...) VANDREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VANDREL_RELEASE(...) VANDREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VANDREL_NO_THREAD_SAFETY_ANALYSIS VANDREL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vandrel::platform {

// std::mutex with the capability annotation, so guarded fields are checked.
class VANDREL_CAPABILITY("mutex") Mutex {
 public:
  void lock() VANDREL_ACQUIRE() { m_.lock(); }
  void unlock() VANDREL_RELEASE() { m_.unlock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class VANDREL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) VANDREL_ACQUIRE(m) : lock_(m.native()) {}
  ~MutexLock() VANDREL_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For condition variables: waits release and re-acquire the same mutex.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vandrel::platform
