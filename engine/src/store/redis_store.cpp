// RedisStore: open_store, the connection pool and the three hash commands.
//
// The pool is a stack of idle connections under one mutex, held only to
// push or pop, never across network I/O:
//
//   borrow ──► idle_ non-empty? ── yes ──► pop (reused)
//                   │ no
//                   └──► Connection::open outside the lock (fresh)
//
//   give_back(healthy) ──► same generation and room? push : close
//   give_back(broken)  ──► bump generation, close every idle connection
//
// A socket failure usually means the server went away or restarted, which
// breaks every idle connection at once; closing them all lets the next
// commands connect afresh instead of each failing once on a stale socket.
// Connections lent out before the bump carry the old generation and are
// closed when they come back.
#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>

#include "store/redis_store.hpp"
#include "sync/fork_generation.hpp"
#include "sync/sync.hpp"
#include "store/update_event.hpp"
#include "store/redis_wire.hpp"

namespace netrove {

std::chrono::milliseconds open_backoff(unsigned attempt, std::chrono::milliseconds factor) noexcept {
  const unsigned shift = std::min(attempt, 30u);
  return factor * (std::int64_t{1} << shift);
}

class RedisStore::Pool {
 public:
  Pool(RedisUrl endpoint, const StoreOptions& options) : endpoint_(std::move(endpoint)), options_(options) {}

  struct Lease {
    Connection conn;
    std::uint64_t generation;
  };

  const StoreOptions& options() const noexcept { return options_; }

  std::variant<Connection, WireError> connect() const {
    return Connection::open(endpoint_, options_.connect_timeout, options_.command_timeout);
  }

  std::variant<Lease, WireError> borrow() {
    std::uint64_t generation;
    std::vector<Connection> inherited;  // closed outside the lock
    {
      std::lock_guard lock(mu_);
      if (const std::uint64_t forks = fork_generation(); forks != forks_) {
        // A forked child: the idle sockets are the parent's streams too.
        forks_ = forks;
        ++generation_;
        inherited.swap(idle_);
      }
      generation = generation_;
      if (!idle_.empty()) {
        Connection c = std::move(idle_.back());
        idle_.pop_back();
        return Lease{std::move(c), generation};
      }
    }
    auto fresh = connect();
    if (auto* e = std::get_if<WireError>(&fresh)) return std::move(*e);
    return Lease{std::move(std::get<Connection>(fresh)), generation};
  }

  // Returns a lent connection.  Connections are closed outside the lock.
  void give_back(Lease lease, bool healthy) {
    if (healthy && !options_.pooled) return;  // closes here
    std::vector<Connection> doomed;
    {
      std::lock_guard lock(mu_);
      if (lease.generation != generation_) {
        // Opened before a failure: close it.
      } else if (!healthy) {
        ++generation_;
        doomed.swap(idle_);
      } else if (idle_.size() < options_.max_idle) {
        idle_.push_back(std::move(lease.conn));
        return;
      }
    }
    // `lease.conn` and `doomed` close here.
  }

  // Keeps open_store's proving connection.
  void adopt(Connection c) {
    std::lock_guard lock(mu_);
    if (idle_.size() < options_.max_idle) idle_.push_back(std::move(c));
  }

  std::size_t idle() const {
    std::lock_guard lock(mu_);
    return idle_.size();
  }

