// redis_follower.hpp - the thread that keeps a read engine in step with the
// Redis table (private to the hybrid engine).
//
//   follower thread                                   server
//   ---------------                                   ------
//   1. connect, SUBSCRIBE update_channel  ─────────►  subscribed
//   2. sink.reload(): HGETALL, build beside, swap     (events queue up
//                                                      on the socket)
//   3. for each message, in order: sink.apply(payload)
//      a "clear" asks for a reload (back to 2, still subscribed)
//   4. the socket breaks (restart, CLIENT KILL, output buffer overrun):
//      out of step; wait the back-off and go back to 1
//
// Subscribing before the load means no event after the snapshot is missed;
// events from before it are applied again, which changes nothing (see
// update_event.hpp).  The thread waits in poll() on the socket and on an
// eventfd that the destructor signals, so stopping takes no time-out.
// Lookups never wait for the thread: the sink swaps read engines under RCU.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "store/redis_store.hpp"

namespace netrove {

/// What a follower drives.  Both calls come from the follower's thread only.
class FollowSink {
 public:
  /// Loads the whole hash into a fresh read engine and swaps it in.  false
  /// when the fetch failed (the old read engine stays).
  virtual bool reload() = 0;
  /// What one message did.
  struct Applied {
    std::uint64_t applied = 0;  ///< events applied
    std::uint64_t skipped = 0;  ///< events (or a whole message) that did not parse
    bool clear = false;         ///< it held a clear: reload instead
  };
  /// Applies one message of the channel: every event that parses, in
  /// order; nothing when it holds a clear.
  virtual Applied apply(std::string_view payload) = 0;

 protected:
  ~FollowSink() = default;
};

/// Counters of a follower (all monotonic except in_step and lag).
struct FollowStatus {
  std::uint64_t events_applied = 0;  ///< messages applied to the read engine
  std::uint64_t events_skipped = 0;  ///< messages that did not parse
  std::uint64_t resyncs = 0;         ///< reloads after the first (a break or a clear)
  bool in_step = false;              ///< subscribed and loaded
  /// How long the follower has been out of step (zero when in step).
  std::chrono::nanoseconds lag{0};
};

class Follower {
 public:
  /// Starts the thread, and waits until its first load is done or its first
  /// connection attempt has failed (the thread then goes on trying).
  Follower(RedisUrl endpoint, std::string channel, FollowSink& sink, const StoreOptions& options);
  /// Signals the thread and joins it; in a forked child, where the thread
  /// does not exist, only closes the descriptors.
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  FollowStatus status() const noexcept;
  /// True in a child forked after the follower was built.
  bool forked() const noexcept;

 private:
  void run();
  bool session();  // one subscription, steps 1 to 3; false when stopping
  bool wait_backoff(std::chrono::milliseconds wait) const;  // false when stopping
  void mark_out_of_step() noexcept;

  const RedisUrl endpoint_;
  const std::string channel_;
  FollowSink& sink_;
  const StoreOptions options_;
  const std::uint64_t fork_generation_;
  int stop_fd_ = -1;  // eventfd, readable once stopping

  std::atomic<std::uint64_t> applied_{0}, skipped_{0}, loads_{0};
  std::atomic<std::int64_t> out_since_ns_;  // steady clock; 0 when in step

  std::atomic<bool> started_{false};  // first load done or first attempt failed (waited on)
  std::thread thread_;
};

}  // namespace netrove
