// HybridEngine: start-up, write-through with update events, bulk writes and
// the follower's sink (reload beside and swap, apply one event).
#include "store/hybrid_engine.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "engine/factory_internal.hpp"
#include "netrove/metadata.hpp"
#include "netrove/text.hpp"
#include "store/update_event.hpp"
#include "sync/rcu.hpp"
#include "sync/sidekick.hpp"
#include "store/records_by_text.hpp"
#include "store/redis_follower.hpp"
#include "text/utf8.hpp"

namespace netrove {

namespace {

// A hash pair as a prefix and its record, or nothing when either part does
// not parse (the field by the prefix grammar, the value as UTF-8 Metadata
// JSON).
std::optional<std::pair<IpPrefix, Metadata>> parse_pair(std::string_view field, std::string_view value) {
  const std::optional<IpPrefix> prefix = parse_prefix(field);
  if (!prefix || !valid_utf8(value)) return std::nullopt;
  std::optional<Metadata> record = from_json(value);
  if (!record) return std::nullopt;
  return std::pair{*prefix, std::move(*record)};
}

// The hash field a write names: the prefix's network (host bits cleared).
// The engine holds 10.1.2.3/8 and 10.0.0.0/8 as one entry, so the hash must
// hold one field for them too; a field kept as written would survive a
// remove spelt the other way and come back at the next reload.
std::string store_field(const IpPrefix& prefix) { return prefix_field(prefix.network()); }

// True when the prefix was written with host bits, so that a field under
// that spelling (left by an earlier writer) may also exist.
bool has_host_bits(const IpPrefix& prefix) { return prefix != prefix.network(); }

void mark_passed(void* flag) { static_cast<std::atomic<bool>*>(flag)->store(true, std::memory_order_release); }

/// The hash, fetched and read in place (parse_pair's rules), as prefixes
/// and stored records for bulk loads.  A real table repeats a few thousand
/// record texts over its prefixes, so each distinct text is read and
/// interned once.  The pairs come sorted by prefix (family, network,
/// length; equal ones in reply order), so that each engine's bulk load
/// finds them sorted: one sort for both.  `skipped` grows by the pairs that
/// did not parse.  Returns the fetch's status (nothing read on failure).
StoreStatus fetch_pairs(RedisStore& store, std::vector<IpPrefix>& prefixes, std::vector<RecordRef>& records,
                        std::uint64_t& skipped) {
  struct Read {
    std::uint64_t hi, lo;  // the network address
    std::uint32_t index;   // into `got`
    std::uint8_t family, length;
  };
  std::vector<std::pair<IpPrefix, std::uint32_t>> got;  // a prefix and its text's entry in by_text
  std::vector<Read> order;
  RecordsByText by_text([](std::string_view value) {
    std::optional<Metadata> record;
    if (valid_utf8(value)) record = from_json(value);
    return record ? RecordRef::intern(*record) : RecordRef();
  });
  std::uint64_t bad = 0;
  const StoreStatus fetched = store.fetch_entries([&](std::string_view field, std::string_view value) {
    const std::optional<IpPrefix> prefix = parse_prefix(field);
    if (!prefix) {
      ++bad;
      return;
    }
    const std::uint32_t entry = by_text.find_or_add(value);
    if (!by_text.is_record(entry)) {
      ++bad;
      return;
    }
    const auto net = prefix->network_address();
    std::uint64_t hi, lo;
    std::memcpy(&hi, net.data(), 8);
    std::memcpy(&lo, net.data() + 8, 8);
    order.push_back({__builtin_bswap64(hi), __builtin_bswap64(lo), static_cast<std::uint32_t>(got.size()),
                     prefix->family, prefix->length});
    got.emplace_back(*prefix, entry);
  });
  if (!fetched.ok()) return fetched;
  skipped += bad;
  // IPv4, most of a table, sorts as one word per pair:
  //   address (32 bits) | length (8) | position in the reply (24)
  // and IPv6 (or a reply of 2^24 pairs or more) field by field.
  std::vector<std::uint64_t> v4;
  std::vector<Read> rest;
  for (const Read& r : order) {
    if (r.family == kIpv4 && got.size() < (std::size_t{1} << 24)) v4.push_back((r.hi >> 32) << 32 | std::uint64_t{r.length} << 24 | r.index);
    else rest.push_back(r);
  }
  std::sort(v4.begin(), v4.end());
  std::sort(rest.begin(), rest.end(), [](const Read& x, const Read& y) {
    if (x.family != y.family) return x.family < y.family;
    if (x.hi != y.hi) return x.hi < y.hi;
    if (x.lo != y.lo) return x.lo < y.lo;
    if (x.length != y.length) return x.length < y.length;
    return x.index < y.index;
  });
  // Room first: no push below may throw, with uncounted shares handed out.
  prefixes.reserve(prefixes.size() + got.size());
  records.reserve(records.size() + got.size());
  auto take = [&](std::uint32_t index) {
    prefixes.push_back(got[index].first);
    records.push_back(by_text.share(got[index].second));
  };
  for (const std::uint64_t k : v4) take(static_cast<std::uint32_t>(k & 0xFFFFFF));
  for (const Read& r : rest) take(r.index);
  return fetched;
}

/// Loads of more pairs than this fill the write and the read engine side
/// by side.
constexpr std::size_t kLoadBesideMin = 4096;

/// Shares of records[0..n): the same stored records for a second engine.
std::vector<RecordRef> shares_of(const RecordRef* records, std::size_t n) { return {records, records + n}; }

}  // namespace

// The follower's side of the engine; runs on the follower's thread only,
// the one thread that changes `read_`.
class HybridEngine::Sink final : public FollowSink {
 public:
  explicit Sink(HybridEngine& engine) : e_(engine) {}

