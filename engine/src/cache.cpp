// CachedEngine: a bounded map of lookup answers in front of another engine.
//
//                 lookup(a)                      insert(p) / remove(p) / clear()
//                    |                                     |
//          +---------v----------+                          |
//          | read lock: map[a]? |--hit--> copy, return     |
//          +---------+----------+                          |
//               miss | g := generation                     |
//                    v                                     v
//          +--------------------+              +------------------------+
//          | inner.lookup(a)    |  no cache    | inner.insert / remove  |
//          | (no cache lock)    |  lock held   | (no cache lock)        |
//          +---------+----------+              +-----------+------------+
//                    v                                     v
//          +--------------------+              +------------------------+
//          | write lock:        |              | write lock:            |
//          |  g == generation ? |              |  drop map entries in p |
//          |   evict one, store |              |  ++generation          |
//          +--------------------+              +------------------------+
//
// The map is keyed by the exact address looked up and holds the inner
// engine's answer, "no match" included.  Only the answers of addresses inside
// a changed prefix can change when that prefix is inserted or removed, so an
// invalidation drops exactly those (IpPrefix::contains, family included) and
// keeps the others.  Capacity is enforced on the miss path: at capacity one
// entry goes, with no recency or frequency bookkeeping: the first entry in
// bucket order at or after a hand that sweeps the buckets.  (Not the first
// entry of the map's own iteration order: the standard library links a node
// stored into an empty bucket at the front of that order, so evicting
// begin() mostly threw out the answer stored by the previous miss, and a
// full cache froze with its first working set.)  With a load factor near 1
// the scan stops after a bucket or two.  Answers never expire; the ttl is
// only kept.
//
// The generation rule.  The inner engine is never called with the cache lock
// held (its own locks must not nest inside ours), so a miss works in three
// steps: probe, ask the inner engine unlocked, store.  A write that completes
// between the second and the third step has already run its invalidation, so
// the answer the miss is about to store may predate it and would otherwise
// stay cached until the next write covering the address.  Every invalidation
// therefore bumps `generation_` under the write lock, the miss reads it under
// the same read lock as its probe, and it stores only if the generation is
// unchanged when it takes the write lock.  If it changed, some write finished
// in between: the answer is still returned to this caller (it was current at
// some moment during the call) but not kept.  The check is deliberately
// global rather than per prefix: it costs one integer compare, and a miss
// that loses the race merely goes uncached.
//
// Case list for lookup, numbers used in the code:
//   1. Hit: copy the cached answer under the read lock.
//   2. Miss: note the generation, release, ask the inner engine.
//   3. Generation moved: return the answer without storing it.
//   4. At capacity (and not empty): evict one entry (evict_one).
//   5. Store (or replace) the answer.
// lookup_with takes the same steps and lends instead of copying: the cached
// answer under the read lock (1), the answer stored in the map under the
// write lock (5), or its own copy of the inner answer (3).
#include "netrove/cache.hpp"

#include <sys/random.h>

#include <cstring>
#include <random>

#include "netrove/panic.hpp"

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

// A fresh seed per map: a per-thread key drawn once from the kernel, advanced
// by one for every new map, then mixed.  Touches no shared state.
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

}  // namespace

std::size_t SeededAddressHash::operator()(const IpAddress& a) const noexcept {
  std::uint64_t hi, lo;
  std::memcpy(&hi, a.bytes.data(), 8);
  std::memcpy(&lo, a.bytes.data() + 8, 8);
  std::uint64_t h = mix64(seed ^ hi);
  h = mix64(h ^ lo ^ (static_cast<std::uint64_t>(a.family) << 56));
  return static_cast<std::size_t>(h);
}

CachedEngine::CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner)
    : ttl_(ttl), capacity_(capacity), inner_(std::move(inner)), map_(0, SeededAddressHash{fresh_seed()}) {
  if (!inner_) panic("CachedEngine needs an inner engine");
}

CachedEngine::~CachedEngine() = default;

InsertResult CachedEngine::insert(const IpPrefix& prefix, Metadata record) {
  InsertResult r = inner_->insert(prefix, std::move(record));
  if (r.ok()) invalidate(prefix);
  return r;
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  std::uint64_t seen;
  {
    PoisonSharedMutex::ReadGuard g(lock_);
    if (auto it = map_.find(address); it != map_.end()) return it->second;  // 1
    seen = generation_;                                                      // 2
  }
  std::optional<Metadata> answer = inner_->lookup(address);
  PoisonSharedMutex::WriteGuard g(lock_);
  if (generation_ != seen) return answer;  // 3
  if (map_.size() >= capacity_ && !map_.empty()) {
    if (auto it = map_.find(address); it != map_.end()) {
      it->second = answer;  // 5: another miss stored it meanwhile; replace
      return answer;
    }
    evict_one();  // 4
  }
  map_.insert_or_assign(address, answer);  // 5
  return answer;
}

bool CachedEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  std::uint64_t seen;
  {
    PoisonSharedMutex::ReadGuard g(lock_);
    if (auto it = map_.find(address); it != map_.end()) {  // 1
      if (it->second && visit) visit(*it->second);
      return it->second.has_value();
    }
    seen = generation_;  // 2
  }
  std::optional<Metadata> answer = inner_->lookup(address);
  const bool found = answer.has_value();
  PoisonSharedMutex::WriteGuard g(lock_);
  if (generation_ != seen) {  // 3
    if (found && visit) visit(*answer);
    return found;
  }
  const std::optional<Metadata>* stored;
  if (map_.size() >= capacity_ && !map_.empty()) {
    if (auto it = map_.find(address); it != map_.end()) {
      it->second = std::move(answer);  // 5: another miss stored it meanwhile; replace
      stored = &it->second;
    } else {
      evict_one();  // 4
      stored = &map_.insert_or_assign(address, std::move(answer)).first->second;  // 5
    }
  } else {
    stored = &map_.insert_or_assign(address, std::move(answer)).first->second;  // 5
  }
  if (found && visit) visit(**stored);
  return found;
}

void CachedEngine::evict_one() const {
  // A hand sweeps the buckets: the first entry at or after it goes, and the
  // hand moves past that bucket.  Each entry is passed once per sweep
  // whatever its use, and a new answer is not the next one to go.
  const std::size_t n = map_.bucket_count();
  for (std::size_t i = 0, b = hand_ % n; i < n; ++i, b = b + 1 == n ? 0 : b + 1) {
    if (map_.begin(b) != map_.end(b)) {
      map_.erase(map_.begin(b)->first);
      hand_ = b + 1;
      return;
    }
  }
  NETROVE_ASSERT(false);  // callers evict only from a non-empty map
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) {
  std::optional<Metadata> r = inner_->remove(prefix);
  invalidate(prefix);
  return r;
}

bool CachedEngine::contains_prefix(const IpPrefix& prefix) const { return inner_->contains_prefix(prefix); }

void CachedEngine::clear() {
  inner_->clear();
  PoisonSharedMutex::WriteGuard g(lock_);
  map_.clear();  // keeps the bucket array for reuse
  ++generation_;
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return map_.size();
}

bool CachedEngine::is_cached(const IpAddress& address) const {
  PoisonSharedMutex::ReadGuard g(lock_);
  return map_.contains(address);
}

void CachedEngine::invalidate(const IpPrefix& prefix) {
  PoisonSharedMutex::WriteGuard g(lock_);
  for (auto it = map_.begin(); it != map_.end();) {
    if (prefix.contains(it->first)) it = map_.erase(it);
    else ++it;
  }
  ++generation_;
}

}  // namespace netrove
