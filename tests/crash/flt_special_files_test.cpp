// Report files that are not regular files at the next launch: a FIFO, a
// directory or a link where a record file, a content file or its gzip copy
// should be. Each must be refused at once, never waited on nor followed.
// The calls that could block run in forked children with a deadline.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_package_report_operation.h"
#include "tests/crash/capture_test_support.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using capture_test::readFile;
using capture_test::runChild;

bool exitedCleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

class FLTSpecialFilesTest : public capture_test::SdkLogTest {
 protected:
  void makeFifo(const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0) << at; }
  void writeText(const fs::path& at, const std::string& text) {
    std::ofstream(at, std::ios::binary) << text;
  }
};

TEST_F(FLTSpecialFilesTest, ReaderRefusesWhatIsNotARegularFileWithoutBlocking) {
  struct Case {
    const char* name;
    void (*make)(const std::string&);
  };
  const Case cases[] = {
      {"fifo", [](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }},
      {"directory", [](const std::string& at) { ASSERT_EQ(::mkdir(at.c_str(), 0755), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string record = path(std::string(c.name) + ".fltrecord");
    c.make(record);
    const int status = runChild([&] {
      auto read = FLTFileReadSections(record.c_str(), false);
      if (read.ok() || read.error().code != kFLTRecordReaderUnreadable) _exit(1);
    });
    EXPECT_TRUE(exitedCleanly(status)) << "status " << status;
    EXPECT_TRUE(fs::exists(fs::symlink_status(record)));
  }
  // Asked to delete what cannot be read, the reader takes the FIFO away.
  const std::string fifo = path("fifo.fltrecord");
  const int status = runChild([&] {
    if (FLTFileReadSections(fifo.c_str(), true).ok()) _exit(1);
  });
  EXPECT_TRUE(exitedCleanly(status));
  EXPECT_FALSE(fs::exists(fs::symlink_status(fifo)));
}

// Asked to delete an unreadable file, the reader still keeps one that only
// failed for want of descriptors: it reads fine once some are free again.
TEST_F(FLTSpecialFilesTest, ReaderKeepsAFileThatFailedForWantOfDescriptors) {
  const std::string record = path("user_kv_compacted.fltrecord");
  const std::string text = "{\"kv\":{\"key\":\"6b\",\"value\":\"76\"}}\n";
  writeText(record, text);
  const int status = runChild([&] {
    const rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    if (errno != EMFILE) _exit(3);
    auto read = FLTFileReadSections(record.c_str(), true);
    if (read.ok() || read.error().code != kFLTRecordReaderUnreadable) _exit(1);
  });
  EXPECT_TRUE(exitedCleanly(status)) << "status " << status;
  EXPECT_EQ(readFile(record), text);
}

TEST_F(FLTSpecialFilesTest, WriterNeitherFollowsALinkNorWaitsOnAFifo) {
  const fs::path outside = path("outside.txt");
  writeText(outside, "precious");
  const std::string link = path("signal.fltrecord");
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  const std::string fifo = path("errors_a.fltrecord");
  makeFifo(fifo);

  for (const bool append : {false, true}) {
    for (const std::string& at : {link, fifo}) {
      SCOPED_TRACE(at + (append ? " append" : " truncate"));
      const int status = runChild([&] {
        FLTFile file;
        if (FLTFileInitWithPathMode(&file, at.c_str(), append, false) || file.fd != -1) _exit(1);
      });
      EXPECT_TRUE(exitedCleanly(status)) << "status " << status;
    }
  }
  EXPECT_EQ(readFile(outside), "precious");
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(FLTSpecialFilesTest, EncoderSkipsAFifoInsteadOfBlockingOnIt) {
  const std::string fifo = path("part.bin");
  makeFifo(fifo);
  const std::string body = path("body.txt");
  const int status = runChild([&] {
    auto stream = std::make_shared<TRLMemoryOutputStream>();
    TRLMultipartMimeStreamEncoder encoder(stream, std::string("B0UNDARY"), {},
                                          [](std::string_view) {});
    bool added = true;
    const auto result = encoder.encode([&] { added = encoder.addFile(fifo, "p", {}, "part"); });
    std::ofstream(body, std::ios::binary) << stream->data();
    if (added || !result.ok()) _exit(1);
  });
  EXPECT_TRUE(exitedCleanly(status)) << "status " << status;
  EXPECT_EQ(readFile(body), "MIME-Version: 1.0\r\n--B0UNDARY--\r\n");
}

// A report of an earlier launch holding a FIFO as content and, where the
// gzip copies go, a link to a file outside the store and another FIFO.
TEST_F(FLTSpecialFilesTest, PackagingSkipsFifosAndNeverWritesThroughALinkedCopy) {
  const fs::path root = path("store");
  const FLTFileManager store = FLTFileManager::withRootPath(root.string());
  ASSERT_TRUE(store.prepareForNewLaunch());
  const fs::path report = fs::path(store.processingPath()) / "S1";
  fs::create_directories(report);
  const std::string metadata = "{\"identity\":{\"api_key\":\"K\",\"session_id\":\"S1\"}}\n";
  const std::string signal = "{\"signal\":{\"number\":11}}\n";
  writeText(report / "metadata.fltrecord", metadata);
  writeText(report / "signal.fltrecord", signal);
  makeFifo((report / "errors_a.fltrecord").string());
  makeFifo((report / "metadata.fltrecord.gz").string());
  const fs::path outside = path("outside.txt");
  writeText(outside, "precious");
  fs::create_symlink(outside, report / "signal.fltrecord.gz");

  const int status = runChild([&] {
    auto operation =
        FLTPackageReportOperation::initWithReport(FLTInternalReport::reportWithPath(report), &store);
    operation->start();
    if (!operation->finalPath()) _exit(1);
  });
  ASSERT_TRUE(exitedCleanly(status)) << "status " << status;

  EXPECT_EQ(readFile(outside), "precious");
  const auto packages = store.preparedPathContents();
  ASSERT_EQ(packages.size(), 1u);
  const std::string body = readFile(packages.front());
  // Both files still travel, uncompressed, since no copy could be made.
  EXPECT_NE(body.find("\r\n\r\n" + metadata + "\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("\r\n\r\n" + signal + "\r\n"), std::string::npos) << body;
  EXPECT_EQ(body.find("errors_a"), std::string::npos);
  EXPECT_EQ(readFile(report / "signal.fltrecord"), signal);
}

}  // namespace
}  // namespace vandrel::crash
