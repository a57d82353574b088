#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/bundle.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnv;
using test_support::TempDir;

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
}

using test_support::readFile;

std::vector<std::string> names(const std::vector<std::string>& paths) {
  std::vector<std::string> result;
  for (const auto& p : paths) result.push_back(fs::path(p).filename().string());
  return result;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// A store under a temporary caches directory, for a bundle whose identifier
// holds a "/".
class ReportStoreTest : public testing::Test {
 protected:
  ReportStoreTest()
      : cacheEnv_("XDG_CACHE_HOME", (tmp_ / "cache").string()),
        bundle_(makeBundle(tmp_ / "Test.app", "com.example/app")),
        store_(bundle_) {}

  static platform::Bundle makeBundle(const fs::path& path, const std::string& identifier) {
    writeFile(path / "Contents" / "Info.json", "{\"CFBundleIdentifier\": \"" + identifier + "\"}");
    return platform::Bundle(path);
  }

  fs::path outside() const { return tmp_ / "outside"; }

  TempDir tmp_{"flt-store"};
  ScopedEnv cacheEnv_;
  platform::Bundle bundle_;
  FLTFileManager store_;
};

TEST_F(ReportStoreTest, RootSitsUnderCachesInOneNamespaceDirectory) {
  const fs::path root = tmp_ / "cache" / "com.faultline.data" / "com.example_app";
  EXPECT_EQ(store_.rootPath(), root.string());
  EXPECT_EQ(store_.pathNamespace(), "com.example_app");
  EXPECT_EQ(store_.structurePath(), (root / "v3").string());
  EXPECT_EQ(store_.activePath(), (root / "v3" / "active").string());
  EXPECT_EQ(store_.pendingPath(), (root / "v3" / "pending").string());
  EXPECT_EQ(store_.processingPath(), (root / "v3" / "processing").string());
  EXPECT_EQ(store_.preparedPath(), (root / "v3" / "prepared").string());
}

TEST(ReportStorePathNamespaceTest, IdentifiersBecomeOneDirectoryInsideTheDataFolder) {
  const std::map<std::string, std::string> cases = {
      {"com.vandrel.mac", "com.vandrel.mac"}, {"a/b/c", "a_b_c"}, {"", "_"},
      {".", "_"},  {"..", "__"},  {"../..", ".._.."}, {std::string("a\0b", 3), "a_b"},
  };
  for (const auto& [identifier, expected] : cases) {
    SCOPED_TRACE(identifier);
    EXPECT_EQ(FLTFileManager::pathNamespace(identifier), expected);
  }
}

TEST_F(ReportStoreTest, PrepareForNewLaunchMakesThreeDirectoriesButNeverPending) {
  const mode_t oldMask = ::umask(077);
  EXPECT_TRUE(store_.prepareForNewLaunch());
  const auto path = store_.setupNewPathForExecutionIdentifier("ABC-123");
  ::umask(oldMask);

  for (const auto& dir : {store_.activePath(), store_.processingPath(), store_.preparedPath()}) {
    EXPECT_TRUE(fs::is_directory(dir)) << dir;
    EXPECT_EQ(modeOf(dir), 0755u) << dir;
  }
  EXPECT_FALSE(fs::exists(store_.pendingPath()));
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(*path, store_.activePath() + "/ABC-123");
  EXPECT_TRUE(fs::is_directory(*path));
  EXPECT_EQ(modeOf(*path), 0755u);
}

TEST_F(ReportStoreTest, HostileExecutionIdentifiersCreateNothing) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  for (const std::string id : {"", ".", "..", "../escape", "a/b", ".hidden"}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(store_.setupNewPathForExecutionIdentifier(id).has_value());
  }
  EXPECT_TRUE(store_.activePathContents().empty());
  EXPECT_FALSE(fs::exists(fs::path(store_.structurePath()) / "escape"));
}

TEST_F(ReportStoreTest, PrepareFailsWhenADirectoryIsALink) {
  fs::create_directories(store_.structurePath());
  fs::create_directories(outside());
  fs::create_directory_symlink(outside(), store_.activePath());
  EXPECT_FALSE(store_.prepareForNewLaunch());
  EXPECT_FALSE(store_.setupNewPathForExecutionIdentifier("ABC").has_value());
  EXPECT_FALSE(fs::exists(outside() / "ABC"));
  EXPECT_FALSE(fs::exists(store_.processingPath())) << "stops at the first failure";
}

