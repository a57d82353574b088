#include "platform/http_curl.h"

#include <dlfcn.h>

#include <string>

#include "platform/check.h"

namespace vandrel::platform::curl {
namespace {

// The soname the headers were built for (libcurl's ABI 4).
constexpr const char* kLibrary = "libcurl.so.4";

[[noreturn]] void fail(const std::string& why) {
  const std::string message = std::string(kLibrary) + why;
  checkFailed(__FILE__, __LINE__, kLibrary, message.c_str());
}

template <typename F>
void bind(void* handle, const char* name, F& slot) {
  void* symbol = ::dlsym(handle, name);
  if (symbol == nullptr) fail(std::string(" has no ") + name);
  slot = reinterpret_cast<F>(symbol);
}

Api load() {
  // Local: its dependencies stay out of the lookups of every later symbol.
  void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    fail(std::string(" cannot be loaded: ") + (why != nullptr ? why : "unknown reason"));
  }
  Api api{};
#define VANDREL_CURL_BIND(name) bind(handle, "curl_" #name, api.name)
  VANDREL_CURL_BIND(global_init);
  VANDREL_CURL_BIND(free);
  VANDREL_CURL_BIND(multi_init);
  VANDREL_CURL_BIND(multi_cleanup);
  VANDREL_CURL_BIND(multi_add_handle);
  VANDREL_CURL_BIND(multi_remove_handle);
  VANDREL_CURL_BIND(multi_perform);
  VANDREL_CURL_BIND(multi_poll);
  VANDREL_CURL_BIND(multi_wakeup);
  VANDREL_CURL_BIND(multi_timeout);
  VANDREL_CURL_BIND(multi_info_read);
  VANDREL_CURL_BIND(easy_init);
  VANDREL_CURL_BIND(easy_cleanup);
  VANDREL_CURL_BIND(easy_reset);
  VANDREL_CURL_BIND(easy_setopt);
  VANDREL_CURL_BIND(easy_getinfo);
  VANDREL_CURL_BIND(slist_append);
  VANDREL_CURL_BIND(slist_free_all);
  VANDREL_CURL_BIND(mime_init);
  VANDREL_CURL_BIND(mime_free);
  VANDREL_CURL_BIND(mime_addpart);
  VANDREL_CURL_BIND(mime_name);
  VANDREL_CURL_BIND(mime_data);
  VANDREL_CURL_BIND(mime_filename);
  VANDREL_CURL_BIND(mime_type);
  VANDREL_CURL_BIND(url);
  VANDREL_CURL_BIND(url_set);
  VANDREL_CURL_BIND(url_get);
  VANDREL_CURL_BIND(url_cleanup);
#undef VANDREL_CURL_BIND
  return api;
}

}  // namespace

const Api& api() {
  static const Api loaded = load();
  return loaded;
}

}  // namespace vandrel::platform::curl

// libcurl (built with OpenSSL) also links a streaming-protocol library and a
// directory client that use GnuTLS, which sets itself up as it loads:
// crypto back-ends, its configuration, PKCS#11 — CPU on the engine's first
// start and memory that stays resident, for TLS this program never does
// with it. GnuTLS looks for this hook in the program and then leaves its
// set-up to gnutls_global_init(), which both of those libraries call before
// they use it.
extern "C" int _gnutls_global_init_skip(void) { return 1; }
