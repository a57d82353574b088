#include "connection/accel_transport.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace vandrel::connection {
namespace {

constexpr std::string_view kTransportErrorDomain = "AccelTransport";

struct Loaded {
  MakeAccelTransportFunction make = nullptr;
  std::string error;
};

// Loaded once and kept: the gRPC library's threads outlive any caller.
// Local scope: its dependencies stay out of the program's symbol lookups.
const Loaded& module() {
  static const Loaded loaded = [] {
    Loaded result;
    // The bundle's executable: Contents/MacOS/../Frameworks. Any other
    // program: its run path.
    void* handle = nullptr;
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
      const std::filesystem::path beside =
          exe.parent_path().parent_path() / "Frameworks" / kAccelTransportModule;
      if (std::filesystem::exists(beside, error)) {
        handle = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
      }
    }
    if (handle == nullptr) handle = ::dlopen(kAccelTransportModule, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      result.error = why != nullptr ? why : "dlopen failed";
      return result;
    }
    result.make = reinterpret_cast<MakeAccelTransportFunction>(
        ::dlsym(handle, kMakeAccelTransportSymbol));
    if (result.make == nullptr) result.error = std::string(kMakeAccelTransportSymbol) + " missing";
    return result;
  }();
  return loaded;
}

}  // namespace

platform::Result<std::unique_ptr<AccelTransport>> makeAccelTransport(
    const std::string& address, const AccelTransportOptions& options) {
  const Loaded& loaded = module();
  if (loaded.make == nullptr) {
    return platform::Error{std::string(kTransportErrorDomain), 1,
                           "the daemon client cannot be loaded: " + loaded.error};
  }
  return std::unique_ptr<AccelTransport>(loaded.make(address.c_str(), &options));
}

}  // namespace vandrel::connection
