#include "crash/capture/flt_binary_images.h"

#include <dlfcn.h>
#include <link.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_utilities.h"
#include "crash/kit/trl_application_identity.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/sanitizers.h"

namespace vandrel::crash {
namespace {

using capture_test::SdkLogTest;

struct Line {
  std::string kind;  // "load" / "unload"
  std::string path;
  std::string uuid;
  std::int64_t base = 0;
  std::int64_t size = 0;
};

std::vector<Line> readLines(const std::string& path) {
  std::vector<Line> lines;
  auto read = FLTFileReadSections(path.c_str(), false);
  if (!read.ok()) return lines;
  EXPECT_TRUE(read.value().complete());
  for (const auto& section : read.value().sections) {
    const auto* dictionary = section.asDictionary();
    if (dictionary == nullptr || dictionary->size() != 1) continue;
    const auto& [kind, body] = *dictionary->begin();
    Line line;
    line.kind = kind;
    if (const auto* v = body.find("path"); v && v->asString()) line.path = *v->asString();
    if (const auto* v = body.find("uuid"); v && v->asString()) line.uuid = *v->asString();
    if (const auto* v = body.find("base")) line.base = v->asInt().value_or(0);
    if (const auto* v = body.find("size")) line.size = v->asInt().value_or(0);
    lines.push_back(line);
  }
  return lines;
}

int collectPath(dl_phdr_info* info, size_t, void* data) {
  FLTElfLoadedImageDetails details;
  if (FLTElfReadLoadedImage(*info, &details)) {
    static_cast<std::vector<std::string>*>(data)->push_back(FLTElfLoadedImagePath(*info));
  }
  return 0;
}

std::size_t claimedSlots(const FLTBinaryImageWritableContext& table) {
  std::size_t claimed = 0;
  for (const auto& slot : table.slots) claimed += slot.loadAddress.load() != 0 ? 1 : 0;
  return claimed;
}

// A small library this test process has not loaded yet, so that closing
// it really unmaps it.
std::string unloadedLibrary() {
  for (const char* name : {"libbz2.so.1", "libltdl.so.7", "libexpat.so.1", "libuuid.so.1.3.0"}) {
    if (void* loaded = ::dlopen(name, RTLD_NOW | RTLD_NOLOAD)) {
      ::dlclose(loaded);
      continue;
    }
    if (void* probe = ::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
      ::dlclose(probe);
      return name;
    }
  }
  return {};
}

std::uintptr_t addressOf(void* handle) {
  // Any exported function: the start of its text segment is enough.
  Dl_info where{};
  void* symbol = ::dlsym(handle, "BZ2_bzlibVersion");
  if (symbol == nullptr) symbol = ::dlsym(handle, "lt_dlinit");
  if (symbol == nullptr) symbol = ::dlsym(handle, "XML_ParserCreate");
  if (symbol == nullptr) symbol = ::dlsym(handle, "uuid_generate");
  return ::dladdr(symbol, &where) != 0 ? reinterpret_cast<std::uintptr_t>(symbol) : 0;
}

class FLTBinaryImagesTest : public SdkLogTest {
 protected:
  void SetUp() override {
    SdkLogTest::SetUp();
    recordPath_ = path("binary_images.fltrecord");
    registry_ = std::make_unique<FLTBinaryImageRegistry>(table_.get(), recordPath_);
  }
  void TearDown() override {
    registry_.reset();
    SdkLogTest::TearDown();
  }
  std::vector<Line> lines() {
    registry_->flush();
    return readLines(recordPath_);
  }
  bool find(std::uintptr_t address, FLTBinaryImageRuntimeNode* node = nullptr) {
    FLTBinaryImageRuntimeNode scratch;
    return FLTBinaryImageSafeFindImageInTable(table_.get(), address, node ? node : &scratch);
  }