 private:
  const RedisUrl endpoint_;
  const StoreOptions options_;
  mutable ForkSafeMutex mu_;       // guards idle_ and generation_
  std::vector<Connection> idle_;   // open, authenticated, db selected
  std::uint64_t generation_ = 0;   // bumped by every socket failure or time-out
  std::uint64_t forks_ = fork_generation();  // the process the idle ones belong to
};

namespace {

// Runs one command and converts its reply.
//   1. Borrow a connection (pooled) or open one (unpooled); a connect failure
//      is the result.
//   2. Send the command.  A reply: return the connection, convert the reply.
//   3. An error reply: return the connection (it is still in step) and fail.
//   4. A time-out: close the connection and fail; no retry, so the caller
//      waits at most one time-out for the command.
//   5. A socket failure: close it (and the idle ones) and go back to 1 once.
//   `timeout`, when given, replaces the command time-out for this command.
template <class Convert>
auto run(RedisStore::Pool& pool, const std::vector<std::string_view>& argv, Convert convert,
         std::optional<std::chrono::milliseconds> timeout = std::nullopt)
    -> decltype(convert(std::declval<const redisReply&>())) {
  auto exchange = [&](Connection& conn) {
    if (timeout) conn.set_timeout(*timeout);
    auto reply = conn.command(argv);
    if (timeout) conn.set_timeout(pool.options().command_timeout);
    return reply;
  };
  if (!pool.options().pooled) {
    auto conn = pool.connect();
    if (auto* e = std::get_if<WireError>(&conn)) return StoreError::redis(e->detail);
    auto reply = exchange(std::get<Connection>(conn));
    if (auto* e = std::get_if<WireError>(&reply)) return StoreError::redis(e->detail);
    return convert(*std::get<ReplyPtr>(reply));
  }
  for (int attempt = 0;; ++attempt) {
    auto lease = pool.borrow();  // 1.
    if (auto* e = std::get_if<WireError>(&lease)) return StoreError::redis(e->detail);
    auto& l = std::get<RedisStore::Pool::Lease>(lease);
    auto reply = exchange(l.conn);  // 2.
    if (auto* r = std::get_if<ReplyPtr>(&reply)) {
      ReplyPtr owned = std::move(*r);
      pool.give_back(std::move(l), true);
      return convert(*owned);
    }
    WireError& e = std::get<WireError>(reply);
    pool.give_back(std::move(l), e.kind == WireError::Kind::reply);
    if (e.kind != WireError::Kind::socket || attempt == 1) return StoreError::redis(e.detail);  // 3., 4.
    // 5.
  }
}

StoreStatus discard_reply(const redisReply&) { return std::monostate{}; }

// The write script.  KEYS[1] the hash; ARGV[1] the channel, ARGV[2] the
// kind of write, ARGV[3] "1" to DEL the hash first, ARGV[4] the message (the
// events, encoded by encode_event), then the words of the hash write:
//   "s"  field json field json ...   one HSET of every pair, in order (a
//                                    field named twice ends with its last value)
//   "d"  field field ...             one HDEL
//   "c"  (none)                      no hash write (clear)
// then one PUBLISH of the message.  redis.call raises on an error reply,
// which ends the script there: a refused hash write publishes nothing.
constexpr std::string_view kWriteScript = R"lua(
local key = KEYS[1]
if ARGV[3] == '1' then redis.call('DEL', key) end
if ARGV[2] == 's' then redis.call('HSET', key, unpack(ARGV, 5))
elseif ARGV[2] == 'd' then redis.call('HDEL', key, unpack(ARGV, 5)) end
redis.call('PUBLISH', ARGV[1], ARGV[4])
return 1
)lua";

// The EVAL command of the write script, before the hash write's words.
std::vector<std::string_view> script_call(std::string_view channel, std::string_view kind, bool drop_hash,
                                          std::string_view message) {
  return {"EVAL", kWriteScript, "1", kEntriesKey, channel, kind, drop_hash ? "1" : "0", message};
}

}  // namespace

RedisStore::RedisStore(std::string url, RedisUrl endpoint, std::unique_ptr<Pool> pool)
    : url_(std::move(url)), endpoint_(std::move(endpoint)), pool_(std::move(pool)) {}

RedisStore::~RedisStore() = default;

StoreStatus RedisStore::hset_entry(std::string_view field, std::string_view json) {
  return run(*pool_, {"HSET", kEntriesKey, field, json}, discard_reply);
}

StoreStatus RedisStore::hdel_entry(std::string_view field) {
  return run(*pool_, {"HDEL", kEntriesKey, field}, discard_reply);
}

StoreStatus RedisStore::publish_set(std::string_view channel, std::string_view field, std::string_view json) {
  const std::string message =
      encode_event({std::string(kInsertOp), std::string(field), std::string(json)});
  auto argv = script_call(channel, "s", false, message);
  argv.insert(argv.end(), {field, json});
  return run(*pool_, argv, discard_reply);
}

StoreStatus RedisStore::publish_del(std::string_view channel, std::string_view field) {
  const std::string message = encode_event({std::string(kRemoveOp), std::string(field), std::nullopt});
  auto argv = script_call(channel, "d", false, message);
  argv.push_back(field);
  return run(*pool_, argv, discard_reply);
}

