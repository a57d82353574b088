#include "crash/reports/flt_process_report_operation.h"

#include <link.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_stack_frame.h"
#include "crash/reports/flt_symbol_resolver.h"
#include "crash/reports/flt_thread_array_operation.h"
#include "crash/unwind/flt_elf_reader.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash::process_test {

// Known functions of this binary: not exported, so only the symbol table
// can name them. The empty asm keeps them from being folded or inlined.
__attribute__((noinline)) int knownFunction(int value) {
  asm volatile("");
  return value * 3 + 1;
}
__attribute__((noinline)) int otherKnownFunction(int value) {
  asm volatile("");
  return value * 5 + 2;
}

// Two functions back to back, with no padding between them: a return
// address at the second one's start follows a call at the first one's end.
extern "C" void flt_process_test_first();
extern "C" void flt_process_test_second();
asm(R"(
  .text
  .type flt_process_test_first, @function
flt_process_test_first:
  nop
  nop
  nop
  nop
  ret
  .size flt_process_test_first, .-flt_process_test_first
  .type flt_process_test_second, @function
flt_process_test_second:
  ret
  .size flt_process_test_second, .-flt_process_test_second
)");

namespace {

std::uint64_t addressOf(int (*function)(int)) { return reinterpret_cast<std::uintptr_t>(function); }

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::TempDir;

constexpr const char* kMetadata =
    "{\"identity\":{\"api_key\":\"KEY\",\"started_at\":1700000000,\"session_id\":\"S1\"}}\n";
// The crashed process had this executable loaded this much higher.
constexpr std::uint64_t kShift = 0x100000000ull;

struct Image {
  std::string path;
  std::string uuid;
  std::uint64_t base = 0;
  std::uint64_t size = 0;
};

// The loaded image holding `address`, as the registry sees it.
Image imageContaining(std::uintptr_t address) {
  struct Search {
    std::uintptr_t address;
    Image image;
  } search{address, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* search = static_cast<Search*>(data);
        FLTElfLoadedImageDetails details;
        if (!FLTElfReadLoadedImage(*info, &details)) return 0;
        if (search->address < details.loadAddress ||
            search->address - details.loadAddress >= details.size) {
          return 0;
        }
        search->image = {FLTElfLoadedImagePath(*info), details.buildID, details.loadAddress,
                         details.size};
        return 1;
      },
      &search);
  return search.image;
}

// "binary_images.fltrecord" as the record writer writes it: loads and
// unloads.
void writeBinaryImages(const std::string& path, const std::vector<Image>& loads,
                       const std::vector<Image>& unloads = {}) {
  FLTFile file;
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, path.c_str(), false, false));
  auto line = [&](const char* section, const Image& image) {
    FLTFileWriteSectionStart(&file, section);
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashKey(&file, "path");
    FLTBinaryImageWriteJSONString(&file, image.path);
    FLTFileWriteHashEntryString(&file, "uuid", image.uuid.c_str());
    FLTFileWriteHashEntryUint64(&file, "base", image.base);
    FLTFileWriteHashEntryUint64(&file, "size", image.size);
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
  };
  for (const auto& image : unloads) line("unload", image);
  for (const auto& image : loads) line("load", image);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
}

// A crash file whose "threads" line holds these stacks.
void writeThreads(const std::string& path, const std::vector<std::vector<std::uint64_t>>& threads) {
  FLTFile file;
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, path.c_str(), false, false));
  FLTFileWriteSectionStart(&file, "signal");
  FLTFileWriteHashStart(&file);
  FLTFileWriteHashEntryUint64(&file, "number", 11);
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  FLTFileWriteSectionStart(&file, "threads");
  FLTFileWriteArrayStart(&file);
  for (const auto& stack : threads) {
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashKey(&file, "stacktrace");
    FLTFileWriteArrayStart(&file);
    for (std::uint64_t address : stack) FLTFileWriteArrayEntryUint64(&file, address);
    FLTFileWriteArrayEnd(&file);
    FLTFileWriteHashEnd(&file);
  }
  FLTFileWriteArrayEnd(&file);
  FLTFileWriteSectionEnd(&file);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
}


class ProcessReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "metadata.fltrecord") << kMetadata;
    exe_ = imageContaining(addressOf(&knownFunction));
    ASSERT_FALSE(exe_.uuid.empty()) << "the test executable carries no build-id";
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  std::shared_ptr<FLTProcessReportOperation> process() {
    auto operation = FLTProcessReportOperation::initWithReport(
        FLTInternalReport::reportWithPath(dir_.string()), &resolver_);
    operation->start();
    return operation;
  }
  // The frames of a symbolicated file, thread by thread.
  std::vector<std::vector<platform::Value>> symbolicated(const std::string& name) {
    auto read = FLTFileReadSections(file(name + ".symbolicated").c_str(), false);
    EXPECT_TRUE(read.ok()) << name;
    if (!read.ok()) return {};
    EXPECT_TRUE(read.value().complete());
    EXPECT_EQ(read.value().sections.size(), 1u);
    std::vector<std::vector<platform::Value>> out;
    const platform::Value* threads = read.value().sections.front().find("threads");
    if (threads == nullptr || threads->asArray() == nullptr) return out;
    for (const auto& thread : *threads->asArray()) out.push_back(*thread.asArray());
    return out;
  }
  static std::string text(const platform::Value& frame, const char* key) {
    const platform::Value* value = frame.find(key);
    if (value == nullptr) return "<missing>";
    if (value->isNull()) return "<null>";
    return value->asString() ? *value->asString() : "<not text>";
  }

  TempDir tmp_{"flt-process"};
  fs::path dir_ = tmp_ / "S1";
  Image exe_;
  FLTSymbolResolver resolver_{std::vector<std::string>{}};
};

TEST_F(ProcessReportTest, KnownFunctionsComeOutSymbolicatedAndDemangledThroughTheRecordedImages) {
  Image crashed = exe_;
  crashed.base += kShift;
  const Image foreign{"/opt/other/libgone.so", "0123456789abcdef0123456789abcdef01234567", 0x1000,
                      0x1000};
  const std::uint64_t libc = reinterpret_cast<std::uintptr_t>(&::getpid) + 1;
  writeBinaryImages(file("binary_images.fltrecord"), {crashed, foreign, imageContaining(libc)},
                    {Image{"/x", "ff", 0x500000, 0x10}});
  const std::uint64_t inside = addressOf(&knownFunction) + 4;
  const std::string signalSource = [&] {
    writeThreads(file("signal.fltrecord"),
                 {{inside + kShift, 0, 0x1500, libc}, {}, {addressOf(&otherKnownFunction) + 1 + kShift}});
    return readFile(dir_ / "signal.fltrecord");
  }();

  const auto operation = process();
  EXPECT_TRUE(operation->errors().empty()) << operation->errors().front().message;
  EXPECT_EQ(readFile(dir_ / "signal.fltrecord"), signalSource);  // sources stay as they were
  EXPECT_FALSE(fs::exists(file("exception.fltrecord.symbolicated")));
  EXPECT_FALSE(fs::exists(file("mach_exception.fltrecord.symbolicated")));

  const auto threads = symbolicated("signal.fltrecord");
  ASSERT_EQ(threads.size(), 3u);
  ASSERT_EQ(threads[0].size(), 4u);
  const platform::Value& known = threads[0][0];
  EXPECT_EQ(text(known, "symbol"), "vandrel::crash::process_test::knownFunction(int)");
  EXPECT_EQ(text(known, "raw_symbol"), "_ZN7vandrel5crash12process_test13knownFunctionEi");
  EXPECT_EQ(known.find("offset")->asInt(), 4);
  EXPECT_EQ(text(known, "library"), fs::path(exe_.path).filename().string());

  // Address 0 and an image that is not loaded here keep nothing.
  for (int i : {1, 2}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(text(threads[0][i], "symbol"), "<null>");
    EXPECT_EQ(text(threads[0][i], "raw_symbol"), "<null>");
    EXPECT_EQ(text(threads[0][i], "library"), "<null>");
    EXPECT_EQ(threads[0][i].find("offset")->asInt(), 0);
  }
  // An exported C function from the loader, undemangled, without a
  // separate raw symbol.
  EXPECT_NE(text(threads[0][3], "symbol").find("getpid"), std::string::npos);
  EXPECT_EQ(text(threads[0][3], "raw_symbol"), "<missing>");
  EXPECT_NE(text(threads[0][3], "library").find("libc"), std::string::npos);

  EXPECT_TRUE(threads[1].empty());
  ASSERT_EQ(threads[2].size(), 1u);
  EXPECT_EQ(text(threads[2][0], "symbol"), "vandrel::crash::process_test::otherKnownFunction(int)");
}

