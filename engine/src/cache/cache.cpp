// CachedEngine: a bounded table of lookup answers in front of another engine.
//
//   slots (a power of two, at least twice the entries kept; linear probing)
//   +------+------+------+------+------+------+------+------+
//   |  E1  |  --  |  E2  |  E3  |  E4  |  --  |  --  |  E5  |   E = answer entry
//   +------+------+------+------+------+------+------+------+   -- = empty
//      ^ home(E1)    ^ home(E2) = home(E3): E3 probed on
//
// Each slot is one published pointer to an immutable entry (address, its
// hash, a share of the inner engine's stored record or "no match").  Only
// the answers of addresses inside a changed prefix can change when that
// prefix is inserted or removed, so an invalidation drops exactly those
// (IpPrefix::contains, family included) and keeps the others.  It finds
// them as one range of the ordered index (cache.hpp): the addresses from
// the prefix's network with every later bit clear to the same with every
// later bit set, which are exactly the addresses of its family whose
// leading bits are the prefix's.  So a write costs O(log n + k) for k
// dropped answers instead of a pass over every slot.
//
// Case list for lookup, numbers used in the code:
//   1. Hit: inside a read section, hash once and probe from the home slot
//      to the entry or the first empty slot; lend (or copy) its answer.  No
//      lock, no shared write.
//   2. Miss: note the generation, ask the inner engine with no cache lock.
//   3. Under the table lock: the generation moved (a write completed its
//      invalidation meanwhile), so the answer is returned but not kept.
//   4. At the limit: evict the first entry at or after a hand that sweeps
//      the slots, and move the hand past it, so a full cache takes in a new
//      working set and a new answer is not the next one to go.
//   5. Store the answer entry (or replace the one another miss stored),
//      and enter it in the ordered index.
//
// The generation rule (no answer older than the last covering write).  The
// inner engine is never called with the table lock held (its own locks must
// not nest inside ours).  A write changes the inner engine first, then under
// the table lock drops every entry inside its prefix and bumps the
// generation.  A miss whose inner answer may predate some write W either
// stores before W's invalidation (which then drops it) or after it, when it
// finds the generation moved and does not store.  So once a write has
// returned, no entry older than it is found.  The check is global rather
// than per prefix: one integer compare, and a miss that loses the race
// merely goes uncached.

// Removal is by backward shift (no tombstones): later entries of the probe
// run move up into the hole.  A reader racing with a shift may miss an
// entry that is being moved (it then asks the inner engine, which is a
// correct, slower answer) but never sees a wrong one: entries are immutable
// and are freed only after a grace period (rcu::retire).  Answers never
// expire; the ttl is only kept.
#include "cache/cache.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <unordered_set>

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

namespace {

constexpr std::size_t kMaxEntries = std::size_t{1} << 20;

std::size_t slots_for(std::size_t limit) noexcept {
  std::size_t n = 2;
  while (n < 2 * limit) n <<= 1;
  return n;
}

}  // namespace

CachedEngine::CachedEngine(std::optional<std::uint64_t> ttl, std::uint64_t capacity, std::shared_ptr<Engine> inner)
    : ttl_(ttl),
      capacity_(capacity),
      inner_(std::move(inner)),
      inner_lender_(dynamic_cast<const RecordLender*>(inner_.get())),
      inner_eraser_(dynamic_cast<EntryEraser*>(inner_.get())),
      inner_writer_(dynamic_cast<RecordWriter*>(inner_.get())),
      hash_{fresh_seed()},
      limit_(static_cast<std::size_t>(std::clamp<std::uint64_t>(capacity, 1, kMaxEntries))),
      mask_(slots_for(limit_) - 1),
      slots_(new std::atomic<Entry*>[mask_ + 1]) {
  if (!inner_) panic("CachedEngine needs an inner engine");
  for (std::size_t i = 0; i <= mask_; ++i) slots_[i].store(nullptr, std::memory_order_relaxed);
}

