// store/redis_store.hpp - the one connection holder to a Redis server.
//
// The hybrid engine keeps its prefixes in one Redis hash:
//
//   key "netrove:entries"  (hash, no expiry, never deleted as a whole)
//     field  prefix_field(prefix)   e.g. "10.0.0.0/8", "2001:db8::/32"
//     value  to_json(record)        e.g. {"value":"x","attributes":{}}
//
// written by HSET on insert and HDEL on remove and read by HGETALL at
// start-up.  Every key lives in the database the URL selects.
//
// A store keeps a small pool of open connections and lends one to each
// command, so commands from several threads run side by side without a new
// TCP connection per command (closed connections would pile up in
// TIME_WAIT and run the machine out of ephemeral ports).  Every connect and
// every command has a time-out, so a server that stops answering makes a
// command fail instead of blocking its caller forever.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "store/redis_url.hpp"
#include "store/store_result.hpp"

namespace netrove {

/// The hash that holds every stored prefix.
inline constexpr std::string_view kEntriesKey = "netrove:entries";

/// Longest wait for a TCP or Unix-socket connect to complete.
inline constexpr std::chrono::milliseconds kConnectTimeout{2000};
/// Longest wait for the reply to one command (and for sending it).
inline constexpr std::chrono::milliseconds kCommandTimeout{2000};
/// Longest wait for the first bytes of the HGETALL reply: a server builds
/// the reply of a table of a million prefixes for a second or more before
/// it sends any of it.
inline constexpr std::chrono::milliseconds kFetchTimeout{60000};
/// Connection attempts of open_store before it gives up.
inline constexpr unsigned kOpenAttempts = 6;
/// Back-off of open_store: after failed attempt n (1-based) it waits
/// kBackoffFactor * 2^n, that is 200, 400, 800, 1600 and 3200 ms.
inline constexpr std::chrono::milliseconds kBackoffFactor{100};
/// Idle connections a store keeps open for reuse.
inline constexpr std::size_t kMaxIdleConnections = 16;
/// Writes of a batch sent in one script call.
inline constexpr std::size_t kBatchChunk = 512;
/// Script calls of a batch on the wire at once.
inline constexpr std::size_t kBatchWindow = 4;

/// One write of a batch: HSET field json when `json` is present, else HDEL
/// field.
struct EntryWrite {
  std::string field;
  std::optional<std::string> json;
};

class RedisStore;

/// A pipelined run of writes on one connection (the hybrid engine's
/// insert_many and remove_many).  Writes are gathered kBatchChunk to a
/// script call, which makes them with one HSET or HDEL per run of equal
/// operations and publishes all their events, in order, in one message
/// (update_event.hpp).  Up to kBatchWindow calls are on the wire at once,
/// so the caller prepares the next chunk while the server runs the earlier
/// ones: no round trip per write, and hardly one per chunk.
///
///   set/del ──► pending (< kBatchChunk) ──full──► EVAL appended ──► in flight
///                                                          (> kBatchWindow:
///                                                           read the oldest reply)
///
/// A socket failure sends the chunks not yet answered once more on a fresh
/// connection (they are idempotent); an error reply or a second failure
/// ends the batch: later writes are dropped and finish() reports it.  One
/// thread at a time.
class StoreBatch {
 public:
  StoreBatch(RedisStore& store, std::string channel);
  /// finish(), its result discarded, unless already called.
  ~StoreBatch();
  StoreBatch(const StoreBatch&) = delete;
  StoreBatch& operator=(const StoreBatch&) = delete;

