// CachedEngine: the answer table (answer_table.hpp) in front of another
// engine, and the rule that keeps its answers no older than the writes.
//
// Case list for lookup, numbers used in the code:
//   1. Hit: inside a read section, hash once and find the address in the
//      table; lend (or copy) its answer.  No lock, no store.
//   2. Miss: note the generation, ask the inner engine with no cache lock
//      (still inside the read section, which keeps the answer readable).
//   3. Under the table lock: a write is under way, or one ended since the
//      miss began (the write rule below), so the answer is returned but not
//      kept.
//   4. Otherwise the table stores it (AnswerTable::store: in place of an
//      answer another miss stored, in a free slot, or evicting one entry
//      when the cache is full).
// The batch calls take the same steps per chunk: 1 for every address, 2 for
// the distinct misses in one inner batch call, 3 and 4 under one lock hold.
//
// The write rule.  A write (insert, remove, load, clear and their batch
// forms) runs in three steps:
//
//   1. under the table lock: writing_ + 1, and drop every entry inside its
//      prefixes (all entries for clear);
//   2. the inner write, with no cache lock held (the inner engine's locks
//      never nest inside ours);
//   3. generation_ + 1, then writing_ - 1.
//
// A miss notes the generation before it asks the inner engine and stores,
// under the table lock, only when no write is under way and the generation
// is the one it noted (may_store).  So a miss whose answer may predate a
// write W either stores before W's step 1 (which then drops it), or finds W
// under way or its generation step, and does not store: once a write has
// returned, no entry older than it is found.  The check is global rather
// than per prefix: two integer compares, and a miss that loses the race
// merely goes uncached.
//
// Dropping first also keeps every cached answer alive without owning it:
// the table holds the inner engine's stored record itself, and that record
// can be retired only by a write to a prefix that contains the cached
// address (the prefix whose record it is), which drops the entry before it
// changes anything.  A record is freed a grace period after it is retired,
// so a reader that found it before the drop reads it to the end of its
// read section.  (An inner batch lookup hands out an interned copy instead
// of a share only for a record already retired, i.e. beside a write: that
// miss does not store.)  This needs every write of the inner engine to come
// through the cache.  Answers never expire; the ttl is only kept.
#include "cache/cache.hpp"

#include <sys/random.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "sync/panic.hpp"
#include "sync/rcu.hpp"

namespace netrove {

namespace {

std::uint64_t mix64(std::uint64_t x) noexcept {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// A fresh seed per cache: a per-thread key drawn once from the kernel,
// advanced by one for every new cache, then mixed.  Touches no shared state.
std::uint64_t fresh_seed() noexcept {
  thread_local std::uint64_t key = [] {
    std::uint64_t k = 0;
    if (getrandom(&k, sizeof k, 0) != static_cast<ssize_t>(sizeof k)) {
      k = static_cast<std::uint64_t>(std::random_device{}()) << 32 ^ std::random_device{}();
    }
    return k;
  }();
  return mix64(++key);
}

constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 20;

}  // namespace

CachedEngine::CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner)
    : ttl_(ttl),
      capacity_(capacity),
      inner_(std::move(inner)),
      inner_lender_(dynamic_cast<const RecordLender*>(inner_.get())),
      inner_eraser_(dynamic_cast<EntryEraser*>(inner_.get())),
      inner_batch_lender_(dynamic_cast<const BatchLender*>(inner_.get())),
      inner_writer_(dynamic_cast<RecordWriter*>(inner_.get())),
      table_(static_cast<std::size_t>(std::clamp<std::uint64_t>(capacity, 1, kMaxEntries)), fresh_seed(),
             inner_lender_ == nullptr) {
  if (!inner_) panic("CachedEngine needs an inner engine");
}

// An owning table releases its answers' shares; they retire and are freed
// by a later collect.
CachedEngine::~CachedEngine() = default;

const StoredRecord* CachedEngine::ask_inner(const IpAddress& address, RecordRef& owned) const {
  if (inner_lender_) {
    // The stored record itself: the caller's read section keeps it readable
    // after the visit, and no write can retire it before the store (the
    // generation check) or while it is cached (writes drop first).
    const StoredRecord* found = nullptr;
    inner_lender_->lookup_with(address, [&](const RecordView& v) noexcept { found = &v.stored(); });
    return found;
  }
  // Any other engine's copy is interned; the table owns that share.
  if (std::optional<Metadata> m = inner_->lookup(address)) owned = RecordRef::intern(*m);
  return owned.get();
}

bool CachedEngine::may_store(std::uint64_t seen) const noexcept {
  // writing_ first: seeing a writer's decrement makes its generation step
  // (made before it) visible too.
  return writing_.load(std::memory_order_acquire) == 0 && generation_.load(std::memory_order_acquire) == seen;
}

template <class Use>
bool CachedEngine::answer(const IpAddress& address, bool reads, Use&& use) const {
  const std::size_t h = table_.hash(address);
  rcu::ReadSection rs;  // keeps every answer found below readable
  const cache::AnswerTable::Found f = table_.find(address, h);
  if (f.hit) {  // 1
    use(f.answer);
    return f.answer != nullptr;
  }
  // 2. Note the generation, ask the inner engine with no cache lock held.
  table_.prepare(address, f.end);
  const std::uint64_t seen = generation_.load(std::memory_order_acquire);
  RecordRef owned;
  const StoredRecord* got = ask_inner(address, owned);
  // A caller that reads the record reads it last: its line comes in
  // during the store.
  if (got && reads) __builtin_prefetch(got);
  {
    std::lock_guard g(mu_);
    if (may_store(seen)) table_.store(address, h, owned ? owned.release() : got);  // 4
    // 3: a write began or ended meanwhile: not kept
  }
  use(got);  // still inside the read section
  return got != nullptr;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  std::optional<Metadata> out;
  answer(address, true, [&](const StoredRecord* a) {
    if (a) out = RecordView(*a).to_metadata();
  });
  rcu::collect();
  return out;
}

bool CachedEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  const bool found = answer(address, static_cast<bool>(visit), [&](const StoredRecord* a) {
    if (a && visit) visit(RecordView(*a));
  });
  rcu::collect();
  return found;
}