bool CachedEngine::ByAddress::operator()(const Entry* a, const Entry* b) const noexcept {
  return (*this)(a->address, b);
}
bool CachedEngine::ByAddress::operator()(const Entry* a, const IpAddress& b) const noexcept {
  if (a->address.family != b.family) return a->address.family < b.family;
  return std::memcmp(a->address.bytes.data(), b.bytes.data(), 16) < 0;
}
bool CachedEngine::ByAddress::operator()(const IpAddress& a, const Entry* b) const noexcept {
  if (a.family != b->address.family) return a.family < b->address.family;
  return std::memcmp(a.bytes.data(), b->address.bytes.data(), 16) < 0;
}

CachedEngine::~CachedEngine() {
  index_.clear();
  for (std::size_t i = 0; i <= mask_; ++i) delete slots_[i].load(std::memory_order_relaxed);
  if (retiring_) {
    for (Entry* e : *retiring_) delete e;  // no reader is left
    delete retiring_;
  }
}

// Every operation that retires entries ends by collecting (rcu.hpp), once
// its read section has ended and the table lock is released.

InsertResult CachedEngine::insert(const IpPrefix& prefix, Metadata record) {
  InsertResult r = inner_->insert(prefix, std::move(record));
  if (r.ok()) invalidate(prefix);
  rcu::collect();
  return r;
}

const CachedEngine::Entry* CachedEngine::probe(const IpAddress& address, std::size_t hash) const noexcept {
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Entry* e = slots_[i].load(std::memory_order_acquire);
    if (!e) return nullptr;
    if (e->hash == hash && e->address == address) return e;
  }
}

RecordRef CachedEngine::ask_inner(const IpAddress& address) const {
  // A lending inner engine hands over a share of its stored record (the
  // record is not copied); any other engine's copy is interned.
  if (inner_lender_) return hold_lent(*inner_lender_, address);
  RecordRef out;
  if (std::optional<Metadata> m = inner_->lookup(address)) out = RecordRef::intern(*m);
  return out;
}

template <class Use>
bool CachedEngine::answer(const IpAddress& address, Use&& use) const {
  const std::size_t h = hash_(address);
  rcu::ReadSection rs;  // keeps every entry found below alive
  if (const Entry* e = probe(address, h)) {  // 1
    use(e->answer);
    return static_cast<bool>(e->answer);
  }
  // 2. Note the generation, ask the inner engine with no cache lock held.
  const std::uint64_t seen = generation_.load(std::memory_order_acquire);
  auto fresh = std::make_unique<Entry>(Entry{address, h, ask_inner(address)});
  const Entry* result = fresh.get();
  {
    PoisonMutex::Guard g(mu_);
    if (generation_.load(std::memory_order_relaxed) == seen) {
      if (const std::size_t i = slot_of(address, h); i != kNone) {
        // 5: another miss stored it meanwhile; replace in place.
        Entry* old = slots_[i].load(std::memory_order_relaxed);
        index_node(fresh.get(), index_.extract(old->pos));
        slots_[i].store(fresh.release(), std::memory_order_release);
        retire_entry(old);
      } else {
        if (count_ >= limit_) evict_one();  // 4
        place(fresh.release());              // 5
      }
    }  // 3: a write completed meanwhile: not kept
  }
  // Still inside the read section: a stored entry evicted from here on is
  // freed only after it ends.
  use(result->answer);
  return static_cast<bool>(result->answer);
}

std::optional<Metadata> CachedEngine::lookup(const IpAddress& address) const {
  std::optional<Metadata> out;
  answer(address, [&](const RecordRef& a) {
    if (a) out = a.view().to_metadata();
  });
  rcu::collect();
  return out;
}

bool CachedEngine::lookup_with(const IpAddress& address, RecordVisitor visit) const {
  const bool found = answer(address, [&](const RecordRef& a) {
    if (a && visit) visit(a.view());
  });
  rcu::collect();
  return found;
}

void CachedEngine::lookup_many(const IpAddress* addresses, std::size_t n, HeldRecord* out) const {
  for (std::size_t i = 0; i < n; ++i)
    answer(addresses[i], [&](const RecordRef& a) { out[i] = a; });
  rcu::collect();
}

