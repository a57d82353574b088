#pragma once

// A private home for one test: a fresh temporary directory with the XDG
// cache and config variables pointing inside it, so the logger's
// "dataCache" folder, the encrypted cache and the standard defaults all
// land there. The previous variables come back and the directory is
// removed when it goes away. Not for tests that run threads which read the
// environment at the same time.

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace vandrel::test_support {

class TempHome {
 public:
  TempHome()
      : dir_("vandrel-home"),
        created_(makeFolders(dir_.path())),
        cache_("XDG_CACHE_HOME", (dir_.path() / "cache").string()),
        config_("XDG_CONFIG_HOME", (dir_.path() / "config").string()) {}

  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path cacheHome() const { return root() / "cache"; }
  std::filesystem::path configHome() const { return root() / "config"; }
  // The logger's folder, where the encrypted cache entries live.
  std::filesystem::path dataCache() const { return cacheHome() / "dataCache"; }

 private:
  static bool makeFolders(const std::filesystem::path& root) {
    std::error_code error;
    std::filesystem::create_directories(root / "cache", error);
    std::filesystem::create_directories(root / "config", error);
    return !error;
  }

  TempDir dir_;
  bool created_;
  ScopedEnv cache_;
  ScopedEnv config_;
};

}  // namespace vandrel::test_support
