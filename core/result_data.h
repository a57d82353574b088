#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/value.h"

namespace vandrel::core {

// The outcome of a service API call or of a connect step. Promises of it are
// always fulfilled: a failure is a ResultData whose isSuccess is false, with
// the error text in `message` and a code (-1 for local failures).
//
// A plain value: copies are independent, so a result can cross queues
// without sharing mutable state.
struct ResultData {
  // On success the whole decoded reply object; empty on every failure.
  platform::Value::Dictionary jsonData;
  // On success the reply's "status" text; on failure the error text.
  std::string message;
  // On success the session-cookie pair from the reply's "Set-Cookie".
  std::string cookie;
  std::int64_t code = 0;
  bool isSuccess = false;
  // On success the raw reply body (bytes); empty on failure.
  std::string response;
  // True when the service's reply produced this result (a readable
  // envelope), false for local, transport and cancellation failures: a
  // caller forgets stored credentials only when the service refused them.
  bool fromServiceReply = false;

  ResultData() = default;
  // Arguments in the system's order: message, jsonData, cookie, code,
  // isSuccess, response.
  ResultData(std::string message, platform::Value::Dictionary jsonData, std::string cookie,
             std::int64_t code, bool isSuccess, std::string response = {})
      : jsonData(std::move(jsonData)),
        message(std::move(message)),
        cookie(std::move(cookie)),
        code(code),
        isSuccess(isSuccess),
        response(std::move(response)) {}

  // Message "ok", code 0, isSuccess true, everything else empty.
  static ResultData success() { return ResultData("ok", {}, "", 0, true); }
  // `message`, code -1 (unless given), isSuccess false, everything else empty.
  static ResultData failure(std::string message, std::int64_t code = -1) {
    return ResultData(std::move(message), {}, "", code, false);
  }
};

}  // namespace vandrel::core