TEST_F(ProcessReportTest, AddressAtASymbolStartBelongsToTheCodeJustBelowIt) {
  writeBinaryImages(file("binary_images.fltrecord"), {exe_});
  FLTSymbolResolver resolver(std::vector<std::string>{});
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(file("binary_images.fltrecord")));
  const std::uint64_t first = reinterpret_cast<std::uintptr_t>(&flt_process_test_first);
  const std::uint64_t second = reinterpret_cast<std::uintptr_t>(&flt_process_test_second);
  const auto inSecond = resolver.frameForAddress(second);
  ASSERT_TRUE(inSecond);
  EXPECT_EQ(inSecond->rawSymbol, "flt_process_test_first");
  EXPECT_EQ(inSecond->symbol, "flt_process_test_first");
  EXPECT_EQ(inSecond->offset, second - first);
  // Inside a function (not at its start) the function itself is taken.
  const auto inFirst = resolver.frameForAddress(first + 1);
  ASSERT_TRUE(inFirst);
  EXPECT_EQ(inFirst->rawSymbol, "flt_process_test_first");
  EXPECT_EQ(inFirst->offset, 1u);
}

TEST_F(ProcessReportTest, ImageWithAnotherBuildIdKeepsNoSymbol) {
  Image changed = exe_;
  changed.uuid[0] = changed.uuid[0] == '0' ? '1' : '0';
  writeBinaryImages(file("binary_images.fltrecord"), {changed});
  FLTSymbolResolver resolver(std::vector<std::string>{});
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(file("binary_images.fltrecord")));
  EXPECT_FALSE(resolver.frameForAddress(addressOf(&knownFunction) + 4));
  EXPECT_TRUE(resolver.loadedBinaryImageForPC(addressOf(&knownFunction) + 4));
}