template <class Use>
void CachedEngine::many(const IpAddress* addresses, std::size_t n, Use&& use) const {
  // Per chunk: the hash of each address; the misses (positions in the chunk)
  // in order of first appearance; for each position a repeat of an earlier
  // miss, that miss's number, else kFirst.  Repeats are found through a
  // small open-addressed set of miss numbers keyed by the hash.
  constexpr std::uint16_t kFirst = 0xFFFF, kFree = 0xFFFF;
  constexpr std::size_t kSet = 2 * kChunk;
  std::size_t hashes[kChunk];
  std::uint16_t miss_at[kChunk], repeat_of[kChunk], set[kSet];
  std::uint32_t ends[kChunk];
  IpAddress asked[kChunk];
  const StoredRecord* answers[kChunk];  // per position: the answer, null for none
  const StoredRecord* got[kChunk];      // per miss: the inner answer
  bool found_miss[kChunk];
  HeldRecord owned[kChunk];  // per miss, an inner engine that cannot lend: its copies
  for (std::size_t base = 0; base < n; base += kChunk) {
    const IpAddress* a = addresses + base;
    const std::size_t m = std::min(kChunk, n - base);
    std::size_t misses = 0;
    bool repeats = false;
    // One read section for the chunk: every answer found, cached or the
    // inner engine's, stays readable until `use` has seen it.
    rcu::ReadSection rs;
    for (std::size_t i = 0; i < m; ++i) table_.prefetch(hashes[i] = table_.hash(a[i]));
    for (std::size_t i = 0; i < m; ++i) {
      repeat_of[i] = kFirst;
      const cache::AnswerTable::Found f = table_.find(a[i], hashes[i]);  // 1
      if (f.hit) {
        answers[i] = f.answer;
        continue;
      }
      if (misses == 0) std::fill_n(set, kSet, kFree);
      std::size_t s = hashes[i] & (kSet - 1);
      while (set[s] != kFree && !(asked[set[s]] == a[i])) s = (s + 1) & (kSet - 1);
      if (set[s] != kFree) {
        repeat_of[i] = set[s];
        repeats = true;
        continue;
      }
      set[s] = static_cast<std::uint16_t>(misses);
      asked[misses] = a[i];
      ends[misses] = f.end;
      miss_at[misses++] = static_cast<std::uint16_t>(i);
    }
    if (misses != 0) {
      // 2. The distinct misses in one inner batch call, no cache lock held:
      // lent records where the inner engine lends them (the chunk's read
      // section keeps them), else shares of its copies.
      const std::uint64_t seen = generation_.load(std::memory_order_acquire);
      if (inner_batch_lender_) {
        inner_batch_lender_->lookup_many_with(asked, misses, found_miss, [&](std::size_t k, const RecordView& r) noexcept {
          got[k] = &r.stored();
        });
        for (std::size_t k = 0; k < misses; ++k)
          if (!found_miss[k]) got[k] = nullptr;
      } else {
        netrove::lookup_many(*inner_, asked, misses, owned);
        for (std::size_t k = 0; k < misses; ++k) got[k] = owned[k].get();
      }
      {
        std::lock_guard g(mu_);
        if (may_store(seen)) {  // else 3: not kept
          // What each store writes is loaded kAhead stores before it.
          constexpr std::size_t kAhead = 8;
          for (std::size_t k = 0; k < std::min(kAhead, misses); ++k) table_.prepare(asked[k], ends[k]);
          for (std::size_t k = 0; k < misses; ++k) {
            if (k + kAhead < misses) table_.prepare(asked[k + kAhead], ends[k + kAhead]);
            const StoredRecord* r = got[k];
            table_.store(asked[k], hashes[miss_at[k]], table_.owning() && r ? HeldRecord(owned[k]).release() : r);  // 4
          }
        }
      }
      for (std::size_t k = 0; k < misses; ++k) answers[miss_at[k]] = got[k];
      if (repeats)
        for (std::size_t i = 0; i < m; ++i)
          if (repeat_of[i] != kFirst) answers[i] = answers[miss_at[repeat_of[i]]];
    }
    for (std::size_t i = 0; i < m; ++i) use(base + i, answers[i]);
    for (std::size_t k = 0; k < misses && !inner_batch_lender_; ++k) owned[k] = HeldRecord();
  }
  rcu::collect();
}

void CachedEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const {
  many(addresses, n, [out](std::size_t i, const StoredRecord* r) {
    if (r) out[i] = RecordRef::share(RecordView(*r));
  });
}

void CachedEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found) const {
  many(addresses, n, [found](std::size_t i, const StoredRecord* r) { found[i] = r != nullptr; });
}

void CachedEngine::lookup_many_with(const IpAddress* addresses, std::size_t n, bool* found,
                                    BatchVisitor visit) const {
  many(addresses, n, [&](std::size_t i, const StoredRecord* r) {
    found[i] = r != nullptr;
    if (r) visit(i, RecordView(*r));
  });
}

InsertResult CachedEngine::insert(const IpPrefix& prefix, Metadata record) {
  Writing w(*this, &prefix, 1);
  return inner_->insert(prefix, std::move(record));
}

InsertResult CachedEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                       std::size_t* done) {
  Writing w(*this, prefixes, n);
  return netrove::insert_many(*inner_, prefixes, records, n, done);
}

InsertResult CachedEngine::insert_record(const IpPrefix& prefix, RecordRef record) {
  Writing w(*this, &prefix, 1);
  // The inner engine's writing side, found once (a cross cast per insert
  // cost as much as the cache's own work).
  return inner_writer_ ? inner_writer_->insert_record(prefix, std::move(record))
                       : inner_->insert(prefix, record.view().to_metadata());
}

InsertResult CachedEngine::insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                          std::size_t* done) {
  Writing w(*this, prefixes, n);
  return netrove::insert_records(*inner_, prefixes, records, n, done);
}

InsertResult CachedEngine::load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                        std::size_t* done) {
  Writing w(*this, prefixes, n);
  return netrove::load_records(*inner_, prefixes, records, n, done);
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) {
  Writing w(*this, &prefix, 1);
  return inner_->remove(prefix);
}

bool CachedEngine::erase(const IpPrefix& prefix) {
  Writing w(*this, &prefix, 1);
  return inner_eraser_ ? inner_eraser_->erase(prefix) : inner_->remove(prefix).has_value();
}

bool CachedEngine::contains_prefix(const IpPrefix& prefix) const { return inner_->contains_prefix(prefix); }

const EntryReader& CachedEngine::inner_reader() const {
  const auto* r = dynamic_cast<const EntryReader*>(inner_.get());
  if (!r) panic("the inner engine enumerates no entries");
  return *r;
}

std::vector<netrove::Entry> CachedEngine::covering(const IpAddress& address, std::size_t limit) const {
  return inner_reader().covering(address, limit);
}

std::vector<netrove::Entry> CachedEngine::covered(const IpPrefix& prefix) const { return inner_reader().covered(prefix); }

HeldRecord CachedEngine::exact(const IpPrefix& prefix) const { return inner_reader().exact(prefix); }

void CachedEngine::list_entries(EntrySink& sink) const {
  const auto* lister = dynamic_cast<const EntryLister*>(inner_.get());
  if (!lister) panic("the inner engine lists no entries");
  lister->list_entries(sink);
}

InsertResult CachedEngine::load(const IpPrefix& prefix, Metadata record) {
  auto* loader = dynamic_cast<EntryLoader*>(inner_.get());
  if (!loader) panic("the inner engine cannot load entries");
  Writing w(*this, &prefix, 1);
  return loader->load(prefix, std::move(record));
}

void CachedEngine::clear() {
  Writing w(*this, nullptr, 0);
  inner_->clear();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const {
  std::lock_guard g(mu_);
  return table_.size();
}

bool CachedEngine::is_cached(const IpAddress& address) const {
  std::lock_guard g(mu_);
  return table_.holds(address, table_.hash(address));
}

bool CachedEngine::consistent() const {
  std::lock_guard g(mu_);
  return table_.consistent();
}

CachedEngine::Writing::Writing(const CachedEngine& c, const IpPrefix* prefixes, std::size_t n) : c_(c) {
  std::lock_guard g(c_.mu_);
  c_.writing_.fetch_add(1, std::memory_order_relaxed);  // ordered by the lock for the stores
  if (!prefixes) {
    c_.table_.drop_all();
    return;
  }
  for (std::size_t i = 0; i < n && c_.table_.size() != 0; ++i) c_.table_.drop_inside(prefixes[i]);
}

CachedEngine::Writing::~Writing() {
  // The generation step first, then the end of the write (see may_store).
  c_.generation_.fetch_add(1, std::memory_order_release);
  c_.writing_.fetch_sub(1, std::memory_order_release);
  rcu::collect();
}

}  // namespace netrove
