#include "crash/kit/trl_multipart_mime_stream_encoder.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/http.h"

namespace vandrel::crash {

namespace {

// Large enough for few system calls, small enough that a report package of
// any size streams in constant memory.
constexpr std::size_t kFileChunkSize = 64 * 1024;
constexpr std::size_t kMaxBoundaryLength = 70;

void logToStderr(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

bool isBoundaryChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return std::string_view("'()+_,-./:=? ").find(c) != std::string_view::npos;
}

bool isValidBoundary(std::string_view boundary) {
  return !boundary.empty() && boundary.size() <= kMaxBoundaryLength &&
         boundary.back() != ' ' && std::all_of(boundary.begin(), boundary.end(), isBoundaryChar);
}

bool isUUIDForm(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string upperCased(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string uuidFromRandomBytes() {
  unsigned char bytes[16] = {};
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    VANDREL_CHECK(got > 0, "getrandom failed");
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0f];
  }
  return out;
}

// Form-data names travel inside a quoted header parameter: a quote would
// end it and a CR or LF would end the header line, letting a name forge
// headers or parts. These three are percent-escaped, as browsers do.
std::string escapedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '"') {
      out += "%22";
    } else if (c == '\r') {
      out += "%0D";
    } else if (c == '\n') {
      out += "%0A";
    } else {
      out += c;
    }
  }
  return out;
}

// A MIME type fills a header line of its own: control characters there
// could end the line and forge headers.
bool isSafeHeaderValue(std::string_view value) {
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

std::optional<std::string> valueText(const platform::Value& value) {
  using Type = platform::Value::Type;
  switch (value.type()) {
    case Type::String:
      return *value.asString();
    case Type::Int:
      return std::to_string(*value.asInt());
    case Type::Bool:
      return *value.asBool() ? "1" : "0";
    case Type::Double: {
      char buffer[64];
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *value.asDouble());
      if (ec != std::errc()) return std::nullopt;
      return std::string(buffer, end);
    }
    default:
      return std::nullopt;
  }
}

// Finds the delimiter "\r\n--<boundary>" in content that is fed in chunks;
// the content follows a CR LF (the blank line after the part's headers), so
// content that starts with "--<boundary>" counts too.
class DelimiterScanner {
 public:
  explicit DelimiterScanner(std::string_view boundary)
      : delimiter_("\r\n--" + std::string(boundary)), carry_("\r\n") {}

  bool feed(std::string_view chunk) {
    // A delimiter split across chunks starts in the carried tail.
    std::string seam = carry_;
    seam.append(chunk.substr(0, delimiter_.size() - 1));
    if (seam.find(delimiter_) != std::string::npos) return true;
    if (chunk.find(delimiter_) != std::string_view::npos) return true;
    const std::size_t keep = delimiter_.size() - 1;
    if (chunk.size() >= keep) {
      carry_.assign(chunk.substr(chunk.size() - keep));
    } else {
      carry_.append(chunk);
      if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
    }
    return false;
  }

 private:
  std::string delimiter_;
  std::string carry_;
};

std::string containsBoundaryMessage(std::string_view fieldName) {
  return "[Trellis] Part (" + std::string(fieldName) + ") contains the boundary and is skipped";
}

std::string invalidNamesMessage(std::string_view fieldName, std::string_view fileName) {
  return "[Trellis] name (" + std::string(fieldName) + ") or fieldname (" + std::string(fileName) +
         ") is invalid";
}

std::string zeroLengthMessage(std::string_view fieldName) {
  return "[Trellis] Unable to MIME encode data with zero length (" + std::string(fieldName) + ")";
}

}  // namespace

// ---- Output streams ----------------------------------------------------------

TRLFileOutputStream::TRLFileOutputStream(std::filesystem::path path) : path_(std::move(path)) {}

TRLFileOutputStream::~TRLFileOutputStream() { discard(); }

