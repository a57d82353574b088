#include "analytics/tally/tly_logger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vandrel::analytics {
namespace {

class CollectedLines {
 public:
  TLYSystemLog sink() {
    return [this](std::string_view line) { lines.emplace_back(line); };
  }
  std::vector<std::string> lines;
};

TEST(TLYLoggerTest, NothingReachesTheSystemLogOutsideDebugMode) {
  CollectedLines out;
  TLYLogger logger(out.sink());
  logger.log("Initialized");
  logger.logWithLabel("TLYUploader", "upload");
  logger.internalLog("raw");
  EXPECT_TRUE(out.lines.empty());
  EXPECT_FALSE(TLYLogger::sharedLogger().debugMode());
  EXPECT_EQ(&TLYLogger::sharedLogger(), &TLYLogger::sharedLogger());
}

TEST(TLYLoggerTest, DebugModePrintsPrefixedAndLabelledLines) {
  CollectedLines out;
  TLYLogger logger(out.sink());
  logger.setDebugMode(true);
  logger.log("Initialized");
  logger.logWithLabel("TLYUploader", "A task currently exists for 'io.tally.upload', skipping");
  // Text with format characters is printed as it is.
  logger.log("100% done %@ %s");
  EXPECT_EQ(out.lines, (std::vector<std::string>{
                           "[Tally] Initialized",
                           "[Tally:TLYUploader] A task currently exists for 'io.tally.upload', skipping",
                           "[Tally] 100% done %@ %s"}));
  logger.setDebugMode(false);
  logger.log("after");
  EXPECT_EQ(out.lines.size(), 3u);
}

}  // namespace
}  // namespace vandrel::analytics
