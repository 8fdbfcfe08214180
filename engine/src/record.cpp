// Stored records: building the compact block, the intern table, release.
//
// The intern table (process-wide, built at library load, never destroyed,
// so records released by static destructors still find it):
//
//   stripe = hash >> 58                      64 stripes, one cache line each
//   +-------+-------+-----+-------+
//   |  s0   |  s1   | ... |  s63  |          each: leaf lock + multimap
//   +-------+-------+-----+-------+                hash -> StoredRecord*
//                |
//                +-- h1 -> R1 (owners 3)     weak: the table holds no share
//                +-- h1 -> R2 (owners 0)     dying: its releaser is on the way
//
// Case list of intern, numbers used in the code:
//   1. Under the stripe lock, an equal live block is found: share it.
//   2. An equal block whose count reached zero is found: erase its entry
//      (its releaser then finds nothing to erase) and go on.
//   3. None: build the block outside the lock, then look again under it:
//      another thread may have stored an equal one meanwhile (1 again, and
//      the new block is freed at once: nobody else ever saw it); otherwise
//      enter the new block.
//
// Locks.  A stripe lock is a leaf: nothing is taken inside it (retire runs
// after it is released) and nobody waits for a grace period while holding
// it, so taking it inside a read section or under an engine lock is safe.
// It carries a ForkGuard, so the table works in a forked child.
#include "netrove/record.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "netrove/panic.hpp"
#include "netrove/sync.hpp"
#include "rcu.hpp"

namespace netrove {

namespace {

struct alignas(64) Stripe {
  ForkSafeMutex mu{ForkGuard::Rank::leaf};
  std::unordered_multimap<std::uint64_t, StoredRecord*> entries;  // under mu
};

constexpr unsigned kStripeBits = 6;

struct InternTable {
  SeededStringHash text_hash;  // one random seed per process
  Stripe stripes[1u << kStripeBits];
  std::atomic<std::uint64_t> records{0}, bytes{0};