bool TRLFileOutputStream::open() {
  if (fd_ >= 0) return false;
  std::filesystem::path dir = path_.parent_path();
  if (dir.empty()) dir = ".";
  std::string templ = (dir / ("." + path_.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  tempPath_ = templ;
  return true;
}

std::size_t TRLFileOutputStream::write(const void* bytes, std::size_t size) {
  if (fd_ < 0) return 0;
  const auto* p = static_cast<const char*>(bytes);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool TRLFileOutputStream::truncate(std::uint64_t length) {
  if (fd_ < 0) return false;
  const auto offset = static_cast<off_t>(length);
  return ::ftruncate(fd_, offset) == 0 && ::lseek(fd_, offset, SEEK_SET) == offset;
}

bool TRLFileOutputStream::close(bool complete) {
  if (fd_ < 0) return false;
  if (!complete) {
    discard();
    return true;
  }
  const bool synced = ::fsync(fd_) == 0;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed || ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  return true;
}

void TRLFileOutputStream::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
}

bool TRLMemoryOutputStream::open() {
  data_.clear();
  return true;
}

std::size_t TRLMemoryOutputStream::write(const void* bytes, std::size_t size) {
  data_.append(static_cast<const char*>(bytes), size);
  return size;
}

bool TRLMemoryOutputStream::truncate(std::uint64_t length) {
  if (length > data_.size()) return false;
  data_.resize(static_cast<std::size_t>(length));
  return true;
}

bool TRLMemoryOutputStream::close(bool complete) {
  if (!complete) data_.clear();
  return true;
}

// ---- Encoder -----------------------------------------------------------------

std::string TRLMultipartMimeStreamEncoder::defaultUUIDString() {
  std::string text;
  platform::UniqueFd fd(::open("/proc/sys/kernel/random/uuid", O_RDONLY | O_CLOEXEC));
  if (fd.valid() && platform::readAll(fd.get(), text, 64)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (isUUIDForm(text)) return upperCased(std::move(text));
  }
  return uuidFromRandomBytes();
}

std::string TRLMultipartMimeStreamEncoder::generateBoundary(const UUIDSource& uuidSource) {
  if (uuidSource) {
    std::string candidate = upperCased(uuidSource());
    if (isValidBoundary(candidate)) return candidate;
  }
  return upperCased(defaultUUIDString());
}

TRLMultipartMimeStreamEncoder::TRLMultipartMimeStreamEncoder(
    std::shared_ptr<TRLOutputStream> outputStream, std::optional<std::string> boundary,
    UUIDSource uuidSource, LogSink log)
    : outputStream_(std::move(outputStream)),
      uuidSource_(std::move(uuidSource)),
      log_(std::move(log)) {
  VANDREL_CHECK(outputStream_ != nullptr, "multipart encoder without an output stream");
  boundary_ = usableBoundary(std::move(boundary));
}

TRLMultipartMimeStreamEncoder TRLMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<TRLOutputStream> outputStream, std::optional<std::string> boundary) {
  return TRLMultipartMimeStreamEncoder(std::move(outputStream), std::move(boundary));
}

std::string TRLMultipartMimeStreamEncoder::usableBoundary(
    std::optional<std::string> boundary) const {
  if (boundary && isValidBoundary(*boundary)) return std::move(*boundary);
  if (boundary && !boundary->empty()) {
    log("[Trellis] Boundary (" + escapedName(*boundary) + ") is invalid, using a generated one");
  }
  return generateBoundary(uuidSource_);
}

void TRLMultipartMimeStreamEncoder::setBoundary(std::optional<std::string> boundary) {
  VANDREL_CHECK(!encoding_, "multipart boundary changed while encoding");
  boundary_ = usableBoundary(std::move(boundary));
}

void TRLMultipartMimeStreamEncoder::log(std::string_view line) const {
  if (log_) {
    log_(line);
  } else {
    logToStderr(line);
  }
}

std::string TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
    std::string_view boundary) {
  return "multipart/form-data; boundary=" + std::string(boundary);
}

std::string TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValue() const {
  return contentTypeHTTPHeaderValueWithBoundary(boundary_);
}

std::string TRLMultipartMimeStreamEncoder::contentLengthHTTPHeaderValue() const {
  return std::to_string(length_);
}

