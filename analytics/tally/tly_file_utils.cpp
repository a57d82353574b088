#include "analytics/tally/tly_file_utils.h"

#include <sys/stat.h>

#include <system_error>

#include "analytics/tally/tly_logger.h"

namespace vandrel::analytics {
namespace {

const TLYLogger& loggerOrShared(const TLYLogger* logger) {
  return logger != nullptr ? *logger : TLYLogger::sharedLogger();
}

}  // namespace

std::string TLYFillPlaceholders(std::string_view format, std::initializer_list<std::string> values) {
  std::string out;
  auto value = values.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format.substr(i, 2) == "%@" && value != values.end()) {
      out += *value++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

TLYFileUtils::URLSet TLYFileUtils::allFilesInDirectory(const std::filesystem::path& directory,
                                                       const TLYLogger* logger) {
  const TLYLogger& log = loggerOrShared(logger);
  if (directory.empty()) log.log(TLYFillPlaceholders(kTLYNotAFileURLMessage, {directory.string()}));
  URLSet files;
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    files.insert(it->path());
  }
  if (ec) {
    log.log(TLYFillPlaceholders(kTLYUnableToReadContentsMessage, {directory.string(), ec.message()}));
    return {};
  }
  return files;
}

TLYFileUtils::URLSet TLYFileUtils::filesWithExtension(std::string_view extension,
                                                      const std::filesystem::path& directory,
                                                      const TLYLogger* logger) {
  URLSet matching;
  const std::string dotted = "." + std::string(extension);
  for (const auto& file : allFilesInDirectory(directory, logger)) {
    if (file.extension() == dotted) matching.insert(file);
  }
  return matching;
}

std::uint64_t TLYFileUtils::fileSizeAtURL(const std::filesystem::path& url) {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

platform::WallTime TLYFileUtils::fileCreatedDateAtURL(const std::filesystem::path& url,
                                                      platform::WallTime defaultDate) {
  struct stat st {};
  if (::stat(url.c_str(), &st) != 0) return defaultDate;
  const auto since = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return platform::WallTime(std::chrono::duration_cast<platform::WallTime::duration>(since));
}

}  // namespace vandrel::analytics
