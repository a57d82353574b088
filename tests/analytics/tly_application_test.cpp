#include "analytics/tally/tly_application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/bundle.h"

namespace vandrel::analytics {
namespace {

using platform::Value;
using Dict = Value::Dictionary;

class CollectedLines {
 public:
  TLYSystemLog sink() {
    return [this](std::string_view line) { lines.emplace_back(line); };
  }
  std::vector<std::string> lines;
};

TEST(TLYApplicationTest, ReadsBundleFactsOfItsInfoDictionary) {
  CollectedLines out;
  const TLYApplication app(Dict{{"CFBundleIdentifier", Value("com.example.app")},
                                {"CFBundleVersion", Value("42")},
                                {"CFBundleShortVersionString", Value(7)}},
                           out.sink());
  EXPECT_EQ(app.bundleIdentifier(), "com.example.app");
  EXPECT_EQ(app.bundleVersion(), "42");
  EXPECT_EQ(app.shortVersionString(), std::nullopt);  // not a string
  EXPECT_FALSE(app.isExtension());
  EXPECT_TRUE(out.lines.empty());

  // The process's host application is the bundle's.
  EXPECT_EQ(TLYApplication::hostApplication().bundleIdentifier(),
            platform::Bundle::main().infoString("CFBundleIdentifier"));
}

TEST(TLYApplicationTest, MalformedExtensionEntriesAreReportedAndReadAsNoExtension) {
  struct Case {
    const char* name;
    Dict info;
    bool isExtension;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no extension", {}, false, nullptr},
      {"extension is a string", {{"NSExtension", Value("widget")}}, false,
       "Error: NSExtension Info.plist entry is mal-formed widget\n"},
      {"extension is an array", {{"NSExtension", Value(Value::Array{Value(1)})}}, false,
       "Error: NSExtension Info.plist entry is mal-formed [1]\n"},
      {"no point identifier", {{"NSExtension", Value(Dict{})}}, false,
       "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
      {"point identifier not a string",
       {{"NSExtension", Value(Dict{{"NSExtensionPointIdentifier", Value(3)}})}}, false,
       "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
      {"an extension",
       {{"NSExtension", Value(Dict{{"NSExtensionPointIdentifier", Value("com.x.share")}})}}, true,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CollectedLines out;
    TLYApplicationObject appObject;
    const TLYApplication app(c.info, out.sink(), &appObject);
    EXPECT_EQ(app.isExtension(), c.isExtension);
    EXPECT_EQ(app.appSharedInstance(), c.isExtension ? nullptr : &appObject);
    if (c.message == nullptr) {
      EXPECT_TRUE(out.lines.empty());
    } else {
      ASSERT_FALSE(out.lines.empty());
      EXPECT_EQ(out.lines[0], c.message);
    }
  }
}

}  // namespace
}  // namespace vandrel::analytics
