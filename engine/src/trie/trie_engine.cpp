// TrieEngine: the trie algorithms under the writer lock and read sections,
// the read index beside them, the prefix count and the statistics.
//
// The trie is the structure of record; lookups are answered by the read
// index (index/read_index.hpp), which every write changes right after the
// trie, under the same writer lock, so the two agree once a write returned.
//
// Order of effects: insert = trie change, index change, prefix count (all
// under the writer lock), then `inserts` (an atomic add); remove likewise
// with `removals`; a bulk load, per chunk under one writer lock, the trie
// merge, the prefix count and the index change of the whole chunk
// (ReadIndex::insert_batch), then `inserts`.  Every write ends, outside its
// read section and its locks, by freeing what waits for a grace period when
// enough does (rcu::collect); clear frees the whole old tree before it
// returns.  A concurrent len() can therefore see a new count before stats()
// shows the new `inserts` / `removals`, never the reverse.
#include "trie/trie_engine.hpp"

#include <algorithm>

#include "sync/sidekick.hpp"
#include "trie/trie_bulk.hpp"
#include "trie/trie_compressed.hpp"
#include "trie/trie_entries.hpp"
#include "trie/trie_uncompressed.hpp"

namespace netrove {

namespace {

template <TrieForm F, class R>
using TrieOf = std::conditional_t<F == TrieForm::compressed, trie::CompressedTrie<R>, trie::UncompressedTrie<R>>;

/// Runs f.template operator()<Trie>() with Trie the algorithms of form F
/// over the layout of `kind`.
template <TrieForm F, class Fn>
decltype(auto) with_trie(NodeKind kind, Fn&& f) {
  return trie::with_layout(kind, [&](auto* tag) -> decltype(auto) {
    using R = std::remove_pointer_t<decltype(tag)>;
    return f.template operator()<TrieOf<F, R>>();
  });
}

/// Runs f.template operator()<Walk>() with Walk the entry walks over the
/// layout of `kind`.
template <class Fn>
decltype(auto) with_walk(NodeKind kind, Fn&& f) {
  return trie::with_layout(kind, [&](auto* tag) -> decltype(auto) {
    return f.template operator()<trie::EntryWalk<std::remove_pointer_t<decltype(tag)>>>();
  });
}

/// Lock-free attempts of a trie walk before it takes the writer lock.
constexpr int kWalkTries = 8;

}  // namespace

TrieEngine::TrieEngine(NodeKind kind) : TrieEngine(kind, std::make_shared<TrieRoots>(kind)) {}

TrieEngine::TrieEngine(NodeKind kind, std::shared_ptr<TrieRoots> roots)
    : stripes_(new Stripe[kStripes]), roots_(std::move(roots)), kind_(kind) {
  if (!roots_ || roots_->kind() != kind) panic("a trie engine's node kind must match its trie's");
}

TrieEngine::~TrieEngine() = default;

void TrieEngine::count_lookup(bool hit) const noexcept {
  const unsigned slot = counters::my_slot();
  Stripe& s = stripes_[slot];
  counters::add(hit ? s.hits : s.misses, 1, slot);
}

void TrieEngine::count_lookups(std::uint64_t hits, std::uint64_t misses) const noexcept {
  const unsigned slot = counters::my_slot();
  Stripe& s = stripes_[slot];
  if (hits) counters::add(s.hits, hits, slot);
  if (misses) counters::add(s.misses, misses, slot);
}

namespace {

/// A hold of `r` that outlives the caller's read section: a share of the
/// stored record, or an interned copy when its owners already reached zero
/// (it is being retired, and only readable until the section ends).  Read
/// section held.
HeldRecord hold(const trie::Record* r) { return RecordRef::share(RecordView(*r)); }

/// The positions j < m with recs[j] != null, in increasing order, into
/// `at`; returns how many.  By count, not by a branch per element: on
/// addresses outside the table a branch on "found" misses often.
std::size_t found_positions(const trie::Record* const* recs, std::size_t m, std::uint16_t* at) noexcept {
  std::size_t k = 0;
  for (std::size_t j = 0; j < m; ++j) {
    at[k] = static_cast<std::uint16_t>(j);
    k += recs[j] != nullptr;
  }
  return k;
}

}  // namespace

// The batch reads: per chunk of kReadChunk addresses one read section
// (grace periods wait at most for one chunk's walks), the read index's
// interleaved walks, then one counter update outside the section.
static_assert(TrieEngine::kReadChunk <= 65536, "chunk positions are 16-bit");

template <TrieForm F>
void TrieEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out, Tally tally) const {
  const trie::Record* found[kReadChunk];
  std::uint16_t at[kReadChunk];
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    std::size_t hits;
    {
      rcu::ReadSection rs;
      roots_->read_index().lookup_many(addresses + base, m, found);
      hits = found_positions(found, m, at);
      for (std::size_t t = 0; t < hits; ++t) out[base + at[t]] = hold(found[at[t]]);
    }
    if (tally == Tally::here) count_lookups(hits, m - hits);
  }
}

