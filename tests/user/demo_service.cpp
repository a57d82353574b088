#include "tests/user/demo_service.h"

#include <fstream>
#include <stdexcept>

#include "core/cert_bundle.h"
#include "tests/support/test_certs.h"

namespace vandrel::user_testing {
namespace {

namespace fs = std::filesystem;
using test_support::ScriptedReply;

constexpr const char* kOk = R"({"status":"ok","code":0})";

// Lines on loopback addresses: they answer ping wherever the application
// runs, each region on an address of its own. The flag keys are names, not
// addresses: the rows show the placeholder flag.
constexpr const char* kRegions =
    R"({"status":"ok","code":0,"regions":[)"
    R"({"code":"jp","name":"Japan","icon":"flag_jp","lines":[)"
    R"({"id":11,"name":"Tokyo 1","location":"Tokyo","ipaddr":"127.0.0.1"}]},)"
    R"({"code":"de","name":"Germany","icon":"flag_de","lines":[)"
    R"({"id":21,"name":"Frankfurt 1","location":"Frankfurt","ipaddr":"127.0.0.2"}]},)"
    R"({"code":"us","name":"USA","icon":"flag_us","lines":[)"
    R"({"id":31,"name":"Los Angeles 1","location":"Los Angeles","ipaddr":"127.0.0.3"}]}]})";

std::string session(int lineId) {
  return R"({"status":"ok","code":0,"lineID":)" + std::to_string(lineId) +
         R"(,"boostSession":"demo-session-)" + std::to_string(lineId) +
         R"(","config":{"SSConf":{"server":"198.51.100.7","port":8388,)"
         R"("password":"demo","method":"chacha20"}}})";
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

DemoService::DemoService() : standin_(test_support::ServiceStandin::https()) { script(); }

void DemoService::script() {
  acceptSignIn();
  standin_->replyTo("/api/1/ip", 200, R"({"status":"ok","code":0,"ip":"192.0.2.9","location":"de"})");
  standin_->replyTo("/api/1/app/links", 200, kOk);
  standin_->replyTo("/api/1/user/misc-info", 200,
                    std::string(R"({"status":"ok","code":0,"remaining_days":30,"expired":false,)"
                                R"("email_verified":true,"purchased":true,)"
                                R"("expire_at_time":1900000000,"user_id":77,"password_setup":true,)"
                                R"("ads_free":false,"remaining_seconds":1,"email":")") +
                        std::string(kDemoEmail) + R"("})");
  standin_->replyTo("/api/2/line/region", 200, kRegions);
  // The automatic choice, then each line by its id.
  standin_->replyTo("/api/2/line/connect/0", 200, session(11));
  for (const int line : {11, 21, 31}) {
    standin_->replyTo("/api/2/line/connect/" + std::to_string(line), 200, session(line));
    standin_->replyTo("/api/2/line/disconnect/" + std::to_string(line), 200, kOk);
  }
  standin_->replyTo("/api/1/logout", 200, kOk);
  standin_->replyTo("/api/2/log", 200, kOk);
  standin_->replyTo("/api/2/log/file", 200, kOk);
}

void DemoService::refuseSignIn() {
  standin_->replyTo("/api/1/login", 200,
                    R"({"status":"fail","code":10002,"error":")" + std::string(kRefusedMessage) +
                        R"("})");
}

void DemoService::acceptSignIn() {
  ScriptedReply login;
  login.headers = {{"Set-Cookie", "ABS_KRLWIFISS=demo-cookie; Path=/"}};
  login.body = kOk;
  standin_->replyTo("/api/1/login", login);
}

void DemoService::withholdRegions() { standin_->replyTo("/api/2/line/region", 500, "{}"); }

void DemoService::writeBundle(const fs::path& bundle) const {
  writeFile(bundle / "Contents/Info.json",
            R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
            R"("CFBundleShortVersionString":"1.0.0","CFBundleVersion":"1"})");
  auto packed = core::packCertBundle({test_support::TestCertificateAuthority::shared().der()});
  if (!packed.ok()) throw std::runtime_error("cannot pack the stand-in's certificate");
  writeFile(bundle / "Contents/Resources/icon.xcImage", packed.value());
}

}  // namespace vandrel::user_testing