StoreStatus RedisStore::publish_clear(std::string_view channel, bool drop_hash) {
  return run(*pool_, script_call(channel, "c", drop_hash, kClearOp), discard_reply);
}

// ---------------------------------------------------------------------------
// StoreBatch

struct StoreBatch::State {
  RedisStore::Pool& pool;
  std::string channel;
  std::vector<EntryWrite> pending;                // not yet sent
  std::deque<std::vector<EntryWrite>> flying;     // sent, reply not yet read
  std::optional<RedisStore::Pool::Lease> lease;
  std::optional<StoreError> failed;
  bool retried = false;
  bool finished = false;

  // Appends the script call of `chunk`, writes of one kind: its events as
  // one message, then the hash write's words.
  std::optional<WireError> send(const std::vector<EntryWrite>& chunk) {
    NETROVE_ASSERT(!chunk.empty());
    const bool sets = chunk.front().json.has_value();
    std::string message;
    for (const EntryWrite& w : chunk) {
      if (!message.empty()) message += '\n';
      message += encode_event({std::string(sets ? kInsertOp : kRemoveOp), w.field, w.json});
    }
    auto argv = script_call(channel, sets ? "s" : "d", false, message);
    argv.reserve(argv.size() + 2 * chunk.size());
    for (const EntryWrite& w : chunk) {
      argv.push_back(w.field);
      if (sets) argv.push_back(*w.json);
    }
    return lease->conn.append(argv);
  }

  // Records the batch's failure and drops what is left.
  void fail(std::string detail) {
    failed = StoreError::redis(detail);
    pending.clear();
    flying.clear();
  }

  // A connection, borrowed once; on a socket failure a fresh one with every
  // unanswered chunk sent again (once per batch).  False when it failed.
  bool reconnect_and_resend() {
    for (;;) {
      auto borrowed = pool.borrow();
      if (auto* e = std::get_if<WireError>(&borrowed)) {
        fail(e->detail);
        return false;
      }
      lease.emplace(std::move(std::get<RedisStore::Pool::Lease>(borrowed)));
      std::optional<WireError> e;
      for (const auto& chunk : flying)
        if (!e) e = send(chunk);
      if (!e) return true;
      if (!drop_broken(*e)) return false;
    }
  }

  // Closes a connection that failed with `e`; true when a retry is due.
  bool drop_broken(const WireError& e) {
    pool.give_back(std::move(*lease), false);
    lease.reset();
    if (e.kind != WireError::Kind::socket || retried) {
      fail(e.detail);
      return false;
    }
    retried = true;
    return true;
  }

  // Ships `pending` as one chunk, then reads replies down to the window.
  void ship(std::size_t window) {
    if (failed) return;
    if (!pending.empty()) {
      flying.push_back(std::move(pending));
      pending.clear();
      pending.reserve(kBatchChunk);
      if (!lease) {
        if (!reconnect_and_resend()) return;
      } else if (auto e = send(flying.back())) {
        if (!drop_broken(*e) || !reconnect_and_resend()) return;
      }
    }
    while (flying.size() > window) {
      auto reply = lease->conn.read_reply();
      if (std::holds_alternative<ReplyPtr>(reply)) {
        flying.pop_front();
        continue;
      }
      const WireError& e = std::get<WireError>(reply);
      if (e.kind == WireError::Kind::reply) {  // the connection is still in step
        flying.pop_front();
        while (!flying.empty()) {  // read the answers of the rest before giving it back
          (void)lease->conn.read_reply();
          flying.pop_front();
        }
        fail(e.detail);
        return;
      }
      if (!drop_broken(e) || !reconnect_and_resend()) return;
    }
  }

  // A chunk holds writes of one kind: a write of the other kind ships it.
  void add(EntryWrite w) {
    if (failed) return;
    if (!pending.empty() && pending.front().json.has_value() != w.json.has_value()) ship(kBatchWindow);
    pending.push_back(std::move(w));
    if (pending.size() >= kBatchChunk) ship(kBatchWindow);
  }
};

StoreBatch::StoreBatch(RedisStore& store, std::string channel)
    : state_(new State{*store.pool_, std::move(channel), {}, {}, std::nullopt, std::nullopt}) {
  state_->pending.reserve(kBatchChunk);
}