  // Reload cases:
  //   a. fetch failed: keep the current read engine, report false;
  //   b. build a fresh read engine from every pair that parses (count the
  //      others); on the first load fill the write engine too;
  //   c. swap it in with one pointer store; free the old one after a grace
  //      period, when no lookup can still be inside it.
  bool reload() override {
    std::vector<IpPrefix> prefixes;
    std::vector<RecordRef> records;
    std::uint64_t skipped = 0;
    if (!fetch_pairs(*e_.store_, prefixes, records, skipped).ok()) return false;  // a.
    fields_skipped_.fetch_add(skipped, std::memory_order_relaxed);
    auto fresh = std::make_unique<LocalEngine>(  // b.
        build_local(e_.shape_.engine_type, e_.shape_.node_style, e_.shape_.path_compression, e_.shape_.shards));
    std::size_t done = 0, written = 0;
    std::vector<RecordRef> shares = first_ ? shares_of(records.data(), records.size()) : std::vector<RecordRef>();
    {
      // The two engines load side by side (sidekick.hpp).
      Sidekick side(first_ && prefixes.size() > kLoadBesideMin);
      if (first_)
        side.start([&] { (void)e_.write_engine_.insert_records(prefixes.data(), shares.data(), prefixes.size(), &written); });
      (void)fresh->insert_records(prefixes.data(), records.data(), prefixes.size(), &done);
      side.wait();
    }
    first_ = false;
    LocalEngine* old = e_.read_.exchange(fresh.release(), std::memory_order_acq_rel);  // c.
    // A marker retired after the swap is destroyed only after a grace
    // period, so once drain() has destroyed it no lookup is inside `old`.
    // The engine itself is deleted here, outside the reclaimer's lock: its
    // own locks leave the fork list, which must not happen under another
    // ForkGuarded lock.
    std::atomic<bool> passed{false};
    rcu::retire(&passed, mark_passed);
    while (!passed.load(std::memory_order_acquire)) rcu::drain();
    delete old;
    return true;
  }