platform::Result<void> TRLMultipartMimeStreamEncoder::encode(const EncodeBlock& block) {
  beginEncoding();
  if (block) block();
  return endEncoding();
}

void TRLMultipartMimeStreamEncoder::beginEncoding() {
  VANDREL_CHECK(!encoding_, "multipart encoding begun twice");
  encoding_ = true;
  failed_ = false;
  length_ = 0;
  opened_ = outputStream_->open();
  if (!opened_) {
    failed_ = true;
    log("[Trellis] Failed to open the output stream");
    return;
  }
  if (!writeData(kTRLMultipartBodyHead)) rollBack(0);
}

platform::Result<void> TRLMultipartMimeStreamEncoder::endEncoding() {
  VANDREL_CHECK(encoding_, "multipart encoding ended without a beginning");
  encoding_ = false;
  if (!opened_) {
    return platform::Error{std::string(kTRLMultipartErrorDomain), kTRLMultipartErrorOpenFailed,
                           "the output stream could not be opened"};
  }
  if (!failed_ && !writeData("--" + boundary_ + "--\r\n")) failed_ = true;
  const bool closed = outputStream_->close(!failed_);
  opened_ = false;
  if (failed_ || !closed) {
    failed_ = true;
    return platform::Error{std::string(kTRLMultipartErrorDomain), kTRLMultipartErrorWriteFailed,
                           "the multipart body could not be written whole"};
  }
  return platform::success();
}

void TRLMultipartMimeStreamEncoder::rollBack(std::uint64_t partStart) {
  if (!outputStream_->truncate(partStart)) {
    failed_ = true;
    return;
  }
  length_ = partStart;
}

bool TRLMultipartMimeStreamEncoder::writeOrLog(const void* bytes, std::size_t size,
                                               std::string_view message) {
  if (!opened_ || failed_) return false;
  if (size == 0) return true;
  const std::size_t written = outputStream_->write(bytes, size);
  if (written != size) {
    // The accepted bytes are not counted: the part they belong to is cut
    // back to its start, or the body is marked failed.
    log(message);
    return false;
  }
  length_ += size;
  return true;
}

bool TRLMultipartMimeStreamEncoder::writeData(std::string_view data) {
  return writeOrLog(data.data(), data.size(), kTRLMultipartFailedToWriteData);
}

bool TRLMultipartMimeStreamEncoder::writeBytes(const void* bytes, std::size_t length) {
  return writeOrLog(bytes, length, kTRLMultipartFailedToWriteBytes);
}

bool TRLMultipartMimeStreamEncoder::addValue(const platform::Value& value,
                                             std::string_view fieldName) {
  VANDREL_CHECK(encoding_, "multipart part added outside encoding");
  const std::optional<std::string> text = valueText(value);
  if (!text || fieldName.empty()) {
    const std::string shown = value.isNull() ? "(null)" : text ? *text : value.toJson();
    log("[Trellis] name (" + std::string(fieldName) + ") or value (" + shown + ") is invalid");
    return false;
  }
  DelimiterScanner scanner(boundary_);
  if (scanner.feed(*text)) {
    log(containsBoundaryMessage(fieldName));
    return false;
  }
  if (failed_ || !opened_) return false;
  const std::uint64_t partStart = length_;
  const std::string head = "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" +
                           escapedName(fieldName) +
                           "\"\r\nContent-Type: text/plain\r\n\r\n";
  if (writeData(head) && writeData(*text) && writeData("\r\n")) return true;
  rollBack(partStart);
  return false;
}

bool TRLMultipartMimeStreamEncoder::writeFileHead(std::string_view fileName,
                                                  std::optional<std::string_view> mimeType,
                                                  std::string_view fieldName) {
  std::string head = "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" +
                     escapedName(fieldName) + "\"; filename=\"" + escapedName(fileName) +
                     "\"\r\n";
  if (mimeType && !mimeType->empty() && !isSafeHeaderValue(*mimeType)) {
    log("[Trellis] MIME type (" + escapedName(*mimeType) + ") of (" + std::string(fieldName) +
        ") is invalid, using " + std::string(kTRLMultipartOctetStream));
    mimeType.reset();
  }
  if (mimeType && !mimeType->empty()) {
    head += "Content-Type: " + std::string(*mimeType) +
            "\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  } else {
    head += "Content-Type: " + std::string(kTRLMultipartOctetStream) + "\r\n\r\n";
  }
  return writeData(head);
}

