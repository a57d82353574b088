#pragma once

// The one multipart/form-data body format of the crash and analytics kits:
// parts are written one by one straight into an output stream (a file or
// memory), so a report package never has to sit whole in memory.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/value.h"

namespace vandrel::platform {
struct HttpRequest;
}

namespace vandrel::crash {

inline constexpr std::string_view kTRLMultipartErrorDomain = "TRLMultipartError";
// The stream could not be opened.
inline constexpr std::int64_t kTRLMultipartErrorOpenFailed = -1;
// A write failed and what was written could not be taken back, or the
// closing line or the stream's close failed: the body is not whole.
inline constexpr std::int64_t kTRLMultipartErrorWriteFailed = -2;

inline constexpr std::string_view kTRLMultipartBodyHead = "MIME-Version: 1.0\r\n";
inline constexpr std::string_view kTRLMultipartOctetStream = "application/octet-stream";
inline constexpr std::string_view kTRLMultipartFailedToWriteData =
    "[Trellis] Failed to write data to stream";
inline constexpr std::string_view kTRLMultipartFailedToWriteBytes =
    "[Trellis] Failed to write bytes to stream";

// Where an encoder writes. The encoder opens and closes it. Every part that
// fails half-way is cut back with `truncate`, so the output never holds a
// fragment of a part.
class TRLOutputStream {
 public:
  virtual ~TRLOutputStream() = default;

  virtual bool open() = 0;
  // How many of `size` bytes were taken; fewer than `size` is a failure.
  virtual std::size_t write(const void* bytes, std::size_t size) = 0;
  // Cuts what was written back to its first `length` bytes.
  virtual bool truncate(std::uint64_t length) = 0;
  // `complete` false: the body failed and the stream drops what it holds.
  virtual bool close(bool complete) = 0;
};

// Writes into a hidden temporary file beside `path` and renames it onto
// `path` only when the body is complete, so a reader of the directory never
// sees a half-written body and a failed one leaves no file.
class TRLFileOutputStream final : public TRLOutputStream {
 public:
  explicit TRLFileOutputStream(std::filesystem::path path);
  ~TRLFileOutputStream() override;

  bool open() override;
  std::size_t write(const void* bytes, std::size_t size) override;
  bool truncate(std::uint64_t length) override;
  bool close(bool complete) override;

  const std::filesystem::path& path() const { return path_; }

 private:
  void discard();

  std::filesystem::path path_;
  std::filesystem::path tempPath_;
  int fd_ = -1;
};

class TRLMemoryOutputStream final : public TRLOutputStream {
 public:
  bool open() override;
  std::size_t write(const void* bytes, std::size_t size) override;
  bool truncate(std::uint64_t length) override;
  bool close(bool complete) override;

  const std::string& data() const { return data_; }
  std::string takeData() { return std::move(data_); }

 private:
  std::string data_;
};

// Used on one thread at a time.
class TRLMultipartMimeStreamEncoder {
 public:
  // A new random UUID in any letter case ("0f5c2e4a-91b3-4d27-8c6e-...").
  using UUIDSource = std::function<std::string()>;
  // Receives the console lines of failures.
  using LogSink = std::function<void(std::string_view)>;
  using EncodeBlock = std::function<void()>;
  using PopulateBlock = std::function<void(TRLMultipartMimeStreamEncoder&)>;

  // The kernel's random UUID ("/proc/sys/kernel/random/uuid"), or one made
  // from getrandom bytes when that file cannot be read.
  static std::string defaultUUIDString();

  // A new boundary: 36 upper-case hex digits and dashes in groups of
  // 8-4-4-4-12. A source answer that is not a usable boundary is replaced
  // by `defaultUUIDString`.
  static std::string generateBoundary(const UUIDSource& uuidSource = {});

  // `boundary` none, empty or not a valid MIME boundary (1 to 70 of
  // letters, digits and ' ( ) + _ , - . / : = ? and blank, not ending in a
  // blank): a generated one is used, so the framing cannot be broken by it.
  TRLMultipartMimeStreamEncoder(std::shared_ptr<TRLOutputStream> outputStream,
                                std::optional<std::string> boundary,
                                UUIDSource uuidSource = {}, LogSink log = {});
  static TRLMultipartMimeStreamEncoder encoderWithStream(
      std::shared_ptr<TRLOutputStream> outputStream, std::optional<std::string> boundary);