void CachedEngine::contains_many(const IpAddress* addresses, std::size_t n, bool* found) const {
  for (std::size_t i = 0; i < n; ++i) found[i] = answer(addresses[i], [](const RecordRef&) {});
  rcu::collect();
}

InsertResult CachedEngine::insert_many(const IpPrefix* prefixes, Metadata* records, std::size_t n,
                                       std::size_t* done) {
  InsertResult r = netrove::insert_many(*inner_, prefixes, records, n, done);
  invalidate_many(prefixes, *done);
  rcu::collect();
  return r;
}

InsertResult CachedEngine::insert_record(const IpPrefix& prefix, RecordRef record) {
  // The inner engine's writing side, found once (a cross cast per insert
  // cost as much as the cache's own work).
  InsertResult r = inner_writer_ ? inner_writer_->insert_record(prefix, std::move(record))
                                 : inner_->insert(prefix, record.view().to_metadata());
  if (r.ok()) invalidate(prefix);
  rcu::collect();
  return r;
}

InsertResult CachedEngine::insert_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                          std::size_t* done) {
  InsertResult r = netrove::insert_records(*inner_, prefixes, records, n, done);
  invalidate_many(prefixes, *done);
  rcu::collect();
  return r;
}

InsertResult CachedEngine::load_records(const IpPrefix* prefixes, RecordRef* records, std::size_t n,
                                        std::size_t* done) {
  InsertResult r = netrove::load_records(*inner_, prefixes, records, n, done);
  invalidate_many(prefixes, *done);
  rcu::collect();
  return r;
}

std::size_t CachedEngine::slot_of(const IpAddress& address, std::size_t hash) const noexcept {
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Entry* e = slots_[i].load(std::memory_order_relaxed);
    if (!e) return kNone;
    if (e->hash == hash && e->address == address) return i;
  }
}

void CachedEngine::place(Entry* e) const {
  NETROVE_ASSERT(count_ < limit_);
  std::size_t i = e->hash & mask_;
  while (slots_[i].load(std::memory_order_relaxed)) i = (i + 1) & mask_;
  index_node(e, std::move(spare_));
  slots_[i].store(e, std::memory_order_release);
  ++count_;
}

void CachedEngine::index_node(Entry* e, Index::node_type node) const {
  // A full cache evicts before each store: reusing the evicted entry's
  // node saves an allocation and a free per miss.
  if (node.empty()) {
    e->pos = index_.insert(e).first;
  } else {
    node.value() = e;
    e->pos = index_.insert(std::move(node)).position;
  }
  NETROVE_ASSERT(*e->pos == e);
}

void CachedEngine::retire_entry(Entry* e) const {
  // Entries go to reclamation in batches: one grace-period request per
  // kRetireBatch entries instead of one per eviction.
  if (!retiring_) {
    retiring_ = new std::vector<Entry*>;
    retiring_->reserve(kRetireBatch);
  }
  retiring_->push_back(e);
  if (retiring_->size() >= kRetireBatch) {
    rcu::retire(
        retiring_,
        [](void* p) {
          auto* batch = static_cast<std::vector<Entry*>*>(p);
          for (Entry* x : *batch) delete x;
          delete batch;
        },
        retiring_->size());
    retiring_ = nullptr;
  }
}

void CachedEngine::erase_at(std::size_t i) const {
  Entry* gone = slots_[i].load(std::memory_order_relaxed);
  std::size_t hole = i;
  for (std::size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
    Entry* e = slots_[j].load(std::memory_order_relaxed);
    if (!e) break;
    // e stays when its home lies cyclically in (hole, j]: moving it to the
    // hole would put it before its home, out of its probe run.
    const std::size_t k = e->hash & mask_;
    const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
    if (stays) continue;
    slots_[hole].store(e, std::memory_order_release);
    hole = j;
  }
  slots_[hole].store(nullptr, std::memory_order_release);
  --count_;
  spare_ = index_.extract(gone->pos);  // the next place() reuses it
  retire_entry(gone);
}

