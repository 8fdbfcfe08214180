// HybridEngine: start-up load from the Redis hash and write-through.
#include "netrove/hybrid_engine.hpp"

#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "utf8.hpp"

namespace netrove {

HybridEngine::HybridEngine(LocalEngine write, LocalEngine read, std::string channel,
                           std::shared_ptr<RedisStore> store)
    : update_channel_(std::move(channel)),
      store_(std::move(store)),
      read_engine_(std::move(read)),
      write_engine_(std::move(write)) {}

std::unique_ptr<HybridEngine> HybridEngine::start(const EngineConfig& config, std::string& error) {
  return start(config, StoreOptions{}, error);
}

std::unique_ptr<HybridEngine> HybridEngine::start(const EngineConfig& config, const StoreOptions& options,
                                                  std::string& error) {
  // 1. The two local engines.
  LocalEngine write = build_local(config.engine_type, config.node_style, config.write_path_compression, config.shards);
  LocalEngine read = build_local(config.engine_type, config.node_style, config.path_compression, config.shards);
  // 2. No store.
  if (!config.redis_url) {
    return std::unique_ptr<HybridEngine>(new HybridEngine(std::move(write), std::move(read), config.update_channel, nullptr));
  }
  // 3. The store.
  auto opened = open_store(*config.redis_url, options);
  if (!opened.ok()) {
    error = opened.error().message;
    return nullptr;
  }
  std::unique_ptr<HybridEngine> engine(
      new HybridEngine(std::move(write), std::move(read), config.update_channel, std::move(opened.value())));
  engine->load_entries();  // 4.
  return engine;
}

// Load cases:
//   a. fetch failed (connection, error reply, odd reply): load nothing;
//   b. field not a prefix, or value not UTF-8 Metadata JSON: skip the pair;
//   c. otherwise a copy into the write engine, the record into the read one.
void HybridEngine::load_entries() {
  auto fetched = store_->fetch_entries();
  if (!fetched.ok()) return;  // a.
  for (auto& [field, value] : fetched.value()) {
    const std::optional<IpPrefix> prefix = parse_prefix(field);
    if (!prefix || !valid_utf8(value)) continue;  // b.
    std::optional<Metadata> record = from_json(value);
    if (!record) continue;
    (void)write_engine_.insert(*prefix, Metadata(*record));  // c.
    (void)read_engine_.insert(*prefix, std::move(*record));
  }
}

InsertResult HybridEngine::insert(const IpPrefix& prefix, Metadata record) {
  InsertResult written = write_engine_.insert(prefix, Metadata(record));
  if (!written.ok()) return written;
  if (store_) {
    (void)store_->hset_entry(prefix_field(prefix), to_json(record));
  } else {
    (void)read_engine_.insert(prefix, std::move(record));
  }
  return InsertResult::success();
}

std::optional<Metadata> HybridEngine::lookup(const IpAddress& address) const { return read_engine_.lookup(address); }

bool HybridEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  return read_engine_.lookup_with(address, visit);
}

std::optional<Metadata> HybridEngine::remove(const IpPrefix& prefix) {
  std::optional<Metadata> removed = write_engine_.remove(prefix);
  if (store_) {
    (void)store_->hdel_entry(prefix_field(prefix));
  } else {
    (void)read_engine_.remove(prefix);
  }
  return removed;
}

bool HybridEngine::contains_prefix(const IpPrefix& prefix) const { return read_engine_.contains_prefix(prefix); }

void HybridEngine::clear() {
  write_engine_.clear();
  if (!store_) read_engine_.clear();
}

std::uint64_t HybridEngine::len() const { return read_engine_.len(); }

EngineStats HybridEngine::stats() const { return read_engine_.stats(); }

}  // namespace netrove