TEST_F(ReportStoreTest, EnumerationListsVisibleEntriesInNameOrderWithExtensions) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  const fs::path prepared = store_.preparedPath();
  writeFile(prepared / "b.multipartmime", "b");
  writeFile(prepared / "a.tar.gz", "a");
  writeFile(prepared / "noext", "n");
  writeFile(prepared / ".hidden.multipartmime", "h");
  fs::create_directory(prepared / "dir.d");

  std::vector<std::pair<std::string, std::string>> seen;
  store_.enumerateFilesInPreparedDirectoryUsingBlock(
      [&](const std::string& path, const std::string& ext) { seen.emplace_back(path, ext); });
  const std::vector<std::pair<std::string, std::string>> expected = {
      {(prepared / "a.tar.gz").string(), "gz"},
      {(prepared / "b.multipartmime").string(), "multipartmime"},
      {(prepared / "dir.d").string(), "d"},
      {(prepared / "noext").string(), ""},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(store_.preparedPathContents().size(), 4u);
  EXPECT_TRUE(store_.contentsOfDirectory(store_.pendingPath()).empty()) << "missing directory";
}

TEST_F(ReportStoreTest, RemoveContentsOfAllPathsEmptiesEveryStateButKeepsHiddenFiles) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  fs::create_directories(store_.pendingPath());
  for (const auto& dir :
       {store_.activePath(), store_.pendingPath(), store_.processingPath(), store_.preparedPath()}) {
    writeFile(fs::path(dir) / "report" / "metadata.fltrecord", "{}\n");
    writeFile(fs::path(dir) / "report" / "deep" / "x" / ".dot", "x");
    writeFile(fs::path(dir) / ".keep", "k");
  }
  EXPECT_TRUE(store_.removeContentsOfAllPaths());
  for (const auto& dir :
       {store_.activePath(), store_.pendingPath(), store_.processingPath(), store_.preparedPath()}) {
    EXPECT_FALSE(fs::exists(fs::path(dir) / "report")) << dir;
    EXPECT_TRUE(fs::exists(fs::path(dir) / ".keep")) << dir;
  }

  fs::remove_all(store_.pendingPath());
  EXPECT_TRUE(store_.removeContentsOfAllPaths()) << "a missing pending is already empty";
  EXPECT_FALSE(store_.removeItemAtPath(store_.pendingPath())) << "removing nothing fails";
}

TEST_F(ReportStoreTest, MovesRenameAndNeverReplaceAReportAlreadyThere) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  const fs::path processing = store_.processingPath();
  const fs::path prepared = store_.preparedPath();
  writeFile(processing / "a" / "metadata.fltrecord", "from a");
  writeFile(processing / "b" / "metadata.fltrecord", "new b");
  writeFile(processing / "c" / "metadata.fltrecord", "from c");
  writeFile(prepared / "b" / "metadata.fltrecord", "old b");

  EXPECT_FALSE(store_.moveProcessingContentsToPrepared());
  EXPECT_EQ(readFile(prepared / "a" / "metadata.fltrecord"), "from a");
  EXPECT_FALSE(fs::exists(processing / "a"));
  EXPECT_EQ(readFile(prepared / "b" / "metadata.fltrecord"), "old b");
  EXPECT_EQ(readFile(processing / "b" / "metadata.fltrecord"), "new b") << "stays where it was";
  EXPECT_EQ(readFile(processing / "c" / "metadata.fltrecord"), "from c") << "after a failure";

  // A file over an existing file is refused too (rename alone would replace it).
  writeFile(processing / "x.multipartmime", "new");
  writeFile(prepared / "x.multipartmime", "old");
  EXPECT_FALSE(store_.moveItemAtPath((processing / "x.multipartmime").string(), prepared));
  EXPECT_EQ(readFile(prepared / "x.multipartmime"), "old");
  EXPECT_EQ(readFile(processing / "x.multipartmime"), "new");
}

TEST_F(ReportStoreTest, MoveFailuresLeaveTheSourceInPlace) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  const fs::path report = fs::path(store_.activePath()) / "R1";
  writeFile(report / "signal.fltrecord", "s");
  struct Case {
    const char* name;
    std::string source;
    std::string destination;
  };
  const Case cases[] = {
      {"empty source", "", store_.processingPath()},
      {"empty destination", report.string(), ""},
      {"missing destination", report.string(), store_.pendingPath()},
      {"missing source", store_.activePath() + "/R2", store_.processingPath()},
      {"into itself", report.string(), report.string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(store_.moveItemAtPath(c.source, c.destination));
    EXPECT_EQ(readFile(report / "signal.fltrecord"), "s");
  }
  EXPECT_TRUE(store_.moveItemAtPath(report.string(), store_.processingPath()));
  EXPECT_EQ(readFile(fs::path(store_.processingPath()) / "R1" / "signal.fltrecord"), "s");
}

