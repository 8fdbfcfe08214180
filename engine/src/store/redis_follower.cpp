// Follower: the subscription loop of a following hybrid engine.
#include "store/redis_follower.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "sync/fork_generation.hpp"
#include "store/redis_wire.hpp"

namespace netrove {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{50};
constexpr std::chrono::milliseconds kLastBackoff{1000};

std::int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The payload of a pub/sub "message" push, or nothing for any other reply
// (the subscribe confirmation, a pong).
std::optional<std::string_view> message_payload(const redisReply& r) {
  if (r.type != REDIS_REPLY_ARRAY || r.elements != 3) return std::nullopt;
  const redisReply* kind = r.element[0];
  const redisReply* payload = r.element[2];
  if (!kind || kind->type != REDIS_REPLY_STRING || std::string_view(kind->str, kind->len) != "message")
    return std::nullopt;
  if (!payload || payload->type != REDIS_REPLY_STRING) return std::nullopt;
  return std::string_view(payload->str, payload->len);
}

}  // namespace

Follower::Follower(RedisUrl endpoint, std::string channel, FollowSink& sink, const StoreOptions& options)
    : endpoint_(std::move(endpoint)),
      channel_(std::move(channel)),
      sink_(sink),
      options_(options),
      fork_generation_(fork_generation()),
      out_since_ns_(now_ns()) {
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  thread_ = std::thread([this] { run(); });
  started_.wait(false, std::memory_order_acquire);
}

Follower::~Follower() {
  if (forked()) {
    // The thread stayed in the parent; its handle here is a copy.
    thread_.detach();
  } else {
    const std::uint64_t one = 1;
    while (::write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  ::close(stop_fd_);
}

bool Follower::forked() const noexcept { return fork_generation() != fork_generation_; }

FollowStatus Follower::status() const noexcept {
  FollowStatus s;
  s.events_applied = applied_.load(std::memory_order_relaxed);
  s.events_skipped = skipped_.load(std::memory_order_relaxed);
  const std::uint64_t loads = loads_.load(std::memory_order_relaxed);
  s.resyncs = loads > 0 ? loads - 1 : 0;
  const std::int64_t since = out_since_ns_.load(std::memory_order_relaxed);
  s.in_step = since == 0;
  if (since != 0) s.lag = std::chrono::nanoseconds(std::max<std::int64_t>(0, now_ns() - since));
  return s;
}

void Follower::mark_out_of_step() noexcept {
  std::int64_t expected = 0;
  out_since_ns_.compare_exchange_strong(expected, now_ns(), std::memory_order_relaxed);
}

bool Follower::wait_backoff(std::chrono::milliseconds wait) const {
  pollfd stop{stop_fd_, POLLIN, 0};
  int n;
  while ((n = ::poll(&stop, 1, static_cast<int>(wait.count()))) < 0 && errno == EINTR) {
  }
  return n == 0;
}

// Thread body: sessions until stopped, with a doubling back-off (50 ms to
// 1 s, back to 50 ms after a session that got in step) between them.
void Follower::run() {
  std::chrono::milliseconds wait = kFirstBackoff;
  for (;;) {
    const std::uint64_t loads_before = loads_.load(std::memory_order_relaxed);
    bool go_on = true;
    try {
      go_on = session();
    } catch (const std::exception&) {
      // A sink that failed (a poisoned lock): out of step, try again later.
    }
    mark_out_of_step();
    if (!started_.exchange(true, std::memory_order_release)) started_.notify_all();
    if (!go_on) return;
    wait = loads_.load(std::memory_order_relaxed) != loads_before ? kFirstBackoff : std::min(wait * 2, kLastBackoff);
    if (!wait_backoff(wait)) return;
  }
}

// One subscription (the steps of the drawing in redis_follower.hpp).
// Returns false when asked to stop, true when the subscription broke.
bool Follower::session() {
  auto opened = Connection::open(endpoint_, options_.connect_timeout, options_.command_timeout);  // 1.
  if (!std::holds_alternative<Connection>(opened)) return true;
  Connection& conn = std::get<Connection>(opened);
  if (!std::holds_alternative<ReplyPtr>(conn.command({"SUBSCRIBE", channel_}))) return true;

  auto load = [this] {  // 2.
    if (!sink_.reload()) return false;
    loads_.fetch_add(1, std::memory_order_relaxed);
    out_since_ns_.store(0, std::memory_order_relaxed);
    if (!started_.exchange(true, std::memory_order_release)) started_.notify_all();
    return true;
  };
  if (!load()) return true;

  redisContext* ctx = conn.raw();
  for (;;) {
    // 3. Every reply already read, in order.
    for (;;) {
      void* raw = nullptr;
      if (redisGetReplyFromReader(ctx, &raw) != REDIS_OK) return true;  // protocol error: start over
      if (raw == nullptr) break;
      const ReplyPtr reply(static_cast<redisReply*>(raw));
      const std::optional<std::string_view> payload = message_payload(*reply);
      if (!payload) continue;
      const FollowSink::Applied done = sink_.apply(*payload);
      applied_.fetch_add(done.applied, std::memory_order_relaxed);
      skipped_.fetch_add(done.skipped, std::memory_order_relaxed);
      if (done.clear && !load()) return true;
    }
    // Wait for more, or for the stop signal.
    pollfd fds[2] = {{ctx->fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n;
    while ((n = ::poll(fds, 2, -1)) < 0 && errno == EINTR) {
    }
    if (n < 0 || (fds[1].revents & POLLIN)) return false;
    if (redisBufferRead(ctx) != REDIS_OK) return true;  // 4. closed or failed
  }
}

}  // namespace netrove