  // Apply cases (the event forms of update_event.hpp):
  //   1. not a message of events: one skipped;
  //   2. a clear among them: nothing applied, reload (the snapshot holds
  //      every event of the message);
  //   3. per event: a field that is not a prefix, or an insert whose JSON
  //      is not Metadata: skipped;
  //   4. insert: the record into the read engine;
  //   5. remove: the prefix out of the read engine.
  Applied apply(std::string_view payload) override {
    Applied done;
    std::optional<std::vector<UpdateEvent>> events = decode_events(payload);
    if (!events) {  // 1.
      done.skipped = 1;
      return done;
    }
    for (const UpdateEvent& e : *events)
      if (e.op == kClearOp) {  // 2.
        done.clear = true;
        return done;
      }
    LocalEngine& read = *e_.read_.load(std::memory_order_relaxed);
    for (UpdateEvent& e : *events) {
      if (e.op == kInsertOp) {
        auto pair = parse_pair(e.field, *e.json);
        if (!pair) {
          ++done.skipped;  // 3.
          continue;
        }
        (void)read.insert(pair->first, std::move(pair->second));  // 4.
      } else {
        const std::optional<IpPrefix> prefix = parse_prefix(e.field);
        if (!prefix) {
          ++done.skipped;  // 3.
          continue;
        }
        (void)read.remove(*prefix);  // 5.
      }
      ++done.applied;
    }
    return done;
  }

  std::uint64_t fields_skipped() const noexcept { return fields_skipped_.load(std::memory_order_relaxed); }

 private:
  HybridEngine& e_;
  bool first_ = true;
  std::atomic<std::uint64_t> fields_skipped_{0};
};

HybridEngine::HybridEngine(LocalEngine write, LocalEngine read, std::string channel,
                           std::shared_ptr<RedisStore> store, Shape shape)
    : update_channel_(std::move(channel)),
      store_(std::move(store)),
      shape_(shape),
      read_(new LocalEngine(std::move(read))),
      write_engine_(std::move(write)) {}

HybridEngine::~HybridEngine() {
  follower_.reset();  // joins the thread: nothing swaps or applies after this
  sink_.reset();
  delete read_.load(std::memory_order_acquire);
}

std::unique_ptr<HybridEngine> HybridEngine::start(const EngineConfig& config, std::string& error) {
  return start(config, StoreOptions{}, error);
}

std::unique_ptr<HybridEngine> HybridEngine::start(const EngineConfig& config, const StoreOptions& options,
                                                  std::string& error) {
  // 1. The two local engines.
  const Shape shape{config.engine_type, config.node_style, config.path_compression, config.shards};
  LocalEngine write = build_local(config.engine_type, config.node_style, config.write_path_compression, config.shards);
  LocalEngine read = build_local(config.engine_type, config.node_style, config.path_compression, config.shards);
  // 2. No store.
  if (!config.redis_url) {
    return std::unique_ptr<HybridEngine>(
        new HybridEngine(std::move(write), std::move(read), config.update_channel, nullptr, shape));
  }
  // 3. The store.
  auto opened = open_store(*config.redis_url, options);
  if (!opened.ok()) {
    error = opened.error().message;
    return nullptr;
  }
  std::unique_ptr<HybridEngine> engine(
      new HybridEngine(std::move(write), std::move(read), config.update_channel, std::move(opened.value()), shape));
  if (!config.follow) {
    engine->load_entries();  // 4.
  } else {
    engine->sink_ = std::make_unique<Sink>(*engine);  // 5.
    engine->follower_ =
        std::make_unique<Follower>(engine->store_->endpoint(), config.update_channel, *engine->sink_, options);
  }
  return engine;
}

// Load cases:
//   a. fetch failed (connection, error reply, odd reply): load nothing;
//   b. field not a prefix, or value not UTF-8 Metadata JSON: skip the pair;
//   c. otherwise into both engines, each by one bulk load of the same
//      stored records.
void HybridEngine::load_entries() {
  std::vector<IpPrefix> prefixes;
  std::vector<RecordRef> records;
  std::uint64_t skipped = 0;
  if (!fetch_pairs(*store_, prefixes, records, skipped).ok()) return;  // a., b.
  std::vector<RecordRef> shares = shares_of(records.data(), records.size());  // c.
  std::size_t done = 0, written = 0;
  Sidekick side(prefixes.size() > kLoadBesideMin);  // side by side (sidekick.hpp)
  side.start([&] { (void)write_engine_.insert_records(prefixes.data(), shares.data(), prefixes.size(), &written); });
  (void)read_.load(std::memory_order_relaxed)->insert_records(prefixes.data(), records.data(), prefixes.size(), &done);
  side.wait();
}

void HybridEngine::check_process() const {
  if (follower_ && follower_->forked())
    throw UsageError("a following HybridEngine cannot be used in a forked child: open it after fork()");
}

// Runs f on the read engine.  In follow mode inside a read section, so the
// follower's swap cannot free the engine under the call.
template <class F>
decltype(auto) HybridEngine::with_read(F&& f) const {
  if (!follower_) return f(*read_.load(std::memory_order_relaxed));
  check_process();
  rcu::ReadSection rs;
  return f(*read_.load(std::memory_order_acquire));
}

InsertResult HybridEngine::insert(const IpPrefix& prefix, Metadata record) {
  check_process();
  InsertResult written = write_engine_.insert(prefix, Metadata(record));
  if (!written.ok()) return written;
  if (store_) {
    (void)store_->publish_set(update_channel_, store_field(prefix), to_json(record));
  } else {
    (void)read_.load(std::memory_order_relaxed)->insert(prefix, std::move(record));
  }
  return InsertResult::success();
}

std::optional<Metadata> HybridEngine::lookup(const IpAddress& address) const {
  return with_read([&](const LocalEngine& r) { return r.lookup(address); });
}

bool HybridEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  return with_read([&](const LocalEngine& r) { return r.lookup_with(address, visit); });
}

