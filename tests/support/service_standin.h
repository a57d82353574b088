#pragma once

// A stand-in for the service's HTTPS API: a real server on 127.0.0.1 (port
// chosen by the system) with scripted replies and a log of every request.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/test_certs.h"

namespace vandrel::test_support {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct ScriptedReply {
  int status = 200;
  HeaderList headers;  // sent in this order; a name may repeat
  std::string body;
  // Waited before the reply's first byte (cut short when the stand-in stops).
  std::chrono::milliseconds delay{0};
};

struct RecordedPart {
  std::string name;
  std::string filename;
  std::string contentType;
  std::string content;
};

struct RecordedRequest {
  std::string method;
  std::string path;   // decoded, without the query
  std::string query;  // the raw text after "?", empty when none
  // As received. The server sorts fields by name (keeping the order among
  // fields of one name): check the sending order on the client side.
  HeaderList headers;
  std::string body;                // empty for a multipart form: see parts
  std::vector<RecordedPart> parts;  // the fields of a multipart form

  // The first value of a header, names compared case-insensitively.
  std::optional<std::string> header(std::string_view name) const;
  // A query parameter or url-encoded form field, decoded.
  std::optional<std::string> param(std::string_view name) const;
  std::vector<std::pair<std::string, std::string>> params;
};

class ServiceStandin {
 public:
  // HTTPS with a certificate of `ca` naming `names`.
  static std::unique_ptr<ServiceStandin> https(
      const TestCertificateAuthority& ca = TestCertificateAuthority::shared(),
      std::vector<std::string> names = {"127.0.0.1", "localhost"});
  // Plain HTTP.
  static std::unique_ptr<ServiceStandin> http();

  ~ServiceStandin();
  ServiceStandin(const ServiceStandin&) = delete;
  ServiceStandin& operator=(const ServiceStandin&) = delete;

  std::uint16_t port() const;
  // "127.0.0.1:PORT"
  std::string hostAndPort() const;
  // "https://127.0.0.1:PORT" (or http://) followed by `pathAndQuery`.
  std::string url(std::string_view pathAndQuery = "") const;
  // The certificate the server presents (DER); empty for plain HTTP.
  const std::string& certificateDer() const;

  // Replies to every method on `path` (exact match). A later script for the
  // same path replaces the earlier one. Unscripted paths get 404 and an
  // empty body.
  void replyTo(std::string path, ScriptedReply reply);
  void replyTo(std::string path, int status, std::string body);
  void replyTo(std::string method, std::string path, ScriptedReply reply);
  // Reads each request, then closes the connection without a reply (the
  // client sees a transport error). The request is still logged.
  void dropEveryConnection(bool drop = true);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(std::string_view path) const;
  void clearLog();
  // Succeeds once `count` requests to `path` have been logged.
  ::testing::AssertionResult waitForRequest(std::string_view path,
                                            std::chrono::milliseconds timeout,
                                            std::size_t count = 1) const;

  struct Impl;

 private:
  explicit ServiceStandin(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vandrel::test_support