  Stripe& stripe(std::uint64_t h) noexcept { return stripes[h >> (64 - kStripeBits)]; }
};

InternTable& table() {
  static InternTable* const t = new InternTable;  // leaked on purpose (see above)
  return *t;
}
// Built at load, never lazily under some other lock.
[[maybe_unused]] InternTable& g_table_at_load = table();

std::uint64_t mix(std::uint64_t x) noexcept {
  x ^= x >> 31;
  x *= 0x7fb5d329728ea185ull;
  x ^= x >> 27;
  x *= 0x81dadef4bc2dd44dull;
  return x ^ (x >> 33);
}

/// Order-independent hash of a value and its pairs: the pairs' hashes are
/// summed, so any iteration order gives the same result.
template <class Pairs>
std::uint64_t content_hash(std::string_view value, std::size_t count, const Pairs& pairs) noexcept {
  const SeededStringHash& h = table().text_hash;
  std::uint64_t sum = 0;
  for (const auto& [k, v] : pairs) sum += mix(h(k) ^ mix(h(v) + 0x9e3779b97f4a7c15ull));
  return mix(h(value) ^ mix(sum + count));
}

std::uint64_t hash_of(const Metadata& m) noexcept {
  return content_hash(m.value, m.attributes.size(), m.attributes);
}
std::uint64_t hash_of(RecordView v) noexcept { return content_hash(v.value(), v.size(), v); }

std::size_t block_size(const StoredRecord& r) noexcept {
  std::size_t n = sizeof(StoredRecord) + sizeof(std::uint32_t) * (2 * r.count + 1);
  for (std::uint32_t i = 0; i < 2 * r.count + 1; ++i) n += r.lengths()[i];
  return n;
}

std::uint32_t length32(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) panic("a record text of 4 GiB or more");
  return static_cast<std::uint32_t>(n);
}

/// A new block (one owner) of `value` and `pairs`, in the pairs' order.
template <class Pairs>
StoredRecord* build(std::string_view value, std::size_t count, const Pairs& pairs, std::uint64_t hash) {
  std::size_t size = sizeof(StoredRecord) + sizeof(std::uint32_t) * (2 * count + 1) + value.size();
  for (const auto& [k, v] : pairs) size += k.size() + v.size();
  auto* r = ::new (::operator new(size)) StoredRecord;
  r->count = length32(count);
  r->hash = hash;
  auto* len = const_cast<std::uint32_t*>(r->lengths());
  char* out = const_cast<char*>(r->text());
  auto put = [&](std::string_view s) {
    *len++ = length32(s.size());
    if (!s.empty()) std::memcpy(out, s.data(), s.size());
    out += s.size();
  };
  put(value);
  for (const auto& [k, v] : pairs) {
    put(k);
    put(v);
  }
  NETROVE_ASSERT(block_size(*r) == size);
  InternTable& t = table();
  t.records.fetch_add(1, std::memory_order_relaxed);
  t.bytes.fetch_add(size, std::memory_order_relaxed);
  return r;
}

StoredRecord* build_from(const Metadata& m, std::uint64_t h) {
  return build(m.value, m.attributes.size(), m.attributes, h);
}
StoredRecord* build_from(RecordView v, std::uint64_t h) { return build(v.value(), v.size(), v, h); }

void destroy(void* p) noexcept {
  auto* r = static_cast<StoredRecord*>(p);
  InternTable& t = table();
  t.records.fetch_sub(1, std::memory_order_relaxed);
  t.bytes.fetch_sub(block_size(*r), std::memory_order_relaxed);
  r->~StoredRecord();
  ::operator delete(p);
}

/// Cases 1 and 2 under the stripe lock: a share of a live equal block, or null.
template <class Src>
StoredRecord* find_live(Stripe& s, std::uint64_t h, const Src& src) noexcept {
  auto [it, end] = s.entries.equal_range(h);
  while (it != end) {
    StoredRecord* r = it->second;
    if (!same_contents(RecordView(*r), src)) {
      ++it;
    } else if (try_share_record(r)) {
      return r;  // 1
    } else {
      it = s.entries.erase(it);  // 2
    }
  }
  return nullptr;
}

template <class Src>
RecordRef intern_impl(const Src& src) {
  const std::uint64_t h = hash_of(src);
  Stripe& s = table().stripe(h);
  {
    std::lock_guard g(s.mu);
    if (StoredRecord* r = find_live(s, h, src)) return RecordRef::adopt(r);
  }
  StoredRecord* fresh = build_from(src, h);  // 3
  {
    std::lock_guard g(s.mu);
    if (StoredRecord* r = find_live(s, h, src)) {
      destroy(fresh);  // never published
      return RecordRef::adopt(r);
    }
    s.entries.emplace(h, fresh);
  }
  return RecordRef::adopt(fresh);
}

/// Whether the pair (k, v) is among the pairs of `b`.
bool has_pair(RecordView b, std::string_view k, std::string_view v) noexcept {
  for (const auto& [bk, bv] : b)
    if (bk == k) return bv == v;
  return false;
}

/// The pairs of `v` sorted by key.
std::vector<RecordView::Pair> sorted_pairs(RecordView v) {
  std::vector<RecordView::Pair> out(v.begin(), v.end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

void release_record(StoredRecord* r) noexcept {
  if (r->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Stripe& s = table().stripe(r->hash);
  {
    std::lock_guard g(s.mu);
    auto [it, end] = s.entries.equal_range(r->hash);
    for (; it != end; ++it) {
      if (it->second == r) {
        s.entries.erase(it);
        break;
      }
    }
  }
  // A lock-free reader may still hold it: freed after a grace period.
  rcu::retire(r, &destroy);
}

bool try_share_record(StoredRecord* r) noexcept {
  std::uint32_t n = r->owners.load(std::memory_order_relaxed);
  while (n != 0)
    if (r->owners.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
  return false;
}

Metadata RecordView::to_metadata() const {
  Metadata m;
  m.value.assign(value());
  m.attributes.reserve(size());
  for (const auto& [k, v] : *this) m.attributes.emplace(k, v);
  return m;
}

bool same_contents(RecordView a, const Metadata& b) noexcept {
  if (a.value() != b.value || a.size() != b.attributes.size()) return false;
  for (const auto& [k, v] : a) {
    const auto it = b.attributes.find(k);
    if (it == b.attributes.end() || it->second != v) return false;
  }
  return true;
}

bool same_contents(RecordView a, RecordView b) noexcept {
  if (a.value() != b.value() || a.size() != b.size()) return false;
  // Keys are unique within a record, so one direction suffices: pair by
  // pair for the usual few attributes, sorted beyond (no quadratic cost).
  // (Running out of memory here ends the process, as everywhere.)
  if (a.size() > 16) return sorted_pairs(a) == sorted_pairs(b);
  for (const auto& [k, v] : a)
    if (!has_pair(b, k, v)) return false;
  return true;
}

RecordRef RecordRef::intern(const Metadata& m) { return intern_impl(m); }
RecordRef RecordRef::intern(RecordView v) { return intern_impl(v); }

RecordRef RecordRef::share(RecordView v) {
  auto* r = const_cast<StoredRecord*>(&v.stored());
  if (try_share_record(r)) return adopt(r);
  return intern(v);
}

RecordCensus record_census() noexcept {
  InternTable& t = table();
  return {t.records.load(std::memory_order_relaxed), t.bytes.load(std::memory_order_relaxed)};
}

}  // namespace netrove