std::optional<Metadata> HybridEngine::remove(const IpPrefix& prefix) {
  check_process();
  std::optional<Metadata> removed = write_engine_.remove(prefix);
  if (store_) {
    (void)store_->publish_del(update_channel_, store_field(prefix));
    if (has_host_bits(prefix)) (void)store_->publish_del(update_channel_, prefix_field(prefix));
  } else {
    (void)read_.load(std::memory_order_relaxed)->remove(prefix);
  }
  return removed;
}

bool HybridEngine::contains_prefix(const IpPrefix& prefix) const {
  return with_read([&](const LocalEngine& r) { return r.contains_prefix(prefix); });
}

std::vector<Entry> HybridEngine::covering(const IpAddress& address, std::size_t limit) const {
  return with_read([&](const LocalEngine& r) { return r.covering(address, limit); });
}

std::vector<Entry> HybridEngine::covered(const IpPrefix& prefix) const {
  return with_read([&](const LocalEngine& r) { return r.covered(prefix); });
}

HeldRecord HybridEngine::exact(const IpPrefix& prefix) const {
  return with_read([&](const LocalEngine& r) { return r.exact(prefix); });
}

void HybridEngine::clear() {
  check_process();
  write_engine_.clear();
  if (store_) {
    (void)store_->publish_clear(update_channel_, follower_ != nullptr);
  } else {
    read_.load(std::memory_order_relaxed)->clear();
  }
}

std::uint64_t HybridEngine::len() const {
  return with_read([](const LocalEngine& r) { return r.len(); });
}

EngineStats HybridEngine::stats() const {
  return with_read([](const LocalEngine& r) { return r.stats(); });
}

