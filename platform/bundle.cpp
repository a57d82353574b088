#include "platform/bundle.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

#include "platform/sync.h"

namespace vandrel::platform {
namespace {

// Bundle information is a few kilobytes; anything far larger is not ours.
constexpr std::uintmax_t kMaxInfoFileSize = 4 * 1024 * 1024;

Value::Dictionary readInfo(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  if (error) {
    if (error != std::errc::no_such_file_or_directory) {
      std::fprintf(stderr, "vandrel: cannot read bundle information %s: %s\n", file.c_str(),
                   error.message().c_str());
    }
    return {};
  }
  if (size > kMaxInfoFileSize) {
    std::fprintf(stderr, "vandrel: bundle information %s is too large (%ju bytes)\n",
                 file.c_str(), size);
    return {};
  }
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    std::fprintf(stderr, "vandrel: cannot read bundle information %s\n", file.c_str());
    return {};
  }
  Result<Value> parsed = Value::fromJson(text);
  if (!parsed.ok() || parsed.value().asDictionary() == nullptr) {
    std::fprintf(stderr, "vandrel: bundle information %s is not a JSON object: %s\n",
                 file.c_str(), parsed.ok() ? "another JSON value" : parsed.error().message.c_str());
    return {};
  }
  return std::move(*std::move(parsed).value().asDictionary());
}

// "/x/Vandrel.app/" and "/x/./Vandrel.app" name the same bundle as
// "/x/Vandrel.app".
std::filesystem::path normalized(const std::filesystem::path& path) {
  auto result = path.lexically_normal();
  if (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
  return result;
}

std::filesystem::path runningExecutable() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error) / "unknown";
  return path;
}

}  // namespace

const Bundle& Bundle::main() {
  std::filesystem::path path;
  const char* override = std::getenv("VANDREL_BUNDLE");
  if (override != nullptr && override[0] != '\0') {
    path = override;
  } else {
    path = bundlePathForExecutable(runningExecutable());
  }
  path = normalized(path);
  // Leaked with their instances: references handed out stay valid for the
  // life of the process, also while other threads still use them at exit.
  static auto* mutex = new Mutex;
  static auto* bundles = new std::map<std::filesystem::path, const Bundle*>;
  {
    MutexLock lock(*mutex);
    auto it = bundles->find(path);
    if (it != bundles->end()) return *it->second;
  }
  // Read outside the lock; when two threads race, the first stored wins.
  auto* made = new Bundle(path);
  MutexLock lock(*mutex);
  auto [it, inserted] = bundles->emplace(path, made);
  if (!inserted) delete made;
  return *it->second;
}

std::filesystem::path Bundle::bundlePathForExecutable(const std::filesystem::path& executable) {
  const auto macos = executable.parent_path();
  const auto contents = macos.parent_path();
  if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
      contents.has_parent_path()) {
    return contents.parent_path();
  }
  return macos;
}

Bundle::Bundle(std::filesystem::path bundlePath)
    : bundlePath_(normalized(bundlePath)), info_(readInfo(infoPath())) {}

std::filesystem::path Bundle::executablePath() const {
  auto name = infoString("CFBundleExecutable");
  if (!name || name->empty()) name = bundlePath_.stem().string();
  return contentsPath() / "MacOS" / *name;
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
  auto it = info_.find(std::string(key));
  if (it == info_.end() || it->second.asString() == nullptr) return std::nullopt;
  return *it->second.asString();
}

std::string Bundle::bundleIdentifier() const {
  return infoString("CFBundleIdentifier").value_or("");
}

std::optional<std::filesystem::path> Bundle::pathForResource(std::string_view name,
                                                             std::string_view type) const {
  if (name.empty()) return std::nullopt;
  std::string file(name);
  if (type.starts_with('.')) type.remove_prefix(1);
  if (!type.empty()) file += "." + std::string(type);
  auto path = resourcesPath() / file;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  return path;
}

}  // namespace vandrel::platform
