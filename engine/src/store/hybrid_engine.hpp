// store/hybrid_engine.hpp - local engines with write-through to Redis.
//
//                 insert / remove / clear           lookup / contains_prefix
//                          │                              len / stats
//                          ▼                                  │
//                   ┌──────────────┐                          ▼
//                   │ write engine │                  ┌──────────────┐
//                   └──────────────┘                  │ read engine  │◄─┐
//          store? ──yes──► script: hash write + PUBLISH └──────────────┘  │
//                 │          UpdateEvent on update_channel               │
//                 │                    │ follow mode: the follower thread │
//                 │                    └──────► applies every event ──────┘
//                 └─no───► the same change on the read engine
//
// With a store, every insert and remove writes the hash and publishes its
// UpdateEvent (update_event.hpp) in one server-side script, so subscribers
// see the events in the order the hash took the writes.  clear publishes
// "clear"; in follow mode it also deletes the hash (the whole table is
// cleared everywhere), without follow mode the hash is left alone.
//
// Without follow mode the read engine holds what the hash held at start-up:
// later changes reach the write engine and the hash, and are seen by engines
// started afterwards from the same hash.
//
// Follow mode (EngineConfig::follow): one thread owned by the engine
// subscribes to update_channel, then loads the hash into a read engine built
// beside the current one and swaps it in, then applies every event in order,
// this engine's own included: its own writes show in its lookups once their
// event is back (well under a millisecond on loopback), not when insert
// returns.  A broken subscription (server restart, a killed connection, an
// output buffer overrun) is followed by a reconnect, a fresh subscription
// and a full reload, again built beside and swapped.  Lookups never wait
// for the thread and never see a half-loaded table: the swap is one atomic
// pointer store, and the old engine is freed after an RCU grace period.
//
// fork(): the thread stays in the parent.  A following engine used in a
// forked child throws UsageError ("open it after fork()"); build followers
// in the processes that use them.  Engines without follow mode work in
// children as before (the store reconnects there).
//
// Store failures after start-up are swallowed: the local change stands.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "netrove/config.hpp"
#include "netrove/engine.hpp"
#include "engine/local_engine.hpp"
#include "store/redis_store.hpp"