TEST_F(ReportStoreTest, MovePendingToProcessingDrainsPending) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  EXPECT_TRUE(store_.movePendingToProcessing()) << "nothing pending";
  writeFile(fs::path(store_.pendingPath()) / "P1" / "exception.fltrecord", "e");
  writeFile(fs::path(store_.pendingPath()) / ".hidden", "h");
  EXPECT_TRUE(store_.movePendingToProcessing());
  EXPECT_EQ(names(store_.processingPathContents()), std::vector<std::string>{"P1"});
  EXPECT_TRUE(fs::exists(fs::path(store_.pendingPath()) / ".hidden"));
}

TEST_F(ReportStoreTest, LinksInsideTheStoreNeverLeadOutside) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  writeFile(outside() / "precious" / "data", "keep");
  writeFile(outside() / "report.multipartmime", "keep");
  const fs::path processing = store_.processingPath();
  fs::create_directory_symlink(outside() / "precious", processing / "linked-report");
  writeFile(processing / "real" / "metadata.fltrecord",
            "{\"identity\":{\"session_id\":\"real\"}}\n");
  fs::create_directory_symlink(outside() / "precious", processing / "real" / "nested");

  std::vector<std::string> reports;
  store_.enumerateReportsInProcessingDirectoryUsingBlock(
      [&](const std::shared_ptr<FLTInternalReport>& report, const std::string& path) {
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(report->identifier(), "real");
        reports.push_back(path);
      });
  EXPECT_EQ(names(reports), std::vector<std::string>{"real"});

  EXPECT_TRUE(store_.removeContentsOfProcessingPath());
  EXPECT_TRUE(store_.processingPathContents().empty());
  EXPECT_EQ(readFile(outside() / "precious" / "data"), "keep");

  // A state directory replaced by a link is neither read nor emptied.
  fs::remove(store_.preparedPath());
  fs::create_directory_symlink(outside(), store_.preparedPath());
  EXPECT_TRUE(store_.preparedPathContents().empty());
  store_.removeContentsOfAllPaths();
  EXPECT_EQ(readFile(outside() / "report.multipartmime"), "keep");
  EXPECT_FALSE(store_.removeItemAtPath(store_.preparedPath() + "/report.multipartmime"));
  EXPECT_FALSE(store_.fileSizeAtPath(store_.preparedPath() + "/report.multipartmime"));
  EXPECT_EQ(readFile(outside() / "report.multipartmime"), "keep");
  writeFile(processing / "moving", "m");
  EXPECT_FALSE(store_.moveItemAtPath((processing / "moving").string(), store_.preparedPath()));
  EXPECT_FALSE(fs::exists(outside() / "moving"));
}

TEST_F(ReportStoreTest, FileSizeReadsTheItemItself) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  const fs::path file = fs::path(store_.preparedPath()) / "r.multipartmime";
  writeFile(file, "12345");
  EXPECT_EQ(store_.fileSizeAtPath(file.string()), 5u);
  EXPECT_FALSE(store_.fileSizeAtPath(store_.preparedPath() + "/missing").has_value());
  EXPECT_FALSE(store_.fileSizeAtPath("").has_value());
}

TEST_F(ReportStoreTest, LegacyTreeIsRemovedWholeBeforeTheNewLayout) {
  writeFile(fs::path(store_.rootPath()) / "sendable" / "old", "x");
  writeFile(fs::path(store_.activePath()) / "R" / "signal.fltrecord", "s");
  writeFile(fs::path(store_.rootPath()).parent_path() / "other.app" / "keep", "k");
  EXPECT_TRUE(store_.removeLegacyDirectories());
  EXPECT_FALSE(fs::exists(store_.rootPath()));
  EXPECT_TRUE(fs::exists(fs::path(store_.rootPath()).parent_path() / "other.app" / "keep"));
  EXPECT_TRUE(store_.prepareForNewLaunch());

  // Without the marker nothing is touched.
  writeFile(fs::path(store_.activePath()) / "R" / "signal.fltrecord", "s");
  EXPECT_TRUE(store_.removeLegacyDirectories());
  EXPECT_TRUE(fs::exists(fs::path(store_.activePath()) / "R" / "signal.fltrecord"));
}

TEST_F(ReportStoreTest, ProcessingReportsWithoutIdentifierArriveAsNull) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  writeFile(fs::path(store_.processingPath()) / "no-id" / "metadata.fltrecord",
            "{\"identity\":{\"api_key\":\"k\"}}\n");
  int calls = 0;
  store_.enumerateReportsInProcessingDirectoryUsingBlock(
      [&](const std::shared_ptr<FLTInternalReport>& report, const std::string& path) {
        ++calls;
        EXPECT_EQ(report, nullptr);
        EXPECT_EQ(fs::path(path).filename(), "no-id");
      });
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vandrel::crash