template <TrieForm F>
void TrieEngine::lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found, BatchVisitor visit,
                                  Tally tally, std::size_t first) const {
  const trie::Record* recs[kReadChunk];
  std::uint16_t at[kReadChunk];
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    std::size_t hits;
    {
      rcu::ReadSection rs;
      roots_->read_index().lookup_many(addresses + base, m, recs);  // the records prefetched
      for (std::size_t j = 0; j < m; ++j) found[base + j] = recs[j] != nullptr;
      hits = found_positions(recs, m, at);
      for (std::size_t t = 0; t < hits; ++t) visit(first + base + at[t], RecordView(*recs[at[t]]));
    }
    if (tally == Tally::here) count_lookups(hits, m - hits);
  }
}

template <TrieForm F>
void TrieEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found, Tally tally) const {
  for (std::size_t base = 0; base < n; base += kReadChunk) {
    const std::size_t m = std::min(kReadChunk, n - base);
    {
      rcu::ReadSection rs;
      roots_->read_index().contains_many(addresses + base, m, found + base);
    }
    if (tally == Tally::here) {
      const auto hits = static_cast<std::uint64_t>(std::count(found + base, found + base + m, true));
      count_lookups(hits, m - hits);
    }
  }
}

template <TrieForm F>
InsertResult TrieEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n) {
  std::vector<RecordRef> stored(n);
  for (std::size_t i = 0; i < n; ++i) stored[i] = RecordRef::intern(records[i]);
  bulk_load<F>(prefixes, stored.data(), n, true);
  return InsertResult::success();
}

template <TrieForm F>
void TrieEngine::bulk_load(const IpPrefix* prefixes, RecordRef* records, std::size_t n, bool count) {
  // 1. Keys in the trie's key space, sorted; duplicates dropped.
  ScratchVector<trie::BulkItem> items;
  items.reserve(n);  // not resized: each item is written once, below
  trie::BulkOrder order;
  trie::BulkItem prev{};
  for (std::size_t i = 0; i < n; ++i) {
    NETROVE_ASSERT(records[i]);
    const trie::PrefixKey k =
        F == TrieForm::compressed ? trie::compressed_key(prefixes[i]) : trie::uncompressed_key(prefixes[i]);
    const trie::BulkItem x{k.key, static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(k.length),
                           static_cast<std::uint8_t>(trie::family_index(prefixes[i].family)), records[i].get()};
    if (i != 0) order.next(prev, x);
    items.push_back(prev = x);
  }
  const std::size_t kept = trie::bulk_sort(items, records, order);
  // 2. Chunk by chunk: the trie and the count here, the index beside it
  // on a second thread when there is more than one chunk (sidekick.hpp).
  std::vector<index::ReadIndex::BatchItem> batch;
  const std::size_t chunk = bulk_chunk_;
  batch.reserve(std::min(kept, chunk));  // resized per chunk, never beyond
  Sidekick side(kept > chunk);
  for (std::size_t base = 0; base < kept; base += chunk) {
    const std::size_t m = std::min(chunk, kept - base);
    const trie::BulkItem* chunk = items.data() + base;
    {
      TrieRoots::Writing writer(*roots_, TrieRoots::Writing::other);
      rcu::ReadSection rs;
      // The index's batch is made on its own side, from the items alone:
      // the trie's side empties records[] meanwhile.  A record the index
      // shares is alive throughout, held by records[] or by the trie.
      side.start([&] {
        batch.resize(m);
        for (std::size_t j = 0; j < m; ++j) {
          batch[j].prefix = prefixes[chunk[j].order];
          batch[j].rec = chunk[j].rec;
        }
        rcu::ReadSection side_rs;
        roots_->read_index().insert_batch(batch.data(), m);
      });
      // Should the trie's part throw, the index's part ends before the
      // writer lock is let go.
      Sidekick::Join join(side);
      const std::size_t fresh = trie::with_layout(kind_, [&](auto* tag) {
        trie::BulkLoad<std::remove_pointer_t<decltype(tag)>> load{*roots_, prefixes, records};
        for (const trie::BulkItem* b = chunk; b != chunk + m;) {
          const trie::BulkItem* e = b;
          while (e != chunk + m && e->fam == b->fam) ++e;
          if constexpr (F == TrieForm::compressed) load.compressed(b->fam, b, e);
          else load.uncompressed(b->fam, b, e);
          b = e;
        }
        return load.fresh;
      });
      roots_->count.fetch_add(fresh, std::memory_order_relaxed);
      side.wait();
    }
    rcu::collect();
    if (count) inserts_.fetch_add(m + (base + m == kept ? n - kept : 0), std::memory_order_relaxed);
  }
  if (count && kept == 0 && n != 0) inserts_.fetch_add(n, std::memory_order_relaxed);
}

