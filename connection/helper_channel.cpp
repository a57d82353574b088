#include "connection/helper_channel.h"

#include <cerrno>
#include <chrono>
#include <map>

#include "helper/helper_protocol.h"
#include "platform/dispatch.h"
#include "platform/sync.h"
#include "proto/helper.pb.h"

namespace vandrel::connection {
namespace {

using platform::MutexLock;
namespace ipc = platform::ipc;

HelperError communicationError(int code, const std::string& what) {
  return HelperError{
      std::string(kCocoaErrorDomain), code, std::string(kHelperCommunicationFailure),
      "The connection to service named " + std::string(helper::kServiceName) + " was " +
          (code == kConnectionInterrupted ? "interrupted" : "invalidated") + ": " + what};
}

}  // namespace

std::string HelperError::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription +
         "\"" + (debugDetail.empty() ? "" : " UserInfo={NSDebugDescription=" + debugDetail + "}");
}

// One connection and the commands waiting for its replies. The reader
// thread and the connection queue share what the mutex guards.
struct ChannelLink {
  std::unique_ptr<ipc::Connection> connection;  // connection queue only
  std::uint64_t nextId = 1;                     // connection queue only
  platform::Mutex mutex;
  std::map<std::uint64_t, HelperChannel::Done> pending VANDREL_GUARDED_BY(mutex);
  bool closed VANDREL_GUARDED_BY(mutex) = false;
  // The last command sent or reply read.
  platform::TimePoint lastActive VANDREL_GUARDED_BY(mutex);
  // For the reader thread, which must not touch `connection` itself.
  ipc::Connection* reader VANDREL_GUARDED_BY(mutex) = nullptr;

  // Marks the link closed and hands out what was pending.
  std::map<std::uint64_t, HelperChannel::Done> close() {
    MutexLock lock(mutex);
    closed = true;
    return std::move(pending);
  }
  // Shuts the connection down from any thread; its reader then fails
  // whatever is pending.
  void shutdown() {
    ipc::Connection* connection = nullptr;
    {
      MutexLock lock(mutex);
      connection = reader;
    }
    if (connection) connection->close();  // never blocks
  }
};

struct HelperChannel::Impl {
  Options options;
  platform::SerialQueue connectionQueue{"com.vandrel.mac.daemon.connection"};
  platform::SerialQueue replyQueue{"com.vandrel.mac.daemon.replies"};
  std::function<void(platform::Job)> deliver = replyQueue.poster();
  std::shared_ptr<ChannelLink> link;  // connection queue only

  const platform::Clock& clock() const {
    return options.clock ? *options.clock : platform::SystemClock::shared();
  }
  void post(Done done, HelperOutcome outcome) const {
    deliver([done = std::move(done), outcome = std::move(outcome)] { done(outcome); });
  }
  void failAll(std::map<std::uint64_t, Done> pending, const HelperError& error) const {
    for (auto& entry : pending)
      post(std::move(entry.second), HelperOutcome{error, nullptr, nullptr});
  }

  // Runs on the reader thread of `link`.
  void onMessage(ChannelLink& link, ipc::Message message) const;
  static platform::Result<std::shared_ptr<ChannelLink>> connect(const std::shared_ptr<Impl>& self);
  static void sendNow(const std::shared_ptr<Impl>& self,
                      std::shared_ptr<helper::wire::Request> request, Done done);
};

void HelperChannel::Impl::onMessage(ChannelLink& link, ipc::Message message) const {
  auto reply = std::make_shared<helper::wire::Reply>();
  Done done;
  if (reply->ParseFromString(message.payload)) {
    MutexLock lock(link.mutex);
    const auto found = link.pending.find(reply->id());
    if (found != link.pending.end()) {
      done = std::move(found->second);
      link.pending.erase(found);
      link.lastActive = clock().now();
    }
  }
  if (!done) {
    // A reply we cannot place: nothing this connection says can be trusted
    // any more; closing it fails whatever is pending.
    link.shutdown();
    return;
  }
  post(std::move(done),
       HelperOutcome{std::nullopt, std::move(reply),
                     std::make_shared<std::vector<ipc::OwnedFd>>(std::move(message.fds))});
}

