#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/account_records.h"
#include "core/qv_device_info.h"
#include "core/result_data.h"
#include "core/service_hooks.h"
#include "platform/http.h"
#include "platform/promise.h"
#include "platform/value.h"

namespace vandrel::platform {
class Bundle;
class Clock;
}  // namespace vandrel::platform

namespace vandrel::core {

class ConnectionPort;
class LineItem;
class LogRecord;
class MiscInfo;
class StaticData;

// Texts the transport answers with itself.
inline constexpr std::string_view kForbiddenAreaMessage =
    "Due to local law or network policy, we are unable to serve in your region, sorry for the "
    "inconvenience.";
inline constexpr std::string_view kDataDecodeErrorMessage = "Data Decode Error";
inline constexpr std::string_view kEmptyMessage = "Empty Message";
inline constexpr std::string_view kForeignAccountMessage = "请使用翎渡账号登录。";
inline constexpr std::string_view kCancelledMessage = "cancelled";
inline constexpr std::string_view kUploadDecodeErrorMessage = "decode error";
inline constexpr std::string_view kUploadUnknownMessage = "unKnow";
// The session cookie's name in "Set-Cookie".
inline constexpr std::string_view kSessionCookieName = "ABS_KRLWIFISS=";
// A request whose URL contains this is a remote-log upload: its failures
// never report themselves as a "bad_url_log", and an undecodable reply to
// it is not counted towards the host switch.
inline constexpr std::string_view kLogUploadPathMarker = "/api/2/log";

// How a qv_Network is set up beyond its collaborators.
struct qv_NetworkOptions {
  // Where "icon.xcImage" is read from; nullptr: the main bundle.
  const platform::Bundle* bundle = nullptr;
  // The CA file that the log-file upload's default trust uses instead of
  // the system store; empty: the system store.
  std::string uploadCaFile;
  // nullptr: the process's engine.
  platform::HttpEngine* engine = nullptr;
};

// The client of the service's HTTPS API: one session pinned to the bundle's
// certificates for every API host, the request builder, the response
// processor and the calls of the service's endpoints.
//
// Every call returns a promise of ResultData that is always fulfilled; a
// failure is a result whose isSuccess is false; a cancelled request settles
// with "cancelled", code -1. The builder runs on the caller's thread (any
// thread) and hands the request to the engine; each reply stops on the
// main queue (its log line), which must therefore run (the application's
// event loop, or a test pumping it), and is processed on the global queue.
// Nothing here waits on the main thread.
//
// When the certificate bundle is missing or malformed, requests to the API
// hosts are refused locally (code -1, an error line); they are never sent
// unpinned.
//
// Lifetime: the shared instance lives for the process. Another instance
// must outlive its requests: destroy it only once pendingCount() is 0.
class qv_Network {
 public:
  enum class Method { GET, POST };
  // JSON: the parameters are one JSON object in the body. URL: for GET the
  // query string, for POST an "application/x-www-form-urlencoded" body.
  enum class Encoding { json, url };
  using Parameters = platform::Value::Dictionary;

  using Options = qv_NetworkOptions;

  // The process's transport (leaked), over the shared catalogue, session
  // and connection port, with the default service hooks.
  static qv_Network& shared();

  qv_Network(StaticData& staticData, MiscInfo& session, ConnectionPort& port, DeviceFacts device,
             ServiceHooks hooks, const platform::Clock& clock, Options options = {});
  ~qv_Network();
  qv_Network(const qv_Network&) = delete;
  qv_Network& operator=(const qv_Network&) = delete;

  // ---- Transport ------------------------------------------------------------

  // The eight parameters every request through the builder carries, built
  // afresh.
  Parameters commonParameters() const;

  // Builds and sends one request. `path` is a whole URL when it begins with
  // "http", else it goes after "https://" + the current host, with "/api/1"
  // in between unless the path contains "/api/2". The caller's parameters
  // win over the common ones; a stored login cookie is sent as "Cookie".
  platform::Promise<ResultData> request(
      std::string_view path, Method method, std::optional<Parameters> parameters, Encoding encoding,
      std::optional<platform::HttpHeaders> headers = std::nullopt);

  // The result of a reply to the request sent to `requestUrl`.
  ResultData handleResponse(const std::string& requestUrl, const platform::HttpResponse& response);
  // The result of a request to `requestUrl` that failed with a transport
  // error.
  ResultData handleRequestError(const std::string& requestUrl, const platform::Error& error);

  // Cancels every request of the API session now in flight (sign-out).
  // Each settles with "cancelled", code -1.
  void cancelAllTasks();

  // Requests (and log-file uploads) whose promise has not been fulfilled.
  std::size_t pendingCount() const { return pending_->load(); }

  // ---- Calls of the service -------------------------------------------------

  // POST "/api/2/log" (JSON): one record for the service's log collection.
  platform::Promise<ResultData> uploadLogRecord(std::string_view project, std::string_view logStore,
                                                const LogRecord& record);
  // POST "/api/2/line/connectfree" (JSON).
  platform::Promise<ResultData> connectFree();
  // POST "/api/2/line/connect/<id>" (JSON); without a line the service
  // recommends one.
  platform::Promise<ResultData> connectLine(const std::shared_ptr<LineItem>& line);
  // POST "/api/2/line/disconnect/<id>" (JSON).
  platform::Promise<ResultData> disconnectLine(const std::shared_ptr<LineItem>& line);
  // POST "/login" (URL form).
  platform::Promise<ResultData> login(const std::string& account, const std::string& password,
                                      LoginAuthType authType, const std::string& callCode,
                                      const std::string& smsCode);
  // GET "/goods" (URL form); "plan" only when not empty.
  platform::Promise<ResultData> goods(const std::string& type, const std::string& plan);
  // GET "/app/notifications" (URL form).
  platform::Promise<ResultData> notifications();
  // POST "/app/notifications/<id>/read" (URL form).
  platform::Promise<ResultData> readNotification(const std::string& id);
  // POST "https://" + the current host + "/api/2/log/file", a multipart
  // form with one "file" part, through a plain session (system trust, no
  // cookie, no common parameters, also in a forbidden area). Fulfilled on
  // the main queue; success only with status "ok" and code 0.
  platform::Promise<ResultData> uploadLogFile(std::string data, std::string fileName);

 private:
  struct Sessions;
  struct Outgoing;

  // The pinned API session, made on first use.
  std::shared_ptr<Sessions> sessions();
  std::shared_ptr<Sessions> makeSessions() const;
  ResultData refuseLocally(const std::string& message) const;
  void send(Outgoing outgoing, platform::Promise<ResultData> promise);
  void finish(const Outgoing& outgoing, platform::HttpResponse response,
              const platform::Promise<ResultData>& promise);
  ResultData envelopeFailure(const std::string& requestUrl,
                             const platform::Value::Dictionary& reply, std::int64_t code,
                             const std::string& error);
  static ResultData uploadResult(const platform::HttpResponse& response);

  StaticData& staticData_;
  MiscInfo& session_;
  ConnectionPort& port_;
  const DeviceFacts device_;
  const ServiceHooks hooks_;
  const platform::Clock& clock_;
  const Options options_;

  // One caller builds the sessions; the others wait for it.
  std::once_flag sessionsBuilt_;
  platform::Mutex sessionsMutex_;
  std::shared_ptr<Sessions> sessions_ VANDREL_GUARDED_BY(sessionsMutex_);
  // Shared with the jobs in flight, which may outlive a check of it.
  std::shared_ptr<std::atomic<std::size_t>> pending_;
};

}  // namespace vandrel::core
