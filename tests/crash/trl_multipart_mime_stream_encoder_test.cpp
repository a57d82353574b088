#include "crash/kit/trl_multipart_mime_stream_encoder.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/http.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kBoundary[] = "0F5C2E4A-91B3-4D27-8C6E-3A1B2C3D4E5F";

// ---- An independent reader of the wire format --------------------------------

struct ParsedPart {
  std::vector<std::pair<std::string, std::string>> headers;
  std::string name;                     // as on the wire
  std::optional<std::string> filename;  // as on the wire
  std::string content;

  std::optional<std::string> header(const std::string& key) const {
    for (const auto& [k, v] : headers) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
};

struct ParsedBody {
  std::string error;  // empty when the body is well-formed
  std::vector<ParsedPart> parts;
};

// Reads `key="..."` at `pos`; a quoted value ends at the first quote.
bool readParam(const std::string& line, std::size_t& pos, const std::string& key,
               std::string& value) {
  const std::string lead = key + "=\"";
  if (line.compare(pos, lead.size(), lead) != 0) return false;
  const std::size_t start = pos + lead.size();
  const std::size_t end = line.find('"', start);
  if (end == std::string::npos) return false;
  value = line.substr(start, end - start);
  pos = end + 1;
  return true;
}

bool parseDisposition(const std::string& value, ParsedPart& part) {
  const std::string lead = "form-data; ";
  if (value.rfind(lead, 0) != 0) return false;
  std::size_t pos = lead.size();
  if (!readParam(value, pos, "name", part.name)) return false;
  if (pos == value.size()) return true;
  if (value.compare(pos, 2, "; ") != 0) return false;
  pos += 2;
  std::string filename;
  if (!readParam(value, pos, "filename", filename)) return false;
  part.filename = filename;
  return pos == value.size();
}

ParsedBody parseBody(const std::string& body, const std::string& boundary) {
  ParsedBody out;
  const std::string head = "MIME-Version: 1.0\r\n";
  const std::string dash = "--" + boundary;
  const std::string delimiter = "\r\n" + dash;
  if (body.rfind(head + dash, 0) != 0) return {"no head and first boundary", {}};
  std::size_t pos = head.size() + dash.size();
  while (true) {
    if (body.compare(pos, 4, "--\r\n") == 0) {
      if (pos + 4 != body.size()) out.error = "bytes after the closing line";
      return out;
    }
    if (body.compare(pos, 2, "\r\n") != 0) return {"boundary line not ended by CRLF", {}};
    pos += 2;
    ParsedPart part;
    while (true) {
      const std::size_t eol = body.find("\r\n", pos);
      if (eol == std::string::npos) return {"unterminated header", {}};
      const std::string line = body.substr(pos, eol - pos);
      pos = eol + 2;
      if (line.empty()) break;
      if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) {
        return {"bare CR or LF in a header", {}};
      }
      const std::size_t colon = line.find(": ");
      if (colon == std::string::npos) return {"header without a colon: " + line, {}};
      part.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    const auto disposition = part.header("Content-Disposition");
    if (!disposition || !parseDisposition(*disposition, part)) {
      return {"bad Content-Disposition", {}};
    }
    const std::size_t end = body.find(delimiter, pos);
    if (end == std::string::npos) return {"part without a closing delimiter", {}};
    part.content = body.substr(pos, end - pos);
    out.parts.push_back(std::move(part));
    pos = end + delimiter.size();
  }
}

// ---- Fixtures -------------------------------------------------------------------

std::string binaryBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes + "\r\n--\r\n\r\n--" + "0F5C2E4A" + "\0tail"s;
}

