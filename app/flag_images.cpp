#include "app/flag_images.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QUrl>

#include <chrono>
#include <utility>

#include "platform/dispatch.h"
#include "platform/http.h"

namespace vandrel::app {

bool FlagImages::isLoadableAddress(const std::string& key) {
  const QUrl url(QString::fromStdString(key), QUrl::StrictMode);
  if (!url.isValid() || url.isRelative() || url.host().isEmpty()) return false;
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

RemoteFlagImages& RemoteFlagImages::shared() {
  static RemoteFlagImages* images = new RemoteFlagImages;
  return *images;
}

RemoteFlagImages::RemoteFlagImages() {
  platform::HttpSessionConfig config;
  config.idleTimeout = std::chrono::seconds(30);
  config.totalTimeout = std::chrono::seconds(60);
  http_ = std::make_unique<platform::HttpSession>(std::move(config));
}

RemoteFlagImages::~RemoteFlagImages() {
  *alive_ = false;
  http_->cancelAll();
}

void RemoteFlagImages::load(const std::string& url, std::function<void(const QPixmap&)> done) {
  if (!isLoadableAddress(url) || !done) return;
  platform::mainQueue().assertCurrent("RemoteFlagImages::load");
  if (auto cached = cache_.find(url); cached != cache_.end()) {
    platform::mainQueue().async([done = std::move(done), picture = cached->second] {
      done(picture);
    });
    return;
  }
  auto& waiting = waiting_[url];
  waiting.push_back(std::move(done));
  if (waiting.size() > 1) return;

  platform::HttpRequest request;
  request.url = url;
  // The engine refuses a longer reply as it arrives (by its announced length
  // or its first bytes past the limit), so none is held in memory whole.
  request.maxBodyBytes = kMaxBytes;
  http_->send(std::move(request), platform::mainQueue(),
              [this, alive = alive_, url](platform::HttpResponse response) {
                if (!*alive) return;
                QPixmap picture;
                if (response.ok() && response.status == 200) {
                  QImage image;
                  if (image.loadFromData(QByteArray::fromStdString(response.body))) {
                    picture = QPixmap::fromImage(image);
                  }
                }
                finish(url, picture);
              });
}

void RemoteFlagImages::finish(const std::string& url, const QPixmap& picture) {
  auto node = waiting_.extract(url);
  if (picture.isNull()) return;
  cache_[url] = picture;
  if (node.empty()) return;
  for (auto& done : node.mapped()) done(picture);
}

}  // namespace vandrel::app
