#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "tests/crash/capture_test_support.h"

namespace vandrel::crash {
namespace {

using platform::Value;
using capture_test::readFile;
using capture_test::waitForChild;

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

Value parse(const std::string& json) {
  auto value = Value::fromJson(json);
  EXPECT_TRUE(value.ok()) << json;
  return value.ok() ? value.value() : Value();
}

// A temp directory and an SDK log of its own per test.
class FLTRecordFileTest : public capture_test::SdkLogTest {
 protected:
  // Writes one file with `write` (unbuffered, truncating) and returns its text.
  std::string written(const std::function<void(FLTFile*)>& write, bool buffered = false) {
    const std::string file = path("out.fltrecord");
    FLTFile f;
    EXPECT_TRUE(FLTFileInitWithPathMode(&f, file.c_str(), false, buffered));
    write(&f);
    std::uint64_t offset = 0;
    EXPECT_TRUE(FLTFileCloseWithOffset(&f, &offset));
    const std::string text = readFile(file);
    EXPECT_EQ(offset, text.size());
    return text;
  }
};

// Section, hash and array nesting with every kind of entry: the text is
// exactly the compact JSON the next launch reads, and reads back equal.
TEST_F(FLTRecordFileTest, SectionsRoundTripThroughTheReader) {
  const std::string file = path(std::string(kFLTRecordFileSignal));
  FLTFile f;
  ASSERT_TRUE(FLTFileInitWithPathMode(&f, file.c_str(), true, false));
  FLTFileWriteSectionStart(&f, "signal");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEntryUint64(&f, "number", 11);
  FLTFileWriteHashEntryInt64(&f, "code", -5);
  FLTFileWriteHashEntryUint64(&f, "zero", 0);
  FLTFileWriteHashEntryUint64(&f, "address", UINT64_MAX >> 1);
  FLTFileWriteHashEntryInt64(&f, "min", INT64_MIN);
  FLTFileWriteHashEntryString(&f, "name", "SIGSEGV");
  FLTFileWriteHashEntryString(&f, "absent", nullptr);
  FLTFileWriteHashEntryBoolean(&f, "fatal", true);
  FLTFileWriteHashEntryBoolean(&f, "handled", false);
  FLTFileWriteHashEntryHexEncodedString(&f, "reason", "bad \"ptr\"");
  FLTFileWriteHashKey(&f, "frames");
  FLTFileWriteArrayStart(&f);
  FLTFileWriteArrayEntryUint64(&f, 4096);
  FLTFileWriteArrayEntryString(&f, "main");
  FLTFileWriteArrayEntryString(&f, nullptr);
  FLTFileWriteArrayEntryHexEncodedString(&f, "x");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEntryUint64(&f, "pc", 1);
  FLTFileWriteHashEnd(&f);
  FLTFileWriteArrayStart(&f);
  FLTFileWriteArrayEnd(&f);
  FLTFileWriteArrayEnd(&f);
  FLTFileWriteHashEntryObjectString(&f, "queue", std::string_view("com.example.queue.with.a.long.name"));
  FLTFileWriteHashEntryObjectString(&f, "nil", std::nullopt);
  FLTFileWriteHashEntryObjectStringUnlessEmpty(&f, "empty", std::string_view(""));
  FLTFileWriteHashEntryObjectStringUnlessEmpty(&f, "nilToo", std::nullopt);
  FLTFileWriteHashEnd(&f);
  FLTFileWriteSectionEnd(&f);
  FLTFileWriteSectionStart(&f, "runtime");
  FLTFileWriteArrayStart(&f);
  FLTFileWriteArrayEnd(&f);
  FLTFileWriteSectionEnd(&f);
  std::uint64_t offset = 0;
  ASSERT_TRUE(FLTFileCloseWithOffset(&f, &offset));
  EXPECT_EQ(f.fd, -1);

  const std::string first =
      R"({"signal":{"number":11,"code":-5,"zero":0,"address":9223372036854775807,)"
      R"("min":-9223372036854775808,"name":"SIGSEGV","absent":null,"fatal":true,)"
      R"("handled":false,"reason":"626164202270747222",)"
      R"("frames":[4096,"main",null,"78",{"pc":1},[]],)"
      R"("queue":"com.example.queue.with.a.long.name","nil":null}})";
  const std::string second = R"({"runtime":[]})";
  EXPECT_EQ(readFile(file), first + "\n" + second + "\n");
  EXPECT_EQ(offset, first.size() + second.size() + 2);

  auto read = FLTFileReadSections(file.c_str(), false);
  ASSERT_TRUE(read.ok()) << read.error().message;
  EXPECT_TRUE(read.value().complete());
  ASSERT_EQ(read.value().sections.size(), 2u);
  EXPECT_EQ(read.value().sections[0], parse(first));
  EXPECT_EQ(read.value().sections[1], parse(second));
}

// Short strings go out in one write, longer ones in three: both must give
// the same text at and around the limits.
TEST_F(FLTRecordFileTest, KeysAndStringsOfEveryLengthAreQuotedWhole) {
  for (std::size_t length = 0; length <= 20; ++length) {
    SCOPED_TRACE(length);
    const std::string text(length, 'k');
    const std::string out = written([&](FLTFile* f) {
      FLTFileWriteSectionStart(f, text.c_str());
      FLTFileWriteHashStart(f);
      FLTFileWriteHashEntryString(f, text.c_str(), text.c_str());
      FLTFileWriteHashEnd(f);
      FLTFileWriteSectionEnd(f);
    });
    EXPECT_EQ(out, "{\"" + text + "\":{\"" + text + "\":\"" + text + "\"}}\n");
  }
}

TEST_F(FLTRecordFileTest, NumbersAreWrittenWithoutLeadingZeros) {
  struct Case {
    std::uint64_t value;
    unsigned base;
    const char* text;
  };
  const Case cases[] = {
      {0, 10, "0"},         {7, 10, "7"},          {10, 10, "10"},
      {4096, 10, "4096"},   {UINT64_MAX, 10, "18446744073709551615"},
      {0, 16, "0"},         {255, 16, "ff"},       {0x1000, 16, "1000"},
      {UINT64_MAX, 16, "ffffffffffffffff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buffer[kFLTNumberBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FLTFileFormatUint64(c.value, c.base, buffer), std::strlen(c.text));
    EXPECT_STREQ(buffer, c.text);
  }
}

// Plain strings are not escaped: a quote in one breaks its line. That is
// why text from the application goes hex-encoded, which survives anything.
TEST_F(FLTRecordFileTest, ApplicationTextGoesHexEncodedAndSurvivesAnyByte) {
  const std::string hostile = "he said \"hi\"\n\\ \t}{, caf\xc3\xa9 \x01\xff";
  const std::string file = path("log_a.fltrecord");
  FLTFile f;
  ASSERT_TRUE(FLTFileInitWithPathMode(&f, file.c_str(), true, false));
  FLTFileWriteSectionStart(&f, "log");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEntryHexEncodedString(&f, "msg", hostile.c_str());
  FLTFileWriteHashEnd(&f);
  FLTFileWriteSectionEnd(&f);
  FLTFileWriteSectionStart(&f, "log");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEntryString(&f, "plain", "a \"quoted\" word");
  FLTFileWriteHashEnd(&f);
  FLTFileWriteSectionEnd(&f);
  FLTFileWriteSectionStart(&f, "log");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEntryHexEncodedBytes(&f, "bytes", "a\0b", 3);
  FLTFileWriteHashEnd(&f);
  FLTFileWriteSectionEnd(&f);
  ASSERT_TRUE(FLTFileCloseWithOffset(&f, nullptr));

  const std::string text = readFile(file);
  EXPECT_NE(text.find("\"msg\":\"" + FLTFileHexEncodeString(hostile.c_str()) + "\""),
            std::string::npos);
  EXPECT_NE(text.find(R"("plain":"a "quoted" word")"), std::string::npos);

  auto read = FLTFileReadSections(file.c_str(), false);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read.value().sections.size(), 2u);
  const Value* msg = read.value().sections[0].find("log")->find("msg");
  ASSERT_NE(msg, nullptr);
  ASSERT_NE(msg->asString(), nullptr);
  EXPECT_EQ(FLTFileHexDecodeString(*msg->asString()), hostile);
  EXPECT_EQ(*read.value().sections[1].find("log")->find("bytes")->asString(), "610062");
  // The unescaped line is dropped and named, the lines around it are kept.
  ASSERT_EQ(read.value().lineErrors.size(), 1u);
  EXPECT_EQ(read.value().lineErrors[0].code, kFLTRecordReaderBadLine);
  EXPECT_NE(read.value().lineErrors[0].message.find("line 2"), std::string::npos);
}

TEST_F(FLTRecordFileTest, HexHelpersFollowTheDigitRules) {
  EXPECT_EQ(FLTFileHexEncodeString("Az\x7f\x80"), "417a7f80");
  EXPECT_EQ(FLTFileHexEncodeString(""), "");
  EXPECT_EQ(FLTFileHexEncodeString(nullptr), "");
  struct Case {
    const char* hex;
    std::string text;
  };
  const Case cases[] = {
      {"48656c6c6f", "Hello"},
      {"48656C6C6F", "Hello"},   // upper case accepted
      {"4865zz6c6f", "He"},      // stops at the first bad pair
      {"48656", "He"},           // an unpaired last digit is ignored
      {"4800656c", "H"},         // a NUL ends the string
      {"", ""},
      {"c3a9", "\xc3\xa9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    EXPECT_EQ(FLTFileHexDecodeString(c.hex), c.text);
  }
}

// What a crash leaves: a file cut anywhere in its last line reads back with
// every complete line, and says so.
TEST_F(FLTRecordFileTest, TruncatedFileReadsBackAsFarAsItGoes) {
  const std::string whole = written([](FLTFile* f) {
    for (std::uint64_t i = 0; i < 3; ++i) {
      FLTFileWriteSectionStart(f, "load");
      FLTFileWriteHashStart(f);
      FLTFileWriteHashEntryUint64(f, "index", i);
      FLTFileWriteHashEntryHexEncodedString(f, "path", "/usr/lib/libexample.so");
      FLTFileWriteHashEnd(f);
      FLTFileWriteSectionEnd(f);
    }
  });
  const std::size_t thirdStart = whole.rfind("{\"load\"");
  for (std::size_t cut = thirdStart; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    const std::string file = path("binary_images.fltrecord");
    writeFile(file, whole.substr(0, cut));
    auto read = FLTFileReadSections(file.c_str(), true);
    ASSERT_TRUE(read.ok());
    const bool lastIsWhole = cut >= whole.size() - 1;  // only the newline missing
    ASSERT_EQ(read.value().sections.size(), lastIsWhole ? 3u : 2u);
    EXPECT_EQ(*read.value().sections[1].find("load")->find("index")->asInt(), 1);
    if (lastIsWhole || cut == thirdStart) {
      EXPECT_TRUE(read.value().complete());
    } else {
      ASSERT_EQ(read.value().lineErrors.size(), 1u);
      EXPECT_EQ(read.value().lineErrors[0].code, kFLTRecordReaderCutOff);
      EXPECT_NE(read.value().lineErrors[0].message.find("cut off"), std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::exists(file));  // a damaged file is not unreadable
  }
}

TEST_F(FLTRecordFileTest, ReaderKeepsWhatTheTransformReturns) {
  const std::string file = path("errors_a.fltrecord");
  writeFile(file, "{\"error\":{\"code\":1}}\n\n{\"kv\":{}}\nnot json\n{\"error\":{\"code\":2}}\n");
  auto read = FLTFileReadSections(file.c_str(), false, [](Value v) -> std::optional<Value> {
    if (v.find("error") == nullptr) return std::nullopt;
    return *v.find("error")->find("code");
  });
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().sections, (std::vector<Value>{Value(1), Value(2)}));
  ASSERT_EQ(read.value().lineErrors.size(), 1u);
  EXPECT_NE(read.value().lineErrors[0].message.find("line 4"), std::string::npos);
}

TEST_F(FLTRecordFileTest, UnreadableFileIsAnErrorAndIsDeletedOnlyWhenAsked) {
  EXPECT_EQ(FLTFileReadSections(nullptr, true).error().code, kFLTRecordReaderInvalidPath);
  EXPECT_EQ(FLTFileReadSections("", true).error().code, kFLTRecordReaderInvalidPath);

  // A dangling link cannot be read but can be deleted.
  const std::string link = path("dangling.fltrecord");
  ASSERT_EQ(symlink(path("nowhere").c_str(), link.c_str()), 0);
  auto kept = FLTFileReadSections(link.c_str(), false);
  ASSERT_FALSE(kept.ok());
  EXPECT_EQ(kept.error().code, kFLTRecordReaderUnreadable);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_FALSE(FLTFileReadSections(link.c_str(), true).ok());
  EXPECT_FALSE(std::filesystem::is_symlink(link));

  const std::string log = readFile(logPath_);
  EXPECT_NE(log.find("Error: input path is invalid\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to read file " + link + "\n"), std::string::npos) << log;
}

TEST_F(FLTRecordFileTest, AppendModeCountsThePreviousSizeAndTruncateModeStartsOver) {
  const std::string file = path("metadata.fltrecord");
  writeFile(file, "{\"identity\":{}}\n");
  FLTFile f;
  ASSERT_TRUE(FLTFileInitWithPathMode(&f, file.c_str(), true, false));
  EXPECT_EQ(f.bytesWritten, 16u);
  FLTFileWriteSectionStart(&f, "host");
  FLTFileWriteHashStart(&f);
  FLTFileWriteHashEnd(&f);
  FLTFileWriteSectionEnd(&f);
  std::uint64_t offset = 0;
  ASSERT_TRUE(FLTFileCloseWithOffset(&f, &offset));
  EXPECT_EQ(readFile(file), "{\"identity\":{}}\n{\"host\":{}}\n");
  EXPECT_EQ(offset, 28u);

  ASSERT_TRUE(FLTFileInitWithPathMode(&f, file.c_str(), false, false));
  EXPECT_EQ(f.bytesWritten, 0u);
  ASSERT_TRUE(FLTFileCloseWithOffset(&f, &offset));
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(readFile(file), "");
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u & ~[] { mode_t m = umask(0); umask(m); return m; }());
}

// The buffered form (user logging) must give byte for byte what the
// unbuffered one gives, across many buffer fills.
TEST_F(FLTRecordFileTest, BufferedWriterWritesTheSameBytes) {
  const auto write = [](FLTFile* f) {
    for (std::uint64_t i = 0; i < 200; ++i) {
      FLTFileWriteSectionStart(f, "log");
      FLTFileWriteHashStart(f);
      FLTFileWriteHashEntryUint64(f, "time", 1700000000000 + i);
      FLTFileWriteHashEntryHexEncodedString(f, "msg", std::string(i % 70, 'm').c_str());
      FLTFileWriteHashEnd(f);
      FLTFileWriteSectionEnd(f);
    }
  };
  const std::string unbuffered = written(write, false);
  const std::string buffered = written(write, true);
  EXPECT_GT(buffered.size(), 5 * kFLTFileBufferSize);
  EXPECT_EQ(buffered, unbuffered);
}

TEST_F(FLTRecordFileTest, OpenFailuresAreReportedAndLeaveTheFileClosed) {
  FLTFile f;
  const std::string missing = path("no/such/dir/x.fltrecord");
  EXPECT_FALSE(FLTFileInitWithPathMode(&f, missing.c_str(), true, false));
  EXPECT_EQ(f.fd, -1);
  EXPECT_FALSE(FLTFileInitWithPathMode(nullptr, missing.c_str(), true, false));
  // Writes to a file that is not open are dropped, not sent to descriptor -1.
  FLTFileWriteSectionStart(&f, "x");
  FLTFileWriteSectionEnd(&f);
  EXPECT_FALSE(FLTFileCloseWithOffset(&f, nullptr));
  const std::string log = readFile(logPath_);
  EXPECT_NE(log.find("Error: Unable to open file No such file or directory\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Error: file descriptor invalid\n"), std::string::npos);
  EXPECT_NE(log.find("Error: file is null\n"), std::string::npos);
  EXPECT_NE(log.find("Error: Unable to close file"), std::string::npos);
}

// A scripted `write`: each call takes at most the next allowance.
struct ScriptedWriter {
  std::vector<ssize_t> results;  // bytes to accept per call; <= 0 returned as is
  std::size_t calls = 0;
  std::string received;

