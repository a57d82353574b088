#pragma once

// Facts about the host application, read from its bundle information.

#include <optional>
#include <string>
#include <string_view>

#include "analytics/tally/tly_logger.h"
#include "platform/value.h"

namespace vandrel::analytics {

inline constexpr std::string_view kTLYExtensionMalformedMessage =
    "Error: NSExtension Info.plist entry is mal-formed %@\n";
inline constexpr std::string_view kTLYExtensionPointMalformedMessage =
    "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n";

// The application object, for the parts of the kit that need one. The
// plain-C++ layers have none: the app may hand one in.
class TLYApplicationObject {
 public:
  virtual ~TLYApplicationObject() = default;
};

// Immutable; any thread.
class TLYApplication {
 public:
  // A new instance over the main bundle's information (every call).
  static TLYApplication hostApplication();

  explicit TLYApplication(platform::Value::Dictionary infoPlistDict,
                          TLYSystemLog systemLog = TLYDefaultSystemLog(),
                          TLYApplicationObject* application = nullptr);

  const platform::Value::Dictionary& infoPlistDict() const { return infoPlistDict_; }

  // "CFBundleIdentifier", "CFBundleVersion", "CFBundleShortVersionString"
  // when they are strings.
  std::optional<std::string> bundleIdentifier() const;
  std::optional<std::string> bundleVersion() const;
  std::optional<std::string> shortVersionString() const;

  // "NSExtension" when it is a dictionary; a value of another type is
  // reported to the system log and reads as absent.
  std::optional<platform::Value::Dictionary> extensionDefinitionDictionary() const;
  // "NSExtensionPointIdentifier" of that dictionary when it is a string; a
  // missing or mistyped entry is reported and reads as absent.
  std::optional<std::string> extensionPointIdentifier() const;
  bool isExtension() const { return extensionPointIdentifier().has_value(); }
  // Nullptr for an extension, else the application object given (if any).
  TLYApplicationObject* appSharedInstance() const;

 private:
  std::optional<std::string> stringEntry(std::string_view key) const;

  platform::Value::Dictionary infoPlistDict_;
  TLYSystemLog systemLog_;
  TLYApplicationObject* application_;
};

}  // namespace vandrel::analytics