namespace netrove {

class Follower;
struct FollowStatus;

/// What a following engine reports about keeping in step.
struct FollowStats {
  std::uint64_t events_applied = 0;  ///< update events applied to the read engine
  std::uint64_t events_skipped = 0;  ///< update events that did not parse, skipped
  std::uint64_t fields_skipped = 0;  ///< hash pairs that did not parse, over every load
  std::uint64_t resyncs = 0;         ///< full reloads after the first
  bool in_step = false;              ///< subscribed and loaded now
  std::chrono::nanoseconds lag{0};   ///< time out of step so far (zero when in step)
};

class HybridEngine final : public Engine,
                           public RecordLender,
                           public BatchEngine,
                           public BatchLender,
                           public EntryReader,
                           public EntryLister,
                           public RecordWriter {
 public:
  /// Start-up from `config`; on failure returns null and sets `error` to the
  /// failure text (which begins "Redis error: ").
  ///   1. write engine = build_local(engine_type, node_style,
  ///      write_path_compression, shards); read engine likewise with
  ///      path_compression.
  ///   2. No redis_url: done, no store.
  ///   3. open_store(redis_url); its failure is the start-up's.
  ///   4. Without follow: load HGETALL "netrove:entries"; every pair whose
  ///      field parses as a prefix and whose value is UTF-8 Metadata JSON
  ///      goes into both engines (one bulk load each, equal JSON texts read
  ///      once); other pairs are skipped, and a failed fetch loads nothing.
  ///   5. With follow: start the follower, which subscribes and then loads
  ///      the same way; wait for that first load (or its first failed
  ///      connection, after which the thread keeps trying).
  /// Throws std::invalid_argument as build_local does.
  static std::unique_ptr<HybridEngine> start(const EngineConfig& config, std::string& error);

  /// The same with store settings other than the defaults (time-outs, pool).
  static std::unique_ptr<HybridEngine> start(const EngineConfig& config, const StoreOptions& options,
                                             std::string& error);

  /// Stops and joins the follower first, then releases the engines.
  ~HybridEngine() override;

  /// Write engine, then hash write and event (store) or the read engine.
  /// Reports only the write engine's error; a store failure is swallowed.
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// Read engine.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// Read engine, lending its record (see RecordLender).
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Write engine (its result is the result), then HDEL and event (store)
  /// or the read engine.  A store failure is swallowed.
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// Read engine.
  bool contains_prefix(const IpPrefix& prefix) const override;
  /// Write engine; then with a store the "clear" event (and, in follow mode
  /// only, DEL of the hash in the same script); without one the read engine.
  void clear() override;
  /// Read engine.
  std::uint64_t len() const override;
  /// Read engine.
  EngineStats stats() const override;
  /// The read engine's enumerations (what lookups answer from).  No
  /// EntryLoader: a table that lives in the store is filled through it.
  std::vector<Entry> covering(const IpAddress& address, std::size_t limit) const override;
  std::vector<Entry> covered(const IpPrefix& prefix) const override;
  HeldRecord exact(const IpPrefix& prefix) const override;
  /// The read engine's EntryLister.
  void list_entries(EntrySink& sink) const override;

  /// insert of a stored record (RecordWriter): the write engine, then the
  /// hash write and event, or the read engine.
  InsertResult insert_record(const IpPrefix& prefix, RecordRef record) override;
  /// insert_many of stored records: one bulk load of the write engine, then
  /// every hash write and event in one StoreBatch in input order (a later
  /// equal prefix wins there too), or one bulk load of the read engine.
  InsertResult insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                              std::size_t* done) override;
  /// Throws std::logic_error: a table that lives in the store is filled
  /// through the store (no EntryLoader either).
  InsertResult load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n, std::size_t* done) override;

  /// Bulk insert: the records interned, then insert_records (the hash
  /// writes and events in one pipelined StoreBatch: kBatchChunk writes per
  /// script call, kBatchWindow calls in flight).  An error of the write
  /// engine is returned with nothing published.
  InsertResult insert_many(std::vector<std::pair<IpPrefix, Metadata>> entries);
  /// The same bulk insert over (prefixes[i], records[i]), the records moved
  /// out (see BatchEngine): *done counts the entries written before an
  /// error.
  InsertResult insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n, std::size_t* done) override;
  /// Read engine's batch lookups (see BatchEngine and BatchLender), in
  /// follow mode one read section per chunk of kReadChunk addresses, so
  /// that a reload's swap waits at most for one chunk.
  void lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const override;
  void contains_many(const IpAddress* addresses, std::size_t n, bool* found) const override;
  void lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found, BatchVisitor visit) const override;
  static constexpr std::size_t kReadChunk = 4096;
  /// Bulk remove, pipelined likewise.  Result: how many the write engine held.
  std::uint64_t remove_many(const std::vector<IpPrefix>& prefixes);

  /// The follower's counters; nothing without follow mode.
  std::optional<FollowStats> follow_stats() const;

  const LocalEngine& write_engine() const noexcept { return write_engine_; }
  /// The current read engine.  In follow mode valid only until the next
  /// reload; for inspection in tests.
  const LocalEngine& read_engine() const noexcept { return *read_.load(std::memory_order_acquire); }
  /// The channel every write's UpdateEvent is published on.
  const std::string& update_channel() const noexcept { return update_channel_; }
  /// The store, or null without a redis_url.
  const std::shared_ptr<RedisStore>& store() const noexcept { return store_; }
  /// True when the read engine follows the channel.
  bool following() const noexcept { return follower_ != nullptr; }

 private:
  class Sink;
  struct Shape {
    EngineType engine_type;
    NodeStyle node_style;
    bool path_compression;
    std::optional<std::uint64_t> shards;
  };

  HybridEngine(LocalEngine write, LocalEngine read, std::string channel, std::shared_ptr<RedisStore> store,
               Shape shape);
  void load_entries();
  void check_process() const;  // UsageError in a forked child of a follower
  template <class F>
  decltype(auto) with_read(F&& f) const;

  // Destroyed bottom-up: follower (joined), write engine, read engine,
  // store, channel.
  std::string update_channel_;
  std::shared_ptr<RedisStore> store_;
  Shape shape_;
  std::atomic<LocalEngine*> read_;  // owned; swapped by the follower only
  LocalEngine write_engine_;
  std::unique_ptr<Sink> sink_;
  std::unique_ptr<Follower> follower_;
};

}  // namespace netrove
