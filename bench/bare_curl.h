#pragma once

// A bare libcurl request on one reused connection, trusting the tests'
// certificate authority: the yardstick the benchmarks set the client's own
// requests against.

#include <curl/curl.h>

#include <string>

namespace vandrel::bench {

class BareCurl {
 public:
  BareCurl(const std::string& url, const std::string& caPem)
      : easy_(curl_easy_init()), url_(url), ca_(caPem) {
    curl_blob blob{ca_.data(), ca_.size(), CURL_BLOB_COPY};
    curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION,
                     +[](char* data, size_t size, size_t n, void* user) -> size_t {
                       static_cast<std::string*>(user)->append(data, size * n);
                       return size * n;
                     });
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
  }
  ~BareCurl() { curl_easy_cleanup(easy_); }
  BareCurl(const BareCurl&) = delete;
  BareCurl& operator=(const BareCurl&) = delete;

  // One request; whether it succeeded. body() holds its reply.
  bool perform() {
    body_.clear();
    return curl_easy_perform(easy_) == CURLE_OK;
  }
  const std::string& body() const { return body_; }

 private:
  CURL* easy_;
  std::string url_;
  std::string ca_;
  std::string body_;
};

}  // namespace vandrel::bench
