#include "tests/crash/crasher/thread_library.h"

#include <pthread.h>

#include <cstdlib>

namespace {

struct Job {
  void (*body)(void*);
  void* argument;
};

void* run(void* raw) {
  Job job = *static_cast<Job*>(raw);
  std::free(raw);
  job.body(job.argument);
  return nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int flt_test_library_start_thread(
    void (*body)(void*), void* argument) {
  auto* job = static_cast<Job*>(std::malloc(sizeof(Job)));
  if (job == nullptr) return 12;
  *job = Job{body, argument};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, run, job);
  pthread_attr_destroy(&attributes);
  if (result != 0) std::free(job);
  return result;
}