StoreBatch::~StoreBatch() {
  if (!state_->finished) (void)finish();
}

void StoreBatch::set(std::string field, std::string json) { state_->add({std::move(field), std::move(json)}); }

void StoreBatch::del(std::string field) { state_->add({std::move(field), std::nullopt}); }

StoreStatus StoreBatch::finish() {
  State& s = *state_;
  s.finished = true;
  s.ship(0);
  if (s.lease) {
    s.pool.give_back(std::move(*s.lease), true);
    s.lease.reset();
  }
  if (s.failed) return *s.failed;
  return std::monostate{};
}

StoreResult<StoreEntries> RedisStore::fetch_entries() {
  return run(*pool_, {"HGETALL", kEntriesKey}, entries_from_reply, pool_->options().fetch_timeout);
}

// fetch_entries(visit): run()'s cases, the pairs visited as they are
// parsed (Connection::command_pairs).  A socket failure is tried again
// (step 5) only when nothing was visited yet.
StoreStatus RedisStore::fetch_entries(const EntryVisit& visit) {
  Pool& pool = *pool_;
  const std::vector<std::string_view> argv = {"HGETALL", kEntriesKey};
  auto exchange = [&](Connection& conn, std::size_t* visited) {
    conn.set_timeout(pool.options().fetch_timeout);
    auto result = conn.command_pairs(argv, visit, visited);
    conn.set_timeout(pool.options().command_timeout);
    return result;
  };
  for (int attempt = 0;; ++attempt) {
    std::size_t visited = 0;
    std::variant<StoreStatus, WireError> result = WireError{};
    if (!pool.options().pooled) {
      auto conn = pool.connect();
      if (auto* e = std::get_if<WireError>(&conn)) return StoreError::redis(e->detail);
      result = exchange(std::get<Connection>(conn), &visited);
    } else {
      auto lease = pool.borrow();
      if (auto* e = std::get_if<WireError>(&lease)) return StoreError::redis(e->detail);
      auto& l = std::get<RedisStore::Pool::Lease>(lease);
      result = exchange(l.conn, &visited);
      const WireError* e = std::get_if<WireError>(&result);
      pool.give_back(std::move(l), !e || e->kind == WireError::Kind::reply);
    }
    if (auto* status = std::get_if<StoreStatus>(&result)) return *status;
    const WireError& e = std::get<WireError>(result);
    if (e.kind != WireError::Kind::socket || attempt == 1 || visited != 0 || !pool.options().pooled)
      return StoreError::redis(e.detail);
  }
}

std::size_t RedisStore::idle_connections() const { return pool_->idle(); }

// open_store:
//   1. Parse the URL; its error is the result.
//   2. Attempt: connect (AUTH, HELLO, SELECT as asked) and PING.  Success
//      keeps the connection in the pool and returns the store.
//   3. An error reply (wrong password, bad db index, NOAUTH) fails at once:
//      waiting would not change the answer.
//   4. A connect failure or time-out: wait open_backoff(attempt) and try
//      again, up to options.open_attempts attempts; the last failure is the
//      result.
StoreResult<std::shared_ptr<RedisStore>> open_store(std::string_view url, const StoreOptions& options) {
  auto parsed = parse_redis_url(url);  // 1.
  if (!parsed.ok()) return parsed.error();
  auto pool = std::make_unique<RedisStore::Pool>(parsed.value(), options);
  const unsigned attempts = std::max(1u, options.open_attempts);
  WireError last;
  for (unsigned attempt = 1;; ++attempt) {
    auto conn = pool->connect();  // 2.
    if (auto* c = std::get_if<Connection>(&conn)) {
      auto pong = c->command({"PING"});
      if (std::holds_alternative<ReplyPtr>(pong)) {
        if (options.pooled) pool->adopt(std::move(*c));
        return std::shared_ptr<RedisStore>(new RedisStore(std::string(url), std::move(parsed.value()), std::move(pool)));
      }
      last = std::move(std::get<WireError>(pong));
    } else {
      last = std::move(std::get<WireError>(conn));
    }
    if (last.kind == WireError::Kind::reply || attempt >= attempts) return StoreError::redis(last.detail);  // 3.
    std::this_thread::sleep_for(open_backoff(attempt, options.backoff_factor));  // 4.
  }
}

}  // namespace netrove