// Bulk writes: each entry goes to the write engine and straight into the
// batch, which ships a chunk whenever one is full, so the local work of one
// chunk overlaps the server's work on the ones before it.
InsertResult HybridEngine::insert_many(std::vector<std::pair<IpPrefix, Metadata>> entries) {
  std::vector<IpPrefix> prefixes;
  std::vector<Metadata> records;
  prefixes.reserve(entries.size());
  records.reserve(entries.size());
  for (auto& [prefix, record] : entries) {
    prefixes.push_back(prefix);
    records.push_back(std::move(record));
  }
  std::size_t done = 0;
  return insert_many(prefixes.data(), records.data(), prefixes.size(), &done);
}

InsertResult HybridEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                       std::size_t* done) {
  std::vector<RecordRef> stored(n);
  for (std::size_t i = 0; i < n; ++i) stored[i] = RecordRef::intern(records[i]);
  return insert_records(prefixes, stored.data(), n, done);
}

InsertResult HybridEngine::insert_record(const IpPrefix& prefix, RecordRef record) {
  check_process();
  InsertResult written = write_engine_.insert_record(prefix, record);
  if (!written.ok()) return written;
  if (store_) {
    (void)store_->publish_set(update_channel_, store_field(prefix), to_json(record.view()));
  } else {
    (void)read_.load(std::memory_order_relaxed)->insert_record(prefix, std::move(record));
  }
  return InsertResult::success();
}

InsertResult HybridEngine::insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                          std::size_t* done) {
  check_process();
  std::vector<RecordRef> shares = shares_of(records, n);
  InsertResult written = write_engine_.insert_records(prefixes, shares.data(), n, done);
  if (!written.ok()) return written;
  if (store_) {
    StoreBatch batch(*store_, update_channel_);
    for (std::size_t i = 0; i < n; ++i) batch.set(store_field(prefixes[i]), to_json(records[i].view()));
    (void)batch.finish();
  } else {
    std::size_t read_done = 0;
    (void)read_.load(std::memory_order_relaxed)->insert_records(prefixes, records, n, &read_done);
  }
  *done = n;
  return InsertResult::success();
}

InsertResult HybridEngine::load_records(const IpPrefix*, RecordRef*, std::size_t, std::size_t* done) {
  *done = 0;
  throw std::logic_error("a HybridEngine is filled through its store");
}

void HybridEngine::list_entries(EntrySink& sink) const {
  with_read([&](const LocalEngine& r) { r.list_entries(sink); });
}

void HybridEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const {
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    with_read([&](const LocalEngine& r) { r.lookup_many(addresses + base, m, out + base); });
  }
}

void HybridEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found) const {
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    with_read([&](const LocalEngine& r) { r.contains_many(addresses + base, m, found + base); });
  }
}

void HybridEngine::lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found,
                                    BatchVisitor visit) const {
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    with_read([&](const LocalEngine& r) {
      r.lookup_many_with(addresses + base, m, found + base,
                         [&](std::size_t j, const RecordView& rec) { visit(base + j, rec); });
    });
  }
}

std::uint64_t HybridEngine::remove_many(const std::vector<IpPrefix>& prefixes) {
  check_process();
  std::optional<StoreBatch> batch;
  if (store_) batch.emplace(*store_, update_channel_);
  std::uint64_t held = 0;
  for (const IpPrefix& prefix : prefixes) {
    if (write_engine_.remove(prefix)) ++held;
    if (batch) {
      batch->del(store_field(prefix));
      if (has_host_bits(prefix)) batch->del(prefix_field(prefix));
    }
    else (void)read_.load(std::memory_order_relaxed)->remove(prefix);
  }
  if (batch) (void)batch->finish();
  return held;
}

std::optional<FollowStats> HybridEngine::follow_stats() const {
  if (!follower_) return std::nullopt;
  const FollowStatus s = follower_->status();
  return FollowStats{s.events_applied, s.events_skipped, sink_->fields_skipped(), s.resyncs, s.in_step, s.lag};
}

}  // namespace netrove
