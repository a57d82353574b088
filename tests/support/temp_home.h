#pragma once

// A private home for one test: a fresh temporary directory with the XDG
// cache and config variables pointing inside it, so the logger's
// "dataCache" folder, the encrypted cache and the standard defaults all
// land there. The previous variables come back and the directory is
// removed when it goes away. Not for tests that run threads which read the
// environment at the same time.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace vandrel::test_support {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vandrel-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    root_ = pattern;
    std::filesystem::create_directories(root_ / "cache");
    std::filesystem::create_directories(root_ / "config");
    redirect("XDG_CACHE_HOME", savedCache_, root_ / "cache");
    redirect("XDG_CONFIG_HOME", savedConfig_, root_ / "config");
  }
  ~TempHome() {
    restore("XDG_CACHE_HOME", savedCache_);
    restore("XDG_CONFIG_HOME", savedConfig_);
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path cacheHome() const { return root_ / "cache"; }
  std::filesystem::path configHome() const { return root_ / "config"; }
  // The logger's folder, where the encrypted cache entries live.
  std::filesystem::path dataCache() const { return cacheHome() / "dataCache"; }

 private:
  static void redirect(const char* name, std::optional<std::string>& saved,
                       const std::filesystem::path& to) {
    if (const char* old = ::getenv(name)) saved = old;
    ::setenv(name, to.c_str(), 1);
  }
  static void restore(const char* name, const std::optional<std::string>& saved) {
    if (saved) {
      ::setenv(name, saved->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }

  std::filesystem::path root_;
  std::optional<std::string> savedCache_;
  std::optional<std::string> savedConfig_;
};

}  // namespace vandrel::test_support