  std::unique_ptr<FLTBinaryImageWritableContext> table_ = std::make_unique<FLTBinaryImageWritableContext>();
  std::string recordPath_;
  std::unique_ptr<FLTBinaryImageRegistry> registry_;
};

TEST_F(FLTBinaryImagesTest, InitRecordsEveryLoadedImageInLoaderOrder) {
  registry_->init();
  std::vector<std::string> expected;
  dl_iterate_phdr(collectPath, &expected);
  const auto recorded = lines();
  ASSERT_EQ(recorded.size(), expected.size());
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    EXPECT_EQ(recorded[i].kind, "load");
    EXPECT_EQ(recorded[i].path, expected[i]);
    EXPECT_GT(recorded[i].size, 0);
  }
  if (auto id = TRLMainExecutableBuildID()) {
    EXPECT_EQ(recorded[0].uuid, TRLHexStringFromData(*id));
  }

  // An address in this test's own code maps back to the main program, with
  // its unwind sections.
  FLTBinaryImageRuntimeNode node;
  ASSERT_TRUE(find(reinterpret_cast<std::uintptr_t>(&readLines), &node));
  EXPECT_EQ(static_cast<std::int64_t>(node.loadAddress), recorded[0].base);
  EXPECT_TRUE(FLTBinaryImageHasUnwindInfo(node));
  EXPECT_GE(node.ehFrame, kFLTMinimumValidAddress);
  EXPECT_FALSE(find(0));
  EXPECT_FALSE(FLTBinaryImageSafeFindImageInTable(nullptr, node.loadAddress, &node));

