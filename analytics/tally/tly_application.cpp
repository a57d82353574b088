#include "analytics/tally/tly_application.h"

#include <utility>

#include "analytics/tally/tly_attribute_dictionary.h"
#include "platform/bundle.h"

namespace vandrel::analytics {

using platform::Value;

TLYApplication TLYApplication::hostApplication() {
  return TLYApplication(platform::Bundle::main().infoDictionary());
}

TLYApplication::TLYApplication(Value::Dictionary infoPlistDict, TLYSystemLog systemLog,
                               TLYApplicationObject* application)
    : infoPlistDict_(std::move(infoPlistDict)),
      systemLog_(systemLog ? std::move(systemLog) : TLYDefaultSystemLog()),
      application_(application) {}

std::optional<std::string> TLYApplication::stringEntry(std::string_view key) const {
  const auto it = infoPlistDict_.find(std::string(key));
  if (it == infoPlistDict_.end()) return std::nullopt;
  if (const std::string* s = it->second.asString()) return *s;
  return std::nullopt;
}

std::optional<std::string> TLYApplication::bundleIdentifier() const {
  return stringEntry("CFBundleIdentifier");
}

std::optional<std::string> TLYApplication::bundleVersion() const {
  return stringEntry("CFBundleVersion");
}

std::optional<std::string> TLYApplication::shortVersionString() const {
  return stringEntry("CFBundleShortVersionString");
}

std::optional<Value::Dictionary> TLYApplication::extensionDefinitionDictionary() const {
  const auto it = infoPlistDict_.find("NSExtension");
  if (it == infoPlistDict_.end()) return std::nullopt;
  if (const Value::Dictionary* d = it->second.asDictionary()) return *d;
  const std::string_view format = kTLYExtensionMalformedMessage;
  const std::size_t at = format.find("%@");
  std::string message(format.substr(0, at));
  message.append(TLYAttributeDictionary::describeForLog(it->second)).append(format.substr(at + 2));
  systemLog_(message);
  return std::nullopt;
}

std::optional<std::string> TLYApplication::extensionPointIdentifier() const {
  const std::optional<Value::Dictionary> extension = extensionDefinitionDictionary();
  if (!extension) return std::nullopt;
  const auto it = extension->find("NSExtensionPointIdentifier");
  if (it != extension->end()) {
    if (const std::string* s = it->second.asString()) return *s;
  }
  systemLog_(kTLYExtensionPointMalformedMessage);
  return std::nullopt;
}

TLYApplicationObject* TLYApplication::appSharedInstance() const {
  return isExtension() ? nullptr : application_;
}

}  // namespace vandrel::analytics