template <TrieForm F>
InsertResult TrieEngine::load_shared(const IpPrefix& prefix, RecordRef record) {
  NETROVE_ASSERT(record);
  std::unique_ptr<trie::Record> rec(record.release());  // one share, released if unused
  trie::Record* const stored = rec.get();
  {
    TrieRoots::Writing writer(*roots_, TrieRoots::Writing::single_insert);
    rcu::ReadSection rs;
    const bool fresh =
        with_trie<F>(kind_, [&]<class Trie>() { return Trie::insert(*roots_, prefix, rec); });
    NETROVE_ASSERT(rec == nullptr);  // the trie took the record over
    roots_->read_index().insert(prefix, stored);
    if (fresh) roots_->count.fetch_add(1, std::memory_order_relaxed);
  }
  rcu::collect();
  return InsertResult::success();
}

template <TrieForm F>
InsertResult TrieEngine::insert(const IpPrefix& prefix, Metadata record) {
  return insert_shared<F>(prefix, RecordRef::intern(record));
}

template <TrieForm F>
InsertResult TrieEngine::insert_shared(const IpPrefix& prefix, RecordRef record) {
  InsertResult r = load_shared<F>(prefix, std::move(record));
  inserts_.fetch_add(1, std::memory_order_relaxed);
  return r;
}

template <TrieForm F>
std::optional<Metadata> TrieEngine::lookup(const IpAddress& address) const {
  std::optional<Metadata> out;
  {
    rcu::ReadSection rs;
    const trie::Record* r = roots_->read_index().lookup(address);
    if (r) out.emplace(RecordView(*r).to_metadata());
  }
  count_lookup(out.has_value());
  return out;
}

template <TrieForm F>
bool TrieEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  // The record stays valid until the read section ends: a remover or a
  // replacing insert frees it only after a grace period.
  rcu::ReadSection rs;
  const trie::Record* r = roots_->read_index().lookup(address);
  count_lookup(r != nullptr);
  if (r && visit) visit(RecordView(*r));
  return r != nullptr;
}

template <TrieForm F>
std::optional<Metadata> TrieEngine::remove(const IpPrefix& prefix) {
  const RecordRef taken = take<F>(prefix);
  if (!taken) return std::nullopt;
  return taken.view().to_metadata();
}

