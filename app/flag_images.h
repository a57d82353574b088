#pragma once

#include <QPixmap>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vandrel::platform {
class HttpSession;
}

namespace vandrel::app {

// Where the region table's flags come from: pictures at web addresses the
// service's catalogue names.
class FlagImages {
 public:
  virtual ~FlagImages() = default;

  // Whether a flag is loaded from `key`: an absolute http or https address
  // with a host. Anything else (a bare file name, another scheme) is never
  // fetched.
  static bool isLoadableAddress(const std::string& key);

  // Main queue only. Calls `done` on the main queue with the picture at
  // `url` once it is there (at once from the cache); a failed load never
  // calls it.
  virtual void load(const std::string& url, std::function<void(const QPixmap&)> done) = 0;
};

// Fetches flags over HTTPS (the system's trust store) and keeps every
// picture it decoded for the rest of the run; one request per address at a
// time. Replies larger than kMaxBytes end as they arrive; they and replies
// that no image reader decodes are dropped. Main queue only.
class RemoteFlagImages final : public FlagImages {
 public:
  static constexpr std::size_t kMaxBytes = 1024 * 1024;

  // The process's loader (leaked).
  static RemoteFlagImages& shared();

  RemoteFlagImages();
  ~RemoteFlagImages() override;
  RemoteFlagImages(const RemoteFlagImages&) = delete;
  RemoteFlagImages& operator=(const RemoteFlagImages&) = delete;

  void load(const std::string& url, std::function<void(const QPixmap&)> done) override;

 private:
  void finish(const std::string& url, const QPixmap& picture);

  std::unique_ptr<platform::HttpSession> http_;
  std::map<std::string, QPixmap> cache_;
  std::map<std::string, std::vector<std::function<void(const QPixmap&)>>> waiting_;
  // Replies check it before touching the loader: a test's loader may go first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vandrel::app