bool TRLMultipartMimeStreamEncoder::addFileData(std::string_view data, std::string_view fileName,
                                                std::optional<std::string_view> mimeType,
                                                std::string_view fieldName) {
  VANDREL_CHECK(encoding_, "multipart part added outside encoding");
  if (data.empty()) {
    log(zeroLengthMessage(fieldName));
    return false;
  }
  if (fieldName.empty() || fileName.empty()) {
    log(invalidNamesMessage(fieldName, fileName));
    return false;
  }
  DelimiterScanner scanner(boundary_);
  if (scanner.feed(data)) {
    log(containsBoundaryMessage(fieldName));
    return false;
  }
  if (failed_ || !opened_) return false;
  const std::uint64_t partStart = length_;
  if (writeFileHead(fileName, mimeType, fieldName) && writeData(data) && writeData("\r\n")) {
    return true;
  }
  rollBack(partStart);
  return false;
}

bool TRLMultipartMimeStreamEncoder::addFile(const std::filesystem::path& file,
                                            std::string_view fileName,
                                            std::optional<std::string_view> mimeType,
                                            std::string_view fieldName) {
  VANDREL_CHECK(encoding_, "multipart part added outside encoding");
  // A FIFO at the path is skipped like any non-regular file instead of
  // hanging the open.
  struct stat st {};
  const platform::UniqueFd fd = platform::openRegularFile(file.c_str(), O_RDONLY, &st);
  if (!fd.valid() || st.st_size <= 0) {
    log(zeroLengthMessage(fieldName));
    return false;
  }
  if (fieldName.empty() || fileName.empty()) {
    log(invalidNamesMessage(fieldName, fileName));
    return false;
  }
  if (failed_ || !opened_) return false;
  const std::uint64_t partStart = length_;
  if (writeFileHead(fileName, mimeType, fieldName) &&
      streamFile(fd.get(), static_cast<std::uint64_t>(st.st_size), fieldName) &&
      writeData("\r\n")) {
    return true;
  }
  rollBack(partStart);
  return false;
}

// Writes exactly `size` bytes of the file, the size it had when opened: a
// file that grows meanwhile is cut at that size, one that shrinks or fails
// to read is an error, so the part is never a silently different file.
bool TRLMultipartMimeStreamEncoder::streamFile(int fd, std::uint64_t size,
                                               std::string_view fieldName) {
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kFileChunkSize)));
  DelimiterScanner scanner(boundary_);
  std::uint64_t remaining = size;
  while (remaining > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
    const ssize_t got = ::read(fd, buffer.data(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      log("[Trellis] Failed to read the file of (" + std::string(fieldName) + ")");
      return false;
    }
    const std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
    if (scanner.feed(chunk)) {
      log(containsBoundaryMessage(fieldName));
      return false;
    }
    if (!writeBytes(chunk.data(), chunk.size())) return false;
    remaining -= static_cast<std::uint64_t>(got);
  }
  return true;
}

platform::Result<void> TRLMultipartMimeStreamEncoder::populateRequest(
    platform::HttpRequest& request, const PopulateBlock& block, UUIDSource uuidSource,
    LogSink log) {
  auto stream = std::make_shared<TRLMemoryOutputStream>();
  TRLMultipartMimeStreamEncoder encoder(stream, std::nullopt, std::move(uuidSource),
                                        std::move(log));
  platform::Result<void> result = encoder.encode([&] {
    if (block) block(encoder);
  });
  if (!result) return result;
  request.headers.set("Content-Type", encoder.contentTypeHTTPHeaderValue());
  request.headers.set("Content-Length", encoder.contentLengthHTTPHeaderValue());
  request.body = platform::HttpBody::bytes(stream->takeData());
  return platform::success();
}

}  // namespace vandrel::crash