void CachedEngine::evict_one() const {
  // The first entry at or after the hand goes; the hand moves past it.
  for (std::size_t n = 0, i = hand_ & mask_; n <= mask_; ++n, i = (i + 1) & mask_) {
    if (slots_[i].load(std::memory_order_relaxed)) {
      erase_at(i);
      hand_ = i + 1;
      return;
    }
  }
  NETROVE_ASSERT(false);  // callers evict only from a non-empty table
}

std::optional<Metadata> CachedEngine::remove(const IpPrefix& prefix) {
  std::optional<Metadata> r = inner_->remove(prefix);
  invalidate(prefix);
  rcu::collect();
  return r;
}

bool CachedEngine::erase(const IpPrefix& prefix) {
  const bool removed = inner_eraser_ ? inner_eraser_->erase(prefix) : inner_->remove(prefix).has_value();
  invalidate(prefix);
  rcu::collect();
  return removed;
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
  InsertResult r = loader->load(prefix, std::move(record));
  if (r.ok()) invalidate(prefix);
  rcu::collect();
  return r;
}

void CachedEngine::clear() {
  inner_->clear();
  {
    PoisonMutex::Guard g(mu_);
    for (std::size_t i = 0; i <= mask_; ++i) {
      if (Entry* e = slots_[i].exchange(nullptr, std::memory_order_acq_rel)) retire_entry(e);
    }
    index_.clear();
    count_ = 0;
    generation_.fetch_add(1, std::memory_order_release);
  }
  rcu::collect();
}

std::uint64_t CachedEngine::len() const { return inner_->len(); }

EngineStats CachedEngine::stats() const { return inner_->stats(); }

std::size_t CachedEngine::cached() const {
  PoisonMutex::Guard g(mu_);
  std::size_t n = 0;
  for (std::size_t i = 0; i <= mask_; ++i) {
    n += slots_[i].load(std::memory_order_relaxed) != nullptr;
  }
  NETROVE_ASSERT(n == count_ && n == index_.size());  // one index node per entry
  return n;
}

bool CachedEngine::is_cached(const IpAddress& address) const {
  PoisonMutex::Guard g(mu_);
  return slot_of(address, hash_(address)) != kNone;
}

namespace {

/// The least (ones = false) or greatest (ones = true) address of the
/// prefix's family whose leading `length` bits are the prefix's: every bit
/// after them clear or set, over all 16 bytes.
IpAddress range_end(const IpPrefix& p, bool ones) noexcept {
  IpAddress a;
  a.family = p.family;
  a.bytes = p.network_address();
  const unsigned full = p.length / 8u, rem = p.length % 8u;
  if (ones) {
    if (rem != 0) a.bytes[full] |= static_cast<std::uint8_t>(0xFFu >> rem);
    for (unsigned i = full + (rem != 0); i < 16; ++i) a.bytes[i] = 0xFF;
  }
  return a;
}

}  // namespace

void CachedEngine::drop_range(const IpPrefix& prefix) const {
  const IpAddress hi = range_end(prefix, true);
  for (auto it = index_.lower_bound(range_end(prefix, false)); it != index_.end() && !index_.key_comp()(hi, *it);) {
    const Entry* e = *it++;  // erase_at unlinks e's node only
    NETROVE_ASSERT(prefix.contains(e->address));
    const std::size_t i = slot_of(e->address, e->hash);
    NETROVE_ASSERT(i != kNone);
    erase_at(i);
  }
}

void CachedEngine::invalidate(const IpPrefix& prefix) { invalidate_many(&prefix, 1); }

void CachedEngine::invalidate_many(const IpPrefix* prefixes, std::size_t n) {
  // One generation step for the whole batch drops exactly what n
  // invalidations would: no lookup stores between them.
  PoisonMutex::Guard g(mu_);
  generation_.fetch_add(1, std::memory_order_release);
  for (std::size_t i = 0; i < n && count_ != 0; ++i) drop_range(prefixes[i]);  // an empty cache looks at nothing
}

}  // namespace netrove
