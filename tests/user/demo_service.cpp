#include "tests/user/demo_service.h"

#include "tests/support/test_certs.h"
#include "tools/demo-world/demo_bundle.h"

namespace vandrel::user_testing {
namespace {

namespace fs = std::filesystem;
using test_support::ScriptedReply;

ScriptedReply scripted(const demo::Reply& reply) {
  ScriptedReply scripted;
  scripted.status = reply.status;
  scripted.headers = reply.headers;
  scripted.body = reply.body;
  return scripted;
}

}  // namespace

DemoService::DemoService() : standin_(test_support::ServiceStandin::https()) { script(); }

void DemoService::script() {
  for (const auto& [path, reply] : demo::fixedReplies(catalogue_)) {
    standin_->replyTo(path, scripted(reply));
  }
  // The automatic choice, then each line by its id.
  standin_->replyTo("/api/2/line/connect/0", 200,
                    catalogue_.sessionJson(catalogue_.recommended({}), false));
  for (const demo::DemoLine& line : catalogue_.lines()) {
    standin_->replyTo("/api/2/line/connect/" + std::to_string(line.id), 200,
                      catalogue_.sessionJson(line, false));
  }
}

void DemoService::refuseSignIn() { standin_->replyTo("/api/1/login", scripted(demo::refusedSignIn())); }

void DemoService::acceptSignIn() {
  for (const auto& [path, reply] : demo::fixedReplies(catalogue_)) {
    if (path == "/api/1/login") standin_->replyTo(path, scripted(reply));
  }
}

void DemoService::withholdRegions() { standin_->replyTo("/api/2/line/region", 500, "{}"); }

void DemoService::writeBundle(const fs::path& bundle) const {
  demo::writeDemoBundle(bundle, test_support::TestCertificateAuthority::shared().der());
}

}  // namespace vandrel::user_testing