platform::Result<std::shared_ptr<ChannelLink>> HelperChannel::Impl::connect(
    const std::shared_ptr<Impl>& self) {
  auto link = std::make_shared<ChannelLink>();
  // Held weakly: the link owns the connection, which owns these handlers,
  // and the channel owns the link.
  std::weak_ptr<ChannelLink> weakLink = link;
  std::weak_ptr<Impl> weakSelf = self;
  auto connection = ipc::Connection::connect(
      self->options.socketPath,
      {[weakSelf, weakLink](ipc::Message message) {
         auto impl = weakSelf.lock();
         auto held = weakLink.lock();
         if (impl && held) impl->onMessage(*held, std::move(message));
       },
       [weakSelf, weakLink](const platform::Error& error) {
         auto impl = weakSelf.lock();
         auto held = weakLink.lock();
         if (impl && held) {
           impl->failAll(held->close(), communicationError(kConnectionInterrupted, error.message));
         }
       }});
  if (!connection.ok()) return connection.error();
  link->connection = std::move(connection).value();
  {
    MutexLock lock(link->mutex);
    link->reader = link->connection.get();
  }
  const uid_t uid = link->connection->peer().uid;
  if (uid != self->options.helperUid) {
    link->connection->close();
    return platform::Error{"vandrel.ipc", EPERM,
                           "the helper runs as uid " + std::to_string(uid) + ", not " +
                               std::to_string(self->options.helperUid)};
  }
  return link;
}

void HelperChannel::Impl::sendNow(const std::shared_ptr<Impl>& self,
                                  std::shared_ptr<helper::wire::Request> request, Done done) {
  auto& link = self->link;
  bool usable = false;
  if (link) {
    bool quiet = false;
    {
      MutexLock lock(link->mutex);
      quiet = link->pending.empty() &&
              self->clock().now() - link->lastActive >= self->options.reuseLimit;
      usable = !link->closed && !quiet;
    }
    if (quiet) link->connection->close();
  }
  if (!usable) {
    link.reset();
    auto made = connect(self);
    if (!made.ok()) {
      self->post(std::move(done),
                 HelperOutcome{communicationError(kConnectionInvalid, made.error().message),
                               nullptr, nullptr});
      return;
    }
    link = std::move(made).value();
  }
  const std::uint64_t id = link->nextId++;
  request->set_id(id);
  bool registered = false;
  {
    MutexLock lock(link->mutex);
    if (!link->closed) {
      link->pending.emplace(id, std::move(done));
      link->lastActive = self->clock().now();
      registered = true;
    }
  }
  if (!registered) {  // the connection closed between the check and now
    self->post(std::move(done),
               HelperOutcome{
                   communicationError(kConnectionInterrupted, "the helper closed the connection"),
                   nullptr, nullptr});
    return;
  }
  const std::string payload = request->SerializeAsString();
  auto sent = link->connection->send(payload);
  if (sent.ok()) return;
  Done failed;
  {
    MutexLock lock(link->mutex);
    const auto found = link->pending.find(id);
    if (found != link->pending.end()) {
      failed = std::move(found->second);
      link->pending.erase(found);
    }
  }
  // The reader may have failed it already; either way exactly once.
  if (failed) {
    self->post(std::move(failed),
               HelperOutcome{communicationError(kConnectionInterrupted, sent.error().message),
                             nullptr, nullptr});
  }
  // A frame too big to send is refused before a byte goes out: the stream
  // is intact, and the other commands' replies still come on it.
  if (payload.size() > ipc::kMaxFrameSize) return;
  link->connection->close();
}

HelperChannel::HelperChannel(Options options) : impl_(std::make_shared<Impl>()) {
  impl_->options = std::move(options);
}

HelperChannel::~HelperChannel() {
  auto impl = impl_;
  impl->connectionQueue.sync([impl] {
    if (!impl->link) return;
    impl->failAll(impl->link->close(),
                  communicationError(kConnectionInterrupted, "the client went away"));
    impl->link.reset();  // closes the connection and joins its reader
  });
}

void HelperChannel::send(const helper::wire::Request& request, Done done) {
  auto copy = std::make_shared<helper::wire::Request>(request);
  impl_->connectionQueue.async([impl = impl_, copy, done = std::move(done)]() mutable {
    Impl::sendNow(impl, std::move(copy), std::move(done));
  });
}

std::size_t HelperChannel::pendingCount() const {
  std::size_t count = 0;
  auto impl = impl_;
  impl->connectionQueue.sync([&] {
    if (!impl->link) return;
    MutexLock lock(impl->link->mutex);
    count = impl->link->pending.size();
  });
  return count;
}

const HelperChannel::Options& HelperChannel::options() const { return impl_->options; }

}  // namespace vandrel::connection