TEST_F(ProcessReportTest, MissingOrBrokenRecordFilesGiveClearErrorsAndTouchNothing) {
  struct Case {
    const char* name;
    const char* binaryImages;  // null: no file
    const char* signal;
    std::int64_t firstCode;
    bool symbolicatedFile;
  };
  const std::string cutOffThreads = "{\"threads\":[{\"stacktrace\":[1,2";
  const Case cases[] = {
      {"no binary images file", nullptr, "{\"threads\":[]}\n", kFLTProcessReportNoBinaryImages, false},
      {"empty binary images file", "", "{\"threads\":[]}\n", kFLTProcessReportNoBinaryImages, false},
      {"signal file without threads", "{\"load\":{\"base\":1,\"size\":2,\"uuid\":\"aa\",\"path\":\"/a\"}}\n",
       "{\"signal\":{\"number\":6}}\n", kFLTProcessReportNoThreads, false},
      {"threads line cut off", "{\"load\":{\"base\":1,\"size\":2,\"uuid\":\"aa\",\"path\":\"/a\"}}\n",
       "{\"signal\":{\"number\":6}}\n{\"threads\":[{\"stacktrace\":[1,2", kFLTRecordReaderCutOff, false},
      {"damaged line before the threads",
       "{\"load\":{\"base\":1,\"size\":2,\"uuid\":\"aa\",\"path\":\"/a\"}}\n",
       "{\"signal\":{\"num\n{\"threads\":[{\"stacktrace\":[1,2]}]}\n", kFLTRecordReaderBadLine, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "binary_images.fltrecord");
    fs::remove(dir_ / "signal.fltrecord.symbolicated");
    if (c.binaryImages != nullptr) std::ofstream(dir_ / "binary_images.fltrecord") << c.binaryImages;
    std::ofstream(dir_ / "signal.fltrecord") << c.signal;

    const auto operation = process();
    ASSERT_FALSE(operation->errors().empty());
    EXPECT_EQ(operation->errors().front().code, c.firstCode) << operation->errors().front().message;
    EXPECT_FALSE(operation->errors().front().message.empty());
    EXPECT_EQ(fs::exists(dir_ / "signal.fltrecord.symbolicated"), c.symbolicatedFile);
    EXPECT_EQ(readFile(dir_ / "signal.fltrecord"), c.signal);
    EXPECT_EQ(readFile(dir_ / "metadata.fltrecord"), kMetadata);
  }
}

TEST(DemangleOperationTest, DemanglesCppAndBlockNamesAndLeavesOthers) {
  const struct {
    const char* raw;
    std::optional<std::string> demangled;
  } cases[] = {
      {"_Z3fooi", "foo(int)"},
      {"_ZN7vandrel5crash3barEv", "vandrel::crash::bar()"},
      {"__Z3fooi_block_invoke", "foo(int)_block_invoke"},
      {"__Z3fooi_block_invoke_2", "foo(int)_block_invoke_2"},
      {"__Z_block_invoke", std::nullopt},  // "_block_invoke" below index 5
      {"__Z3fooi", std::nullopt},          // no "_block_invoke"
      {"_Znot-a-name", std::nullopt},
      {"main", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw ? c.raw : "(null)");
    EXPECT_EQ(FLTDemangleOperation::demangleSymbol(c.raw), c.demangled);
  }

  auto threads = std::make_shared<FLTThreadArray>(FLTThreadArray{
      {FLTStackFrame::stackFrameWithSymbol("_Z3fooi"), FLTStackFrame::stackFrameWithSymbol("main")}});
  FLTDemangleOperation(threads).main();
  EXPECT_EQ((*threads)[0][0].symbol, "foo(int)");
  EXPECT_EQ((*threads)[0][0].rawSymbol, "_Z3fooi");
  EXPECT_EQ((*threads)[0][1].symbol, "main");
}

TEST(StackFrameTest, DescriptionHasTwoForms) {
  FLTStackFrame frame = FLTStackFrame::stackFrameWithSymbol("foo");
  frame.address = 0x1f;
  frame.lineNumber = 7;
  EXPECT_EQ(frame.description(), "{[0x1f + 7] foo}");
  frame.fileName = "a.cpp";
  EXPECT_EQ(frame.description(), "{[0x1f] a.cpp - foo:7}");
}

TEST(ThreadArrayOperationTest, CancellationStopsTheRestOfEachThreadOnly) {
  auto threads = std::make_shared<FLTThreadArray>(FLTThreadArray{
      {FLTStackFrame::stackFrameWithAddress(1), FLTStackFrame::stackFrameWithAddress(2)},
      {FLTStackFrame::stackFrameWithAddress(3), FLTStackFrame::stackFrameWithAddress(4)}});
  auto operation = std::make_shared<FLTThreadArrayOperation>(threads);
  std::vector<std::uint64_t> seen;
  operation->enumerateFramesWithBlock([&](FLTStackFrame& frame) {
    seen.push_back(frame.address);
    operation->cancel();
  });
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 3}));
}

}  // namespace
}  // namespace vandrel::crash::process_test