  TRLMultipartMimeStreamEncoder(TRLMultipartMimeStreamEncoder&&) = default;
  TRLMultipartMimeStreamEncoder& operator=(TRLMultipartMimeStreamEncoder&&) = default;

  const std::shared_ptr<TRLOutputStream>& outputStream() const { return outputStream_; }
  const std::string& boundary() const { return boundary_; }
  // Same rules as the constructor's boundary; not while encoding.
  void setBoundary(std::optional<std::string> boundary);
  // Bytes written since encoding began.
  std::uint64_t length() const { return length_; }

  // "multipart/form-data; boundary=<boundary>".
  static std::string contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary);
  std::string contentTypeHTTPHeaderValue() const;
  // `length` in decimal.
  std::string contentLengthHTTPHeaderValue() const;

  // beginEncoding, the block (which adds the parts), endEncoding.
  platform::Result<void> encode(const EncodeBlock& block);
  // Sets `length` to 0, opens the stream and writes the body head.
  void beginEncoding();
  // Writes the closing line and closes the stream. An error when the body
  // is not whole (the stream then keeps nothing); a part skipped for its
  // own fault is no error: it leaves a well-formed, shorter body.
  platform::Result<void> endEncoding();

  // Each answers whether the part was written. A skipped part is logged and
  // leaves nothing in the output. Field and file names are written in
  // quotes with '"', CR and LF as %22, %0D and %0A, so no name can end the
  // quoted text or the header line; other bytes (UTF-8 too) stay as given.
  // Content that holds the delimiter (CR LF "--" boundary) would end the
  // part early, so such a part is skipped too.
  //
  // The value's text: a string unchanged, an integer in decimal, a bool as
  // 1 or 0, a double in its shortest exact decimal form. Null, an empty
  // field name or another type is skipped.
  bool addValue(const platform::Value& value, std::string_view fieldName);
  // `mimeType` none or empty: "application/octet-stream" without a
  // transfer-encoding line. Empty data, then empty names, are skipped.
  bool addFileData(std::string_view data, std::string_view fileName,
                   std::optional<std::string_view> mimeType, std::string_view fieldName);
  // Streams the file in bounded chunks (it is never read whole). A missing,
  // unreadable, non-regular or empty file ends in the zero-length message;
  // a file that fails or shrinks while being read is cut out again.
  bool addFile(const std::filesystem::path& file, std::string_view fileName,
               std::optional<std::string_view> mimeType, std::string_view fieldName);

  // Raw writes that count into `length`; false (logged) on a short write.
  bool writeData(std::string_view data);
  bool writeBytes(const void* bytes, std::size_t length);

  // Encodes into memory with a fresh boundary, calling `block` inside
  // `encode`, then sets the request's "Content-Type" and "Content-Length"
  // and its body to the bytes written.
  static platform::Result<void> populateRequest(platform::HttpRequest& request,
                                                const PopulateBlock& block,
                                                UUIDSource uuidSource = {}, LogSink log = {});

 private:
  std::string usableBoundary(std::optional<std::string> boundary) const;
  void log(std::string_view line) const;
  bool writeOrLog(const void* bytes, std::size_t size, std::string_view message);
  bool writeFileHead(std::string_view fileName, std::optional<std::string_view> mimeType,
                     std::string_view fieldName);
  bool streamFile(int fd, std::uint64_t size, std::string_view fieldName);
  // Takes back a part that failed half-way; marks the body failed when the
  // stream cannot cut it.
  void rollBack(std::uint64_t partStart);

  std::shared_ptr<TRLOutputStream> outputStream_;
  UUIDSource uuidSource_;
  LogSink log_;
  std::string boundary_;
  std::uint64_t length_ = 0;
  bool encoding_ = false;
  bool opened_ = false;
  bool failed_ = false;
};

}  // namespace vandrel::crash
