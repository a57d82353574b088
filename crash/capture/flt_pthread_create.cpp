// The executable's own `pthread_create`. Linked only into the programs that
// enable crash capture (the application, the crash test programs) and
// exported from them, so the dynamic linker binds every library's call to
// it: threads that Qt, gRPC, libcurl or the C++ runtime start get an
// alternate signal stack before their own code runs. It hands the call on
// to the next definition (the C library's).

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include "crash/capture/flt_thread_stacks.h"

namespace {

vandrel::crash::FLTPthreadCreateFunction nextPthreadCreate() noexcept {
  static std::atomic<vandrel::crash::FLTPthreadCreateFunction> next{nullptr};
  vandrel::crash::FLTPthreadCreateFunction found = next.load(std::memory_order_acquire);
  if (found == nullptr) {
    // Two threads may look it up at once: both find the same definition.
    found = reinterpret_cast<vandrel::crash::FLTPthreadCreateFunction>(
        dlsym(RTLD_NEXT, "pthread_create"));
    next.store(found, std::memory_order_release);
  }
  return found;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(
    pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
    void* argument) noexcept {
  return vandrel::crash::FLTThreadStacksCreateThread(nextPthreadCreate(), thread, attributes,
                                                     routine, argument);
}