template <TrieForm F>
RecordRef TrieEngine::take(const IpPrefix& prefix) {
  trie::Record* taken;
  {
    TrieRoots::Writing writer(*roots_, TrieRoots::Writing::other);
    rcu::ReadSection rs;
    taken = with_trie<F>(kind_, [&]<class Trie>() { return Trie::remove(*roots_, prefix); });
    if (taken) {
      [[maybe_unused]] const bool indexed = roots_->read_index().remove(prefix);
      NETROVE_ASSERT(indexed);
      roots_->count.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  if (!taken) return {};
  rcu::collect();
  removals_.fetch_add(1, std::memory_order_relaxed);
  return RecordRef::adopt(taken);
}

// A walk beside writers, by the read-side rule of trie_compressed.hpp: a
// few lock-free tries, then one under the writer lock, so that a stream of
// edge splits cannot starve it.  `walk` runs inside a read section, may run
// several times and starts from scratch each time; its result must not
// point into the trie (copy what it found before returning).
template <class W>
auto TrieEngine::walk_stably(W&& walk) const {
  {
    rcu::ReadSection rs;
    if (auto r = roots_->stable_walk(walk, kWalkTries)) return std::move(*r);
  }
  TrieRoots::Writing writer(*roots_, TrieRoots::Writing::other);
  rcu::ReadSection rs;
  return walk();
}

template <TrieForm F>
bool TrieEngine::contains_prefix(const IpPrefix& prefix) const {
  return walk_stably([&] { return with_trie<F>(kind_, [&]<class Trie>() { return Trie::contains(*roots_, prefix); }); });
}

// The enumerations share the records they found before the read section
// ends; the walks themselves are in trie_entries.hpp.
namespace {

std::vector<Entry> shared(const std::vector<trie::FoundEntry>& found) {
  std::vector<Entry> out;
  out.reserve(found.size());
  for (const trie::FoundEntry& f : found) out.push_back(Entry{f.prefix, hold(f.record)});
  return out;
}

}  // namespace

std::vector<Entry> TrieEngine::covering(const IpAddress& address, std::size_t limit) const {
  return walk_stably([&] {
    std::vector<trie::FoundEntry> found;
    with_walk(kind_, [&]<class Walk>() { Walk::covering(*roots_, address, found); });
    keep_longest_first(found, limit);
    return shared(found);
  });
}

std::vector<Entry> TrieEngine::covered(const IpPrefix& prefix) const {
  return walk_stably([&] {
    std::vector<trie::FoundEntry> found;
    with_walk(kind_, [&]<class Walk>() { Walk::covered(*roots_, prefix, found); });
    return shared(found);
  });
}

HeldRecord TrieEngine::exact(const IpPrefix& prefix) const {
  return walk_stably([&] {
    const trie::Record* r = with_walk(kind_, [&]<class Walk>() { return Walk::exact(*roots_, prefix); });
    return r ? hold(r) : HeldRecord();
  });
}

void TrieEngine::list_entries(EntrySink& sink) const {
  for (const std::uint8_t family : {kIpv4, kIpv6}) {
    walk_stably([&] {
      sink.begin(family);
      with_walk(kind_, [&]<class Walk>() {
        Walk::each_inside(*roots_, IpPrefix{family, {}, 0},
                          [&](const IpPrefix& p, const trie::Record* r) { sink.put(p, RecordView(*r)); });
      });
      return true;
    });
  }
}

template <TrieForm F>
void TrieEngine::clear() {
  {
    TrieRoots::Writing writer(*roots_, TrieRoots::Writing::other);
    rcu::ReadSection rs;
    with_trie<F>(kind_, [&]<class Trie>() { Trie::clear(*roots_); });
    roots_->read_index().clear();
    roots_->count.store(0, std::memory_order_relaxed);
  }
  rcu::drain();
}

std::uint64_t TrieEngine::len() const noexcept { return roots_->count.load(std::memory_order_relaxed); }

EngineStats TrieEngine::stats() const {
  EngineStats s;
  s.inserts = inserts_.load(std::memory_order_relaxed);
  s.removals = removals_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < kStripes; ++i) {
    s.hits += stripes_[i].hits.load(std::memory_order_relaxed);
    s.misses += stripes_[i].misses.load(std::memory_order_relaxed);
  }
  s.lookups = s.hits + s.misses;
  s.size = len();
  return s;
}

#define NETROVE_INSTANTIATE(F)                                                     \
  template InsertResult TrieEngine::insert<F>(const IpPrefix&, Metadata);          \
  template InsertResult TrieEngine::insert_shared<F>(const IpPrefix&, RecordRef);  \
  template InsertResult TrieEngine::load_shared<F>(const IpPrefix&, RecordRef);    \
  template RecordRef TrieEngine::take<F>(const IpPrefix&);                         \
  template std::optional<Metadata> TrieEngine::lookup<F>(const IpAddress&) const;  \
  template bool TrieEngine::lookup_with<F>(const IpAddress&, RecordVisitor) const; \
  template std::optional<Metadata> TrieEngine::remove<F>(const IpPrefix&);         \
  template bool TrieEngine::contains_prefix<F>(const IpPrefix&) const;             \
  template void TrieEngine::clear<F>();                                             \
  template void TrieEngine::lookup_many<F>(const IpAddress*, std::size_t, HeldRecord*, Tally) const; \
  template void TrieEngine::contains_many<F>(const IpAddress*, std::size_t, bool*, Tally) const;     \
  template void TrieEngine::lookup_many_with<F>(const IpAddress*, std::size_t, bool*, BatchVisitor, Tally, std::size_t) const; \
  template InsertResult TrieEngine::insert_many<F>(const IpPrefix*, Metadata*, std::size_t);            \
  template void TrieEngine::bulk_load<F>(const IpPrefix*, RecordRef*, std::size_t, bool);
NETROVE_INSTANTIATE(TrieForm::compressed)
NETROVE_INSTANTIATE(TrieForm::uncompressed)
#undef NETROVE_INSTANTIATE

}  // namespace netrove