  // Nothing changed in the loader: nothing to record.
  const auto counts = registry_->refresh();
  EXPECT_EQ(counts.loaded + counts.unloaded, 0u);
  EXPECT_EQ(lines().size(), recorded.size());
}

TEST_F(FLTBinaryImagesTest, DlopenAndDlcloseAreTrackedAndUnloadedSlotsStayTaken) {
  const std::string library = unloadedLibrary();
  if (library.empty()) GTEST_SKIP() << "no spare shared library to load";
  registry_->init();
  const std::size_t before = claimedSlots(*table_);

  void* handle = registry_->dlopenImage(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  const std::uintptr_t address = addressOf(handle);
  ASSERT_NE(address, 0u);
  FLTBinaryImageRuntimeNode node;
  ASSERT_TRUE(find(address, &node));
  EXPECT_TRUE(FLTBinaryImageHasUnwindInfo(node));
  auto recorded = lines();
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded.back().kind, "load");
  EXPECT_NE(recorded.back().path.find(library.substr(0, library.find('.'))), std::string::npos);
  EXPECT_EQ(recorded.back().base, static_cast<std::int64_t>(node.loadAddress));

  ASSERT_EQ(registry_->dlcloseImage(handle), 0);
  EXPECT_FALSE(find(address));
  recorded = lines();
  EXPECT_EQ(recorded.back().kind, "unload");
  EXPECT_EQ(recorded.back().base, static_cast<std::int64_t>(node.loadAddress));

  // Loading it again takes a fresh slot.
  handle = registry_->dlopenImage(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(find(addressOf(handle)));
  EXPECT_EQ(claimedSlots(*table_), before + 2);
  registry_->dlcloseImage(handle);
}

TEST_F(FLTBinaryImagesTest, PeriodicRefreshCatchesImagesOpenedBehindItsBack) {
  const std::string library = unloadedLibrary();
  if (library.empty()) GTEST_SKIP() << "no spare shared library to load";
  platform::ManualClock clock;
  platform::Scheduler scheduler(clock);
  registry_->init();
  registry_->startPeriodicRefresh(std::chrono::seconds(5), scheduler);
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  const std::uintptr_t address = addressOf(handle);
  EXPECT_FALSE(find(address));
  clock.advance(std::chrono::seconds(5));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!find(address) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(find(address));
  registry_.reset();  // stops the timer before the library goes
  ::dlclose(handle);
}

TEST_F(FLTBinaryImagesTest, FullTableStillRecordsTheLoad) {
  const std::string library = unloadedLibrary();
  if (library.empty()) GTEST_SKIP() << "no spare shared library to load";
  registry_->init();
  for (auto& slot : table_->slots) {
    std::uintptr_t free = 0;
    slot.loadAddress.compare_exchange_strong(free, 1);
  }
  void* handle = registry_->dlopenImage(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(find(addressOf(handle)));
  EXPECT_EQ(lines().back().kind, "load");
  EXPECT_NE(log().find("Error: Unable to track a loaded node 0x"), std::string::npos);
  registry_->dlcloseImage(handle);
  EXPECT_EQ(lines().back().kind, "unload");
}

FLTBinaryImageWritableContext* gChildTable = nullptr;

void lookUpInHandler(int) {
  FLTBinaryImageRuntimeNode node;
  const bool found = FLTBinaryImageSafeFindImageInTable(
      gChildTable, reinterpret_cast<std::uintptr_t>(&lookUpInHandler), &node);
  _exit(found && FLTBinaryImageHasUnwindInfo(node) ? 0 : 1);
}

TEST_F(FLTBinaryImagesTest, LookupWorksInsideASignalHandler) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "expects the handler to have run when raise() returns; ThreadSanitizer defers it";
  }
  registry_->init();
  registry_->flush();
  gChildTable = table_.get();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct sigaction action {};
    action.sa_handler = lookUpInHandler;
    sigaction(SIGUSR1, &action, nullptr);
    raise(SIGUSR1);
    _exit(2);
  }
  int status = 0;
  ASSERT_TRUE(capture_test::waitForChild(child, &status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(FLTBinaryImagesTest, ProcessLookupFailsBeforeTheContextIsInitialized) {
  FLTBinaryImageRuntimeNode node;
  EXPECT_FALSE(FLTBinaryImageSafeFindImageForAddress(
      reinterpret_cast<std::uintptr_t>(&lookUpInHandler), &node));
}

TEST_F(FLTBinaryImagesTest, FindsLoadedImageByBuildIDInAnyCase) {
  auto id = TRLMainExecutableBuildID();
  if (!id) GTEST_SKIP() << "test binary has no build-id";
  std::string upper = TRLHexStringFromData(*id);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  FLTElfLoadedImageDetails details;
  ASSERT_TRUE(FLTBinaryImageRegistry::findImageForUUID(upper, &details));
  FLTBinaryImageRuntimeNode node;
  registry_->init();
  ASSERT_TRUE(find(reinterpret_cast<std::uintptr_t>(&readLines), &node));
  EXPECT_EQ(details.loadAddress, node.loadAddress);
  EXPECT_FALSE(FLTBinaryImageRegistry::findImageForUUID("00112233445566778899", &details));
}

TEST_F(FLTBinaryImagesTest, ExecutableLineAndEscapedPathsReadBack) {
  const std::string file = path("metadata.fltrecord");
  FLTFile writer;
  ASSERT_TRUE(FLTFileInitWithPathMode(&writer, file.c_str(), false, false));
  ASSERT_TRUE(FLTBinaryImageRecordMainExecutable(&writer));
  FLTFileWriteSectionStart(&writer, "load");
  FLTFileWriteHashStart(&writer);
  FLTFileWriteHashKey(&writer, "path");
  FLTBinaryImageWriteJSONString(&writer, "/tmp/a \"quoted\"\\dir/\nlib.so");
  FLTFileWriteHashEntryUint64(&writer, "base", 4096);
  FLTFileWriteHashEnd(&writer);
  FLTFileWriteSectionEnd(&writer);
  ASSERT_TRUE(FLTFileCloseWithOffset(&writer, nullptr));

  auto read = FLTFileReadSections(file.c_str(), false);
  ASSERT_TRUE(read.ok());
  ASSERT_TRUE(read.value().complete());
  ASSERT_EQ(read.value().sections.size(), 2u);
  const auto* executable = read.value().sections[0].find("executable");
  ASSERT_NE(executable, nullptr);
  EXPECT_EQ(*executable->find("architecture")->asString(), TRLCurrentArchitectureName());
  EXPECT_EQ(executable->find("encrypted")->asBool(), false);
  EXPECT_EQ(*executable->find("minimum_sdk_version")->asString(), "0.0.0");
  EXPECT_GT(executable->find("size")->asInt().value_or(0), 0);
  const auto* load = read.value().sections[1].find("load");
  ASSERT_NE(load, nullptr);
  EXPECT_EQ(*load->find("path")->asString(), "/tmp/a \"quoted\"\\dir/\nlib.so");
  EXPECT_EQ(load->find("base")->asInt(), 4096);
}

}  // namespace
}  // namespace vandrel::crash
