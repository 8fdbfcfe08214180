// netrove/hybrid_engine.hpp - local engines with write-through to Redis.
//
//                 insert / remove / clear           lookup / contains_prefix
//                          │                              len / stats
//                          ▼                                  │
//                   ┌──────────────┐                          ▼
//                   │ write engine │                  ┌──────────────┐
//                   └──────────────┘                  │ read engine  │
//          store? ──yes──► HSET / HDEL (clear: none)  └──────────────┘
//                 └─no───► the same change on the read engine ──┘
//
// With a store the read engine holds what the hash held at start-up: later
// changes reach the write engine and the hash, and are seen by engines
// started afterwards from the same hash.  Store failures after start-up are
// swallowed: the local change stands.
#pragma once

#include <memory>
#include <string>

#include "netrove/engine.hpp"
#include "netrove/factory.hpp"
#include "netrove/local_engine.hpp"
#include "netrove/redis_store.hpp"

namespace netrove {

class HybridEngine final : public Engine, public RecordLender {
 public:
  /// Start-up from `config`; on failure returns null and sets `error` to the
  /// failure text (which begins "Redis error: ").
  ///   1. write engine = build_local(engine_type, node_style,
  ///      write_path_compression, shards); read engine likewise with
  ///      path_compression.
  ///   2. No redis_url: done, no store.
  ///   3. open_store(redis_url); its failure is the start-up's.
  ///   4. Load: HGETALL "netrove:entries"; every pair whose field parses as a
  ///      prefix and whose value is UTF-8 Metadata JSON goes into both
  ///      engines; other pairs are skipped, and a failed fetch loads nothing.
  /// Throws std::invalid_argument as build_local does.
  static std::unique_ptr<HybridEngine> start(const EngineConfig& config, std::string& error);

  /// The same with store settings other than the defaults (time-outs, pool).
  static std::unique_ptr<HybridEngine> start(const EngineConfig& config, const StoreOptions& options,
                                             std::string& error);

  /// Write engine, then HSET field json (store) or the read engine.  Reports
  /// only the write engine's error; a store failure is swallowed.
  InsertResult insert(const IpPrefix& prefix, Metadata record) override;
  /// Read engine.
  std::optional<Metadata> lookup(const IpAddress& address) const override;
  /// Read engine, lending its record (see RecordLender).
  bool lookup_with(const IpAddress& address, RecordVisitor visit) const override;
  /// Write engine (its result is the result), then HDEL field (store) or the
  /// read engine.  A store failure is swallowed.
  std::optional<Metadata> remove(const IpPrefix& prefix) override;
  /// Read engine.
  bool contains_prefix(const IpPrefix& prefix) const override;
  /// Write engine, and the read engine when there is no store.  The hash is
  /// left alone.
  void clear() override;
  /// Read engine.
  std::uint64_t len() const override;
  /// Read engine.
  EngineStats stats() const override;

  const LocalEngine& write_engine() const noexcept { return write_engine_; }
  const LocalEngine& read_engine() const noexcept { return read_engine_; }
  /// The configuration's update_channel, kept for notifications a later
  /// version may send; nothing is sent on it.
  const std::string& update_channel() const noexcept { return update_channel_; }
  /// The store, or null without a redis_url.
  const std::shared_ptr<RedisStore>& store() const noexcept { return store_; }

 private:
  HybridEngine(LocalEngine write, LocalEngine read, std::string channel, std::shared_ptr<RedisStore> store);
  void load_entries();

  // Destroyed bottom-up: write engine, read engine, store, channel.
  std::string update_channel_;
  std::shared_ptr<RedisStore> store_;
  LocalEngine read_engine_;
  LocalEngine write_engine_;
};

}  // namespace netrove