  void set(std::string field, std::string json);
  void del(std::string field);
  /// Sends what is left, waits for every reply and returns the connection.
  /// The first failure, or success.
  StoreStatus finish();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

/// Tuning of a store.  The defaults are the constants above; tests and
/// benchmarks shorten or change them.
struct StoreOptions {
  std::chrono::milliseconds connect_timeout = kConnectTimeout;
  std::chrono::milliseconds command_timeout = kCommandTimeout;
  std::chrono::milliseconds fetch_timeout = kFetchTimeout;
  unsigned open_attempts = kOpenAttempts;
  std::chrono::milliseconds backoff_factor = kBackoffFactor;
  std::size_t max_idle = kMaxIdleConnections;
  /// false: every command opens its own connection and closes it, with no
  /// retry.  Only for measuring against the pool.
  bool pooled = true;
};

/// Wait of open_store after its failed attempt `attempt` (1-based):
/// factor * 2^attempt.
std::chrono::milliseconds open_backoff(unsigned attempt, std::chrono::milliseconds factor) noexcept;

class RedisStore;

/// Opens a store on `url`: parses it, then connects (authenticating with
/// AUTH [user] password and selecting the db when the URL asks for them)
/// and sends PING, making up to options.open_attempts attempts with the
/// open_backoff waits between them.  A connect failure or time-out is tried
/// again; an error reply (wrong password, bad db index) fails at once.  The
/// proving connection stays open as the pool's first.
/// Result: the store, or a StoreError (URL error, or the last failure).
/// Blocks the calling thread for the attempts and waits.
StoreResult<std::shared_ptr<RedisStore>> open_store(std::string_view url, const StoreOptions& options = {});

/// Connection holder for the hash "netrove:entries".  Thread-safe: each
/// command borrows its own connection from the pool.
///
/// Running one command: take an idle connection (or connect a new one),
/// send the command, read its reply, and give the connection back.  A
/// connection whose socket fails is closed, every other idle connection
/// opened before the failure is closed too, and a command that failed that
/// way is sent once more on a fresh connection, so a server that restarted
/// loses nothing (every command is idempotent; a repeated write script may
/// publish its events twice, and applying an event twice changes nothing).
/// A forked child never uses the connections idle at the fork: they share
/// their sockets with the parent, so the child drops them and connects anew.  A time-out closes the connection and is not retried.  Every
/// network step (connect, each of AUTH/SELECT on a new connection, the
/// command) waits at most its time-out, so a server that stops answering
/// costs a command a few seconds, not forever; host-name resolution has no
/// time-out of its own.  An error reply leaves the connection in the pool.
class RedisStore {
 public:
  ~RedisStore();
  RedisStore(const RedisStore&) = delete;
  RedisStore& operator=(const RedisStore&) = delete;

  /// The URL the store was opened with, unchanged.
  const std::string& url() const noexcept { return url_; }
  /// Its parsed form.
  const RedisUrl& endpoint() const noexcept { return endpoint_; }

  /// HSET "netrove:entries" field json; the reply is read and discarded.
  /// Errors: connection failures, time-outs and error replies.
  StoreStatus hset_entry(std::string_view field, std::string_view json);

  /// HDEL "netrove:entries" field; the reply is read and discarded.  A
  /// field that is not stored is no error.
  StoreStatus hdel_entry(std::string_view field);

  /// The published writes.  Each runs one server-side script that makes
  /// the hash write and then PUBLISHes its UpdateEvent (update_event.hpp)
  /// on `channel`, so no other client's command comes between the two and
  /// every subscriber sees the events in the order the hash took them.  A
  /// hash write the server refuses (a key of another type) aborts the
  /// script before its event, so no event announces a write that did not
  /// happen.  The script's reply is read and discarded.
  ///
  /// HSET field json, then PUBLISH channel "insert\nfield\njson".
  StoreStatus publish_set(std::string_view channel, std::string_view field, std::string_view json);
  /// HDEL field, then PUBLISH channel "remove\nfield".
  StoreStatus publish_del(std::string_view channel, std::string_view field);
  /// DEL "netrove:entries" when `drop_hash`, then PUBLISH channel "clear".
  StoreStatus publish_clear(std::string_view channel, bool drop_hash);

  /// HGETALL "netrove:entries": every pair, or nothing for a missing key;
  /// its reply may take options.fetch_timeout to start.
  /// Errors: connection failures, error replies, and "Response type not
  /// map compatible" for a reply that is not nil, an even flat array of
  /// texts or a map of texts.
  StoreResult<StoreEntries> fetch_entries();
  /// The same fetch handing every pair to `visit` as views, while the
  /// reply is parsed (no reply object, no copy); errors as fetch_entries.
  /// A reply found bad part way has had its earlier pairs visited.
  StoreStatus fetch_entries(const EntryVisit& visit);

  /// Connections idle in the pool now.
  std::size_t idle_connections() const;

  class Pool;  ///< the connection pool, defined with the store's code

 private:
  friend class StoreBatch;
  friend StoreResult<std::shared_ptr<RedisStore>> open_store(std::string_view, const StoreOptions&);

  RedisStore(std::string url, RedisUrl endpoint, std::unique_ptr<Pool> pool);

  std::string url_;
  RedisUrl endpoint_;
  std::unique_ptr<Pool> pool_;
};

}  // namespace netrove
