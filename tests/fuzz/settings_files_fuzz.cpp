// The settings files the system reads back: the application's defaults, the
// crash kit's downloaded settings and its file-backed defaults. The input is
// the file's content. A file that is a JSON object reads as exactly that
// object, and what the store writes back reads the same again; anything
// else reads as empty (or, for the downloaded settings, as none) without
// harm.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "crash/kit/trl_flt_user_defaults.h"
#include "crash/kit/trl_settings.h"
#include "platform/defaults.h"
#include "platform/value.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace crash = vandrel::crash;
namespace platform = vandrel::platform;
using platform::Value;

constexpr std::string_view kAddedKey = "fuzz.added";

std::filesystem::path freshDirectory(std::string_view name) {
  const auto directory = vandrel::fuzz::scratchHome() / "tmp" / name;
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

std::string describe(const Value::Dictionary& dictionary) { return Value(dictionary).toJson(); }

// Compared as text: a stored NaN is not equal to itself.
bool same(const Value::Dictionary& a, const Value::Dictionary& b) {
  return describe(a) == describe(b);
}
bool same(const std::optional<Value::Dictionary>& a, const std::optional<Value::Dictionary>& b) {
  return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

void checkApplicationDefaults(std::string_view bytes, const std::optional<Value::Dictionary>& object) {
  const auto file = freshDirectory("defaults") / "suite.json";
  vandrel::fuzz::writeFile(file, bytes);
  Value::Dictionary expected = object.value_or(Value::Dictionary{});
  {
    platform::Defaults defaults(file);
    VANDREL_FUZZ_CHECK(same(defaults.dictionaryRepresentation(), expected), describe(expected));
    VANDREL_FUZZ_CHECK(defaults.set(kAddedKey, Value(true)), "the store did not reach its file");
    expected[std::string(kAddedKey)] = Value(true);
  }
  platform::Defaults reread(file);
  VANDREL_FUZZ_CHECK(same(reread.dictionaryRepresentation(), expected),
                     "written back: " + describe(reread.dictionaryRepresentation()) +
                         ", expected: " + describe(expected));
}

void checkKitDefaults(std::string_view bytes, const std::optional<Value::Dictionary>& object) {
  const auto base = freshDirectory("kit-defaults");
  const auto directory = crash::TRLFLTUserDefaults::generateDirectoryURLForBaseURL(base, "fuzz");
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  vandrel::fuzz::writeFile(directory / std::string(crash::kTRLUserDefaultsFileName), bytes);
  Value::Dictionary expected = object.value_or(Value::Dictionary{});
  {
    crash::TRLFLTUserDefaults store(base, "fuzz");
    VANDREL_FUZZ_CHECK(same(store.dictionaryRepresentation(), expected), describe(expected));
    store.setInteger(7, kAddedKey);
    VANDREL_FUZZ_CHECK(store.synchronize(), "the kit's store did not reach its file");
    expected[std::string(kAddedKey)] = Value(7);
  }
  crash::TRLFLTUserDefaults reread(base, "fuzz");
  VANDREL_FUZZ_CHECK(same(reread.dictionaryRepresentation(), expected),
                     "written back: " + describe(reread.dictionaryRepresentation()));
}

void checkDownloadedSettings(std::string_view bytes, const std::optional<Value::Dictionary>& object) {
  const auto file = freshDirectory("settings") / std::string(crash::kTRLSettingsFileName);
  vandrel::fuzz::writeFile(file, bytes);
  crash::TRLSettingsAppFacts facts;
  facts.bundleIdentifier = "fuzz";
  crash::TRLSettings settings(file, facts, [](std::string_view) {});
  const auto read = settings.settingsDictionary();
  VANDREL_FUZZ_CHECK(same(read, object), object ? describe(*object) : "not an object");
  (void)settings.appStatus();
  (void)settings.appNeedsOnboarding();
  (void)settings.appUpdateRequired();
  std::error_code error;
  // A file that is not settings is deleted; settings stay.
  VANDREL_FUZZ_CHECK(std::filesystem::exists(file, error) == object.has_value(), file.string());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  vandrel::fuzz::silenceStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = vandrel::fuzz::asText(data, size);
  std::optional<Value::Dictionary> object;
  if (auto parsed = Value::fromJson(bytes); parsed.ok() && parsed.value().asDictionary()) {
    object = *parsed.value().asDictionary();
  }
  checkApplicationDefaults(bytes, object);
  checkKitDefaults(bytes, object);
  checkDownloadedSettings(bytes, object);
  vandrel::fuzz::drainMainQueue();
  return 0;
}
