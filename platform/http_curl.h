#pragma once

// libcurl as the HTTP engine reaches it: the library is opened when the
// first engine starts, not with the program. Linked, it and the libraries
// it needs (GnuTLS, Kerberos, LDAP, SSH, IDN...) were loaded and relocated
// before main() on every start, about a fifth of what the loader does,
// though no request leaves before the first window shows.
//
// Only the engine's own .cpp files include this header (it brings curl.h).

#include <curl/curl.h>

namespace vandrel::platform::curl {

// The entry points the engine calls, by their names without "curl_".
// Called through these pointers, variadic ones (easy_setopt, easy_getinfo)
// take the same argument types as the functions themselves.
struct Api {
  decltype(&::curl_global_init) global_init;
  decltype(&::curl_free) free;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_multi_wakeup) multi_wakeup;
  decltype(&::curl_multi_timeout) multi_timeout;
  decltype(&::curl_multi_info_read) multi_info_read;
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_reset) easy_reset;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_mime_init) mime_init;
  decltype(&::curl_mime_free) mime_free;
  decltype(&::curl_mime_addpart) mime_addpart;
  decltype(&::curl_mime_name) mime_name;
  decltype(&::curl_mime_data) mime_data;
  decltype(&::curl_mime_filename) mime_filename;
  decltype(&::curl_mime_type) mime_type;
  decltype(&::curl_url) url;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_get) url_get;
  decltype(&::curl_url_cleanup) url_cleanup;
};

// The library, opened on the first call (once per process, never closed:
// its threads and connections outlive any caller). A library that cannot
// be opened, or lacks an entry point, ends the process with the loader's
// reason: the engine has no way to send anything without it.
const Api& api();

}  // namespace vandrel::platform::curl
