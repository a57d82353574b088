// The demo service on its own, for trying the application by hand: the
// HTTPS stand-in with the demo account on 127.0.0.1, and a bundle directory
// pinning its certificate. Prints how to start the application against it
// and serves until interrupted.
//
//   vandrel-demo-service DIR

#include <signal.h>

#include <cstdio>
#include <filesystem>

#include "tests/user/demo_service.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  using namespace vandrel::user_testing;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR (where the bundle pinning the service goes)\n", argv[0]);
    return 2;
  }
  // Blocked before any thread starts: sigwait below takes them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const fs::path bundle = fs::absolute(argv[1]) / "Vandrel.app";
  DemoService service;
  service.writeBundle(bundle);
  std::printf("The demo service runs on https://%s (Ctrl-C ends it).\n", service.hostAndPort().c_str());
  std::printf("Start the application against it with:\n\n");
  std::printf("  VANDREL_BUNDLE=%s VANDREL_API_HOSTS=%s build/Vandrel.app/Contents/MacOS/Vandrel\n\n",
              bundle.c_str(), service.hostAndPort().c_str());
  std::printf("and sign in as %s with the password %s.\n",
              std::string(kDemoEmail).c_str(), std::string(kDemoPassword).c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  return 0;
}