class TempDir {
 public:
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "multipart-test-XXXXXX").string();
    VANDREL_CHECK(mkdtemp(templ.data()) != nullptr, "mkdtemp");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path write(const std::string& name, const std::string& bytes) const {
    const fs::path p = path_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

using test_support::readFile;

// A memory stream that refuses writes while `refuse` is set (a full disk)
// and can be told to refuse cutting back.
class FlakyStream : public TRLOutputStream {
 public:
  bool open() override { return memory.open(); }
  std::size_t write(const void* bytes, std::size_t size) override {
    if (refuse) {
      const std::size_t taken = size / 2;  // a short write: some bytes taken
      return memory.write(bytes, taken);
    }
    return memory.write(bytes, size);
  }
  bool truncate(std::uint64_t length) override {
    return canTruncate && memory.truncate(length);
  }
  bool close(bool complete) override {
    closedComplete = complete;
    return memory.close(complete);
  }

  TRLMemoryOutputStream memory;
  bool refuse = false;
  bool canTruncate = true;
  std::optional<bool> closedComplete;
};

// Discards what it gets but checks it: the largest single write, the count
// and the bytes at chosen offsets of the file part.
class CountingStream : public TRLOutputStream {
 public:
  bool open() override { return true; }
  std::size_t write(const void* bytes, std::size_t size) override {
    maxWrite = std::max(maxWrite, size);
    const auto* p = static_cast<const char*>(bytes);
    for (std::size_t i = 0; i < size; ++i) {
      if (p[i] != 0) nonZero.emplace_back(total + i, p[i]);
    }
    total += size;
    return size;
  }
  bool truncate(std::uint64_t) override { return false; }
  bool close(bool) override { return true; }

  std::size_t maxWrite = 0;
  std::uint64_t total = 0;
  std::vector<std::pair<std::uint64_t, char>> nonZero;
};

class EncoderTest : public ::testing::Test {
 protected:
  TRLMultipartMimeStreamEncoder makeEncoder(std::shared_ptr<TRLOutputStream> stream,
                                            std::optional<std::string> boundary = kBoundary) {
    return TRLMultipartMimeStreamEncoder(
        std::move(stream), std::move(boundary), [] { return std::string(kBoundary); },
        [this](std::string_view line) { logs_.emplace_back(line); });
  }

  std::vector<std::string> logs_;
  TempDir dir_;
};

// ---- Exact bytes ------------------------------------------------------------------

TEST_F(EncoderTest, EmptyEncodingIsHeadThenEndAndCounts61Bytes) {
  auto stream = std::make_shared<TRLMemoryOutputStream>();
  auto encoder = makeEncoder(stream, std::nullopt);
  ASSERT_TRUE(encoder.encode({}).ok());
  EXPECT_EQ(stream->data(), "MIME-Version: 1.0\r\n--" + std::string(kBoundary) + "--\r\n");
  EXPECT_EQ(encoder.length(), 61u);
  EXPECT_EQ(encoder.contentLengthHTTPHeaderValue(), "61");
  EXPECT_EQ(encoder.contentTypeHTTPHeaderValue(),
            "multipart/form-data; boundary=" + std::string(kBoundary));
}

TEST_F(EncoderTest, PartsHaveTheirExactBytes) {
  struct Case {
    const char* label;
    std::function<bool(TRLMultipartMimeStreamEncoder&)> add;
    std::string bytes;
  };
  const std::string b = kBoundary;
  const std::vector<Case> cases = {
      {"string value", [](auto& e) { return e.addValue("abc", "report_id"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"report_id\"\r\n"
       "Content-Type: text/plain\r\n\r\nabc\r\n"},
      {"empty string value", [](auto& e) { return e.addValue("", "k"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"k\"\r\n"
       "Content-Type: text/plain\r\n\r\n\r\n"},
      {"integer value", [](auto& e) { return e.addValue(-42, "n"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n"
       "Content-Type: text/plain\r\n\r\n-42\r\n"},
      {"bool value", [](auto& e) { return e.addValue(true, "n"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n"
       "Content-Type: text/plain\r\n\r\n1\r\n"},
      {"double value", [](auto& e) { return e.addValue(0.1, "n"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n"
       "Content-Type: text/plain\r\n\r\n0.1\r\n"},
      {"file with type",
       [](auto& e) { return e.addFileData("PNG", "a.png", "image/png", "icon"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"icon\"; filename=\"a.png\"\r\n"
       "Content-Type: image/png\r\nContent-Transfer-Encoding: binary\r\n\r\nPNG\r\n"},
      {"file without type",
       [](auto& e) { return e.addFileData("x", "f.bin", std::nullopt, "file"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\nx\r\n"},
      {"file with empty type",
       [](auto& e) { return e.addFileData("x", "f.bin", "", "file"); },
       "--" + b + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\nx\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto stream = std::make_shared<TRLMemoryOutputStream>();
    auto encoder = makeEncoder(stream);
    ASSERT_TRUE(encoder.encode([&] { EXPECT_TRUE(c.add(encoder)); }).ok());
    EXPECT_EQ(stream->data(), "MIME-Version: 1.0\r\n" + c.bytes + "--" + b + "--\r\n");
    EXPECT_EQ(encoder.length(), stream->data().size());
  }
  EXPECT_TRUE(logs_.empty());
}

// ---- Round trips ------------------------------------------------------------------

// Names as given and as they must stand between the quotes: '"', CR and LF
// escaped, every other byte unchanged.
struct HostileName {
  const char* label;
  std::string fieldName;
  std::string fileName;
  std::string wireFieldName;
  std::string wireFileName;
};

const std::vector<HostileName>& hostileNames() {
  const std::string b = kBoundary;
  static const std::vector<HostileName> names = {
      {"plain", "report", "report.json", "report", "report.json"},
      {"quotes", "a\"b", "\"quoted\".txt", "a%22b", "%22quoted%22.txt"},
      {"parameter injection", "x\"; filename=\"evil", "y\"; name=\"z",
       "x%22; filename=%22evil", "y%22; name=%22z"},
      {"CR LF header injection", "f\r\nContent-Type: text/html\r\n\r\n",
       "n\r\n--" + b + "--\r\n", "f%0D%0AContent-Type: text/html%0D%0A%0D%0A",
       "n%0D%0A--" + b + "--%0D%0A"},
      {"bare CR and LF", "a\rb\nc", "\n", "a%0Db%0Ac", "%0A"},
      {"non-ASCII", "gr\xC3\xBC\xC3\x9F" "e", "\xE6\x97\xA5\xE6\x9C\xAC.txt",
       "gr\xC3\xBC\xC3\x9F" "e", "\xE6\x97\xA5\xE6\x9C\xAC.txt"},
      {"backslash, percent, semicolon", "a\\b%22;c", "c:\\d%0A", "a\\b%22;c", "c:\\d%0A"},
  };
  return names;
}

enum class Output { Memory, File };

class RoundTripTest : public EncoderTest, public ::testing::WithParamInterface<Output> {
 protected:
  // Encodes with `add` into the chosen output and answers the body.
  std::string encodeInto(const std::function<void(TRLMultipartMimeStreamEncoder&)>& add) {
    std::shared_ptr<TRLOutputStream> stream;
    auto memory = std::make_shared<TRLMemoryOutputStream>();
    const fs::path out = dir_.path() / "package.multipart";
    if (GetParam() == Output::Memory) {
      stream = memory;
    } else {
      stream = std::make_shared<TRLFileOutputStream>(out);
    }
    auto encoder = makeEncoder(stream);
    EXPECT_TRUE(encoder.encode([&] { add(encoder); }).ok());
    const std::string body = GetParam() == Output::Memory ? memory->data() : readFile(out);
    EXPECT_EQ(encoder.length(), body.size());
    return body;
  }
};

TEST_P(RoundTripTest, ValueAndFilePartsReadBackUnchanged) {
  const std::string binary = binaryBytes();
  const fs::path onDisk = dir_.write("data.bin", binary + binary);
  const std::string body = encodeInto([&](TRLMultipartMimeStreamEncoder& e) {
    EXPECT_TRUE(e.addValue("line1\r\nline2", "text"));
    EXPECT_TRUE(e.addFileData(binary, "mem.bin", "application/x-test", "mem"));
    EXPECT_TRUE(e.addFile(onDisk, "disk.bin", std::nullopt, "disk"));
    EXPECT_TRUE(e.addValue(7, "count"));
  });
  const ParsedBody parsed = parseBody(body, kBoundary);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.parts.size(), 4u);
  EXPECT_EQ(parsed.parts[0].content, "line1\r\nline2");
  EXPECT_EQ(parsed.parts[1].content, binary);
  EXPECT_EQ(parsed.parts[1].header("Content-Type"), "application/x-test");
  EXPECT_EQ(parsed.parts[1].header("Content-Transfer-Encoding"), "binary");
  EXPECT_EQ(parsed.parts[2].content, binary + binary);
  EXPECT_EQ(parsed.parts[2].filename, "disk.bin");
  EXPECT_EQ(parsed.parts[2].header("Content-Type"), "application/octet-stream");
  EXPECT_FALSE(parsed.parts[2].header("Content-Transfer-Encoding").has_value());
  EXPECT_EQ(parsed.parts[3].content, "7");
  EXPECT_TRUE(logs_.empty());
}

TEST_P(RoundTripTest, HostileNamesCannotBreakTheFraming) {
  const fs::path onDisk = dir_.write("data.bin", "disk");
  for (const HostileName& n : hostileNames()) {
    SCOPED_TRACE(n.label);
    const std::string body = encodeInto([&](TRLMultipartMimeStreamEncoder& e) {
      EXPECT_TRUE(e.addValue("v", n.fieldName));
      EXPECT_TRUE(e.addFileData("data", n.fileName, "text/plain", n.fieldName));
      EXPECT_TRUE(e.addFile(onDisk, n.fileName, std::nullopt, n.fieldName));
    });
    const ParsedBody parsed = parseBody(body, kBoundary);
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.parts.size(), 3u);
    for (const ParsedPart& part : parsed.parts) EXPECT_EQ(part.name, n.wireFieldName);
    EXPECT_FALSE(parsed.parts[0].filename.has_value());
    EXPECT_EQ(parsed.parts[0].headers.size(), 2u);
    EXPECT_EQ(parsed.parts[1].filename, n.wireFileName);
    EXPECT_EQ(parsed.parts[1].headers.size(), 3u);
    EXPECT_EQ(parsed.parts[2].filename, n.wireFileName);
    EXPECT_EQ(parsed.parts[2].headers.size(), 2u);
    EXPECT_EQ(parsed.parts[0].content, "v");
    EXPECT_EQ(parsed.parts[1].content, "data");
    EXPECT_EQ(parsed.parts[2].content, "disk");
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, RoundTripTest, ::testing::Values(Output::Memory, Output::File),
                         [](const auto& info) {
                           return info.param == Output::Memory ? "Memory" : "File";
                         });

// ---- Skipped parts ------------------------------------------------------------------

TEST_F(EncoderTest, InvalidPartsAreSkippedWithTheirLogLinesAndTheBodyStaysWhole) {
  const fs::path missing = dir_.path() / "missing.bin";
  const fs::path empty = dir_.write("empty.bin", "");
  auto stream = std::make_shared<TRLMemoryOutputStream>();
  auto encoder = makeEncoder(stream);
  ASSERT_TRUE(encoder
                  .encode([&] {
                    EXPECT_TRUE(encoder.addValue("first", "a"));
                    EXPECT_FALSE(encoder.addValue(nullptr, "nullValue"));
                    EXPECT_FALSE(encoder.addValue("v", ""));
                    EXPECT_FALSE(encoder.addValue(platform::Value::Array{1, 2}, "array"));
                    EXPECT_FALSE(encoder.addFileData("", "", std::nullopt, ""));
                    EXPECT_FALSE(encoder.addFileData("x", "", std::nullopt, "noFile"));
                    EXPECT_FALSE(encoder.addFileData("x", "f", std::nullopt, ""));
                    EXPECT_FALSE(encoder.addFile(missing, "m", std::nullopt, "missing"));
                    EXPECT_FALSE(encoder.addFile(empty, "e", std::nullopt, "empty"));
                    EXPECT_FALSE(encoder.addFile(dir_.path(), "d", std::nullopt, "directory"));
                    EXPECT_TRUE(encoder.addValue("last", "z"));
                  })
                  .ok());
  EXPECT_THAT(logs_,
              ElementsAre("[Trellis] name (nullValue) or value ((null)) is invalid",
                          "[Trellis] name () or value (v) is invalid",
                          "[Trellis] name (array) or value ([1,2]) is invalid",
                          "[Trellis] Unable to MIME encode data with zero length ()",
                          "[Trellis] name (noFile) or fieldname () is invalid",
                          "[Trellis] name () or fieldname (f) is invalid",
                          "[Trellis] Unable to MIME encode data with zero length (missing)",
                          "[Trellis] Unable to MIME encode data with zero length (empty)",
                          "[Trellis] Unable to MIME encode data with zero length (directory)"));
  const ParsedBody parsed = parseBody(stream->data(), kBoundary);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[0].content, "first");
  EXPECT_EQ(parsed.parts[1].content, "last");
  EXPECT_EQ(encoder.length(), stream->data().size());
}

TEST_F(EncoderTest, UnreadableFileIsSkippedWithTheZeroLengthMessage) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const fs::path locked = dir_.write("locked.bin", "secret");
  fs::permissions(locked, fs::perms::none);
  auto stream = std::make_shared<TRLMemoryOutputStream>();
  auto encoder = makeEncoder(stream);
  ASSERT_TRUE(encoder.encode([&] {
    EXPECT_FALSE(encoder.addFile(locked, "l", std::nullopt, "locked"));
  }).ok());
  EXPECT_THAT(logs_, ElementsAre("[Trellis] Unable to MIME encode data with zero length (locked)"));
  EXPECT_EQ(stream->data(), "MIME-Version: 1.0\r\n--" + std::string(kBoundary) + "--\r\n");
}

TEST_F(EncoderTest, ContentHoldingTheDelimiterIsSkipped) {
  const std::string delimiter = "\r\n--" + std::string(kBoundary);
  // In a streamed file the delimiter straddles the 64 KiB read chunks.
  std::string straddling(64 * 1024 - 10, 'a');
  straddling += delimiter + "--\r\n";
  const fs::path onDisk = dir_.write("straddle.bin", straddling);
  auto stream = std::make_shared<TRLMemoryOutputStream>();
  auto encoder = makeEncoder(stream);
  ASSERT_TRUE(encoder.encode([&] {
    EXPECT_TRUE(encoder.addValue("kept", "a"));
    EXPECT_FALSE(encoder.addValue("x" + delimiter + "\r\n", "inValue"));
    EXPECT_FALSE(encoder.addFileData("--" + std::string(kBoundary), "f", std::nullopt, "atStart"));
    EXPECT_FALSE(encoder.addFile(onDisk, "s", std::nullopt, "straddling"));
    EXPECT_TRUE(encoder.addValue("--" + std::string(kBoundary, 35), "nearMiss"));
  }).ok());
  EXPECT_EQ(logs_.size(), 3u);
  EXPECT_THAT(logs_.at(2), HasSubstr("(straddling) contains the boundary"));
  const ParsedBody parsed = parseBody(stream->data(), kBoundary);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[1].name, "nearMiss");
}

// ---- Write failures -------------------------------------------------------------------

TEST_F(EncoderTest, ShortWriteCutsThePartBackAndTheBodyGoesOn) {
  auto stream = std::make_shared<FlakyStream>();
  const fs::path onDisk = dir_.write("data.bin", std::string(200000, 'q'));
  auto encoder = makeEncoder(stream);
  ASSERT_TRUE(encoder.encode([&] {
    EXPECT_TRUE(encoder.addValue("A", "a"));
    stream->refuse = true;
    EXPECT_FALSE(encoder.addFile(onDisk, "d", std::nullopt, "disk"));
    EXPECT_FALSE(encoder.addValue("B", "b"));
    stream->refuse = false;
    EXPECT_TRUE(encoder.addValue("C", "c"));
  }).ok());
  EXPECT_EQ(stream->closedComplete, true);
  EXPECT_THAT(logs_, ElementsAre(std::string(kTRLMultipartFailedToWriteData),
                                 std::string(kTRLMultipartFailedToWriteData)));
  const std::string& body = stream->memory.data();
  EXPECT_EQ(encoder.length(), body.size());
  EXPECT_EQ(encoder.contentLengthHTTPHeaderValue(), std::to_string(body.size()));
  const ParsedBody parsed = parseBody(body, kBoundary);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[0].content, "A");
  EXPECT_EQ(parsed.parts[1].content, "C");
}

TEST_F(EncoderTest, WriteFailureThatCannotBeCutBackFailsTheWholeBody) {
  auto stream = std::make_shared<FlakyStream>();
  stream->canTruncate = false;
  auto encoder = makeEncoder(stream);
  const auto result = encoder.encode([&] {
    stream->refuse = true;
    EXPECT_FALSE(encoder.addValue("A", "a"));
    stream->refuse = false;
    EXPECT_FALSE(encoder.addValue("B", "b"));  // nothing more goes onto a broken body
  });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, kTRLMultipartErrorDomain);
  EXPECT_EQ(result.error().code, kTRLMultipartErrorWriteFailed);
  EXPECT_EQ(stream->closedComplete, false);
  EXPECT_EQ(stream->memory.data(), "");
}

TEST_F(EncoderTest, FileOutputAppearsOnlyWhenTheBodyIsWhole) {
  const fs::path out = dir_.path() / "report.multipart";
  {
    auto file = std::make_shared<TRLFileOutputStream>(out);
    auto encoder = makeEncoder(file);
    encoder.beginEncoding();
    EXPECT_TRUE(encoder.addValue("v", "k"));
    // Mid-body, the directory shows no file under the final name.
    EXPECT_FALSE(fs::exists(out));
    ASSERT_TRUE(encoder.endEncoding().ok());
  }
  EXPECT_THAT(dir_.entries(), ElementsAre("report.multipart"));
  EXPECT_EQ(parseBody(readFile(out), kBoundary).parts.size(), 1u);

  const fs::path nowhere = dir_.path() / "no-such-dir" / "x.multipart";
  auto encoder = makeEncoder(std::make_shared<TRLFileOutputStream>(nowhere));
  const auto result = encoder.encode([&] { EXPECT_FALSE(encoder.addValue("v", "k")); });
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, kTRLMultipartErrorOpenFailed);
  EXPECT_THAT(dir_.entries(), ElementsAre("report.multipart"));
}

TEST_F(EncoderTest, FileOutputOfAFailedBodyLeavesNoFile) {
  const fs::path out = dir_.path() / "report.multipart";
  auto file = std::make_shared<TRLFileOutputStream>(out);
  auto encoder = makeEncoder(file);
  encoder.beginEncoding();
  EXPECT_TRUE(encoder.addValue("v", "k"));
  // The temporary file vanishes under the encoder: closing cannot publish it.
  for (const auto& name : dir_.entries()) fs::remove(dir_.path() / name);
  EXPECT_FALSE(encoder.endEncoding().ok());
  EXPECT_TRUE(dir_.entries().empty());
}

// ---- Large files ----------------------------------------------------------------------

long maxRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(EncoderTest, LargeFileStreamsInBoundedChunks) {
  constexpr std::uint64_t kSize = 256ull * 1024 * 1024;
  const fs::path big = dir_.path() / "big.bin";
  {
    // Sparse: zeros except three marker bytes, so the test itself stays small.
    platform::UniqueFd fd(::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::pwrite(fd.get(), "S", 1, 0), 1);
    ASSERT_EQ(::pwrite(fd.get(), "M", 1, kSize / 2), 1);
    ASSERT_EQ(::ftruncate(fd.get(), kSize - 1), 0);
    ASSERT_EQ(::pwrite(fd.get(), "E", 1, kSize - 1), 1);
  }
  const long rssBefore = maxRssKiB();
  auto stream = std::make_shared<CountingStream>();
  auto encoder = makeEncoder(stream);
  ASSERT_TRUE(encoder.encode([&] {
    EXPECT_TRUE(encoder.addFile(big, "big.bin", "application/octet-stream", "big"));
  }).ok());
  EXPECT_LE(stream->maxWrite, 64u * 1024 + 256);
  EXPECT_LT(maxRssKiB() - rssBefore, 32L * 1024) << "the file was held in memory";

  const std::string head = "MIME-Version: 1.0\r\n--" + std::string(kBoundary) +
                           "\r\nContent-Disposition: form-data; name=\"big\"; filename=\"big.bin\""
                           "\r\nContent-Type: application/octet-stream"
                           "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  const std::string tail = "\r\n--" + std::string(kBoundary) + "--\r\n";
  EXPECT_EQ(encoder.length(), head.size() + kSize + tail.size());
  EXPECT_EQ(stream->total, encoder.length());
  // The bytes of the file are where the file has them.
  std::vector<std::pair<std::uint64_t, char>> fileMarkers;
  for (const auto& [offset, c] : stream->nonZero) {
    if (offset >= head.size() && offset < head.size() + kSize) {
      fileMarkers.emplace_back(offset - head.size(), c);
    }
  }
  EXPECT_THAT(fileMarkers, ElementsAre(std::pair<std::uint64_t, char>{0, 'S'},
                                       std::pair<std::uint64_t, char>{kSize / 2, 'M'},
                                       std::pair<std::uint64_t, char>{kSize - 1, 'E'}));
}

// ---- Boundaries and requests --------------------------------------------------------

bool isUpperUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = s[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

TEST(TRLMultipartBoundaryTest, GeneratedBoundariesAreFreshUpperCaseUUIDs) {
  const std::string first = TRLMultipartMimeStreamEncoder::generateBoundary();
  const std::string second = TRLMultipartMimeStreamEncoder::generateBoundary();
  EXPECT_TRUE(isUpperUUID(first)) << first;
  EXPECT_TRUE(isUpperUUID(second)) << second;
  EXPECT_NE(first, second);
  EXPECT_EQ(TRLMultipartMimeStreamEncoder::generateBoundary(
                [] { return std::string("0f5c2e4a-91b3-4d27-8c6e-3a1b2c3d4e5f"); }),
            kBoundary);
  // A source that answers garbage does not become the boundary.
  EXPECT_TRUE(isUpperUUID(
      TRLMultipartMimeStreamEncoder::generateBoundary([] { return std::string("a\r\nb"); })));
}

TEST(TRLMultipartBoundaryTest, OnlyValidGivenBoundariesAreKept) {
  struct Case {
    const char* label;
    std::optional<std::string> given;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"none", std::nullopt, false},
      {"empty", "", false},
      {"simple", "abc", true},
      {"all allowed characters", "Az09'()+_,-./:=? x", true},
      {"70 characters", std::string(70, 'b'), true},
      {"71 characters", std::string(71, 'b'), false},
      {"trailing blank", "abc ", false},
      {"quote", "a\"b", false},
      {"CR LF", "a\r\nContent-Type: x", false},
      {"semicolon", "a;b", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TRLMultipartMimeStreamEncoder encoder(std::make_shared<TRLMemoryOutputStream>(), c.given,
                                          [] { return std::string(kBoundary); },
                                          [](std::string_view) {});
    EXPECT_EQ(encoder.boundary(), c.kept ? *c.given : std::string(kBoundary));
  }
}

TEST(TRLMultipartRequestTest, PopulateRequestSetsHeadersAndBody) {
  platform::HttpRequest request;
  request.method = "POST";
  const auto result = TRLMultipartMimeStreamEncoder::populateRequest(
      request,
      [](TRLMultipartMimeStreamEncoder& e) {
        EXPECT_TRUE(e.addValue("com.vandrel.mac.offline", "app[identifier]"));
        EXPECT_TRUE(e.addFileData("\x89PNG", "icon.png", "image/png", "app[icon][data]"));
      },
      [] { return std::string(kBoundary); });
  ASSERT_TRUE(result.ok());
  ASSERT_EQ(request.body.kind, platform::HttpBody::Kind::Bytes);
  EXPECT_EQ(request.headers.value("Content-Type"),
            "multipart/form-data; boundary=" + std::string(kBoundary));
  EXPECT_EQ(request.headers.value("Content-Length"), std::to_string(request.body.data.size()));
  const ParsedBody parsed = parseBody(request.body.data, kBoundary);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.parts.size(), 2u);
  EXPECT_EQ(parsed.parts[0].name, "app[identifier]");
  EXPECT_EQ(parsed.parts[1].content, "\x89PNG");
}

}  // namespace
}  // namespace vandrel::crash