  static ssize_t write(void* context, const void* bytes, std::size_t length) {
    auto* self = static_cast<ScriptedWriter*>(context);
    const ssize_t planned =
        self->calls < self->results.size() ? self->results[self->calls] : ssize_t{1};
    ++self->calls;
    if (planned <= 0) return planned;
    if (static_cast<std::size_t>(planned) > length) return planned;  // a lying write
    self->received.append(static_cast<const char*>(bytes), static_cast<std::size_t>(planned));
    return planned;
  }
};

TEST_F(FLTRecordFileTest, RawWriteContinuesPartialWritesAndFailsOnNoProgress) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<ssize_t> results;
    bool ok;
    std::size_t calls;
  };
  const Case cases[] = {
      {"whole at once", "abcdef", {6}, true, 1},
      {"partial writes continue", "abcdef", {2, 3, 1}, true, 3},
      {"zero fails", "abcdef", {2, 0}, false, 2},
      {"negative fails", "abcdef", {-1}, false, 1},
      {"more than asked fails", "abc", {4}, false, 1},
      {"fifty one-byte writes are enough", std::string(50, 'x'), {}, true, 50},
      {"the fifty-first is never tried", std::string(51, 'x'), {}, false, 50},
      {"an empty request fails without a call", "", {}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedWriter writer;
    writer.results = c.results;
    EXPECT_EQ(FLTFileLoopWithWriteBlock(c.bytes.data(), c.bytes.size(), ScriptedWriter::write,
                                        &writer),
              c.ok);
    EXPECT_EQ(writer.calls, c.calls);
    if (c.ok) {
      EXPECT_EQ(writer.received, c.bytes);
    }
  }
}

// The writer as the capture code uses it: from a signal handler, on an
// alternate stack taken from the guarded allocator, in a child that really
// faults.
FLTFile* gCrashFile = nullptr;
const char* gCrashPath = nullptr;
const char* gCrashReason = nullptr;

void crashHandler(int signal, siginfo_t* info, void*) {
  if (!FLTFileInitWithPathMode(gCrashFile, gCrashPath, true, false)) _exit(3);
  FLTFileWriteSectionStart(gCrashFile, "signal");
  FLTFileWriteHashStart(gCrashFile);
  FLTFileWriteHashEntryUint64(gCrashFile, "number", static_cast<std::uint64_t>(signal));
  FLTFileWriteHashEntryInt64(gCrashFile, "code", info->si_code);
  FLTFileWriteHashEntryUint64(gCrashFile, "address", reinterpret_cast<std::uintptr_t>(info->si_addr));
  FLTFileWriteHashEntryHexEncodedString(gCrashFile, "reason", gCrashReason);
  FLTFileWriteHashEnd(gCrashFile);
  FLTFileWriteSectionEnd(gCrashFile);
  std::uint64_t offset = 0;
  _exit(FLTFileCloseWithOffset(gCrashFile, &offset) && offset > 0 ? 42 : 4);
}

TEST_F(FLTRecordFileTest, SignalHandlerInAForkedChildWritesAReadableRecord) {
  const std::string file = path(std::string(kFLTRecordFileSignal));
  writeFile(file, "");
  const pid_t pid = fork();
  if (pid == 0) {
    // All the crash path needs is reserved up front.
    FLTAllocator* allocator = FLTAllocatorCreate(64 * 1024, 1024);
    if (allocator == nullptr) _exit(2);
    stack_t stack{};
    stack.ss_size = 64 * 1024;
    stack.ss_sp = FLTAllocatorSafeAllocate(allocator, stack.ss_size, kFLTAllocationTypeWritable);
    gCrashFile = static_cast<FLTFile*>(
        FLTAllocatorSafeAllocate(allocator, sizeof(FLTFile), kFLTAllocationTypeWritable));
    *gCrashFile = FLTFile{};
    char* pathCopy = static_cast<char*>(
        FLTAllocatorSafeAllocate(allocator, file.size() + 1, kFLTAllocationTypeReadOnly));
    std::memcpy(pathCopy, file.c_str(), file.size() + 1);
    gCrashPath = pathCopy;
    gCrashReason = "\"app\" said: bye\n";
    if (!FLTAllocatorProtect(allocator) || sigaltstack(&stack, nullptr) != 0) _exit(2);
    struct sigaction action {};
    action.sa_sigaction = crashHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    // A fault on the protected path itself.
    *const_cast<volatile char*>(gCrashPath) = 'x';
    _exit(1);
  }
  int status = 0;
  ASSERT_TRUE(waitForChild(pid, &status));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 42);

  auto read = FLTFileReadSections(file.c_str(), false);
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read.value().complete());
  ASSERT_EQ(read.value().sections.size(), 1u);
  const Value* signal = read.value().sections[0].find("signal");
  ASSERT_NE(signal, nullptr);
  EXPECT_EQ(signal->find("number")->asInt(), SIGSEGV);
  EXPECT_EQ(signal->find("code")->asInt(), SEGV_ACCERR);
  EXPECT_NE(signal->find("address")->asInt().value_or(0), 0);
  EXPECT_EQ(FLTFileHexDecodeString(*signal->find("reason")->asString()), "\"app\" said: bye\n");
}

}  // namespace
}  // namespace vandrel::crash
