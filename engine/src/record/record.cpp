// Stored records: building the compact block, the intern table, release.
//
// The intern table (process-wide, built at library load, never destroyed,
// so records released by static destructors still find it):
//
//   stripe = hash24 >> 21                    8 stripes, one cache line each
//   +-------+-------+-----+-------+
//   |  s0   |  s1   | ... |  s7   |          each: leaf lock + bucket array
//   +-------+-------+-----+-------+
//                |
//                +-- buckets[hash24 & mask] --> R1 --next--> R2 --next--> null
//                                          (owners 3)   (owners 0: dying)
//
// Chains run through the records' own `next` words, so an entry costs one
// bucket word (at most two records per bucket before the array doubles).
// The table is weak: it holds no share.
//
// Case list of intern, numbers used in the code:
//   1. Under the stripe lock, an equal live block is found: share it.
//   2. An equal block whose count reached zero is found: erase its entry
//      (its releaser then finds nothing to erase) and go on.
//   3. None: build the block and enter it, still under the lock (one
//      probe and one lock round per new record; building is a malloc and
//      a copy).
//
// Locks.  A stripe lock is a leaf: no lock of the library is taken inside
// it (retire runs after it is released) and nobody waits for a grace
// period while holding it, so taking it inside a read section or under an
// engine lock is safe.
// It carries a ForkGuard, so the table works in a forked child.
#include "netrove/record.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "sync/panic.hpp"
#include "sync/sync.hpp"
#include "sync/rcu.hpp"

namespace netrove {

namespace {

struct alignas(64) Stripe {
  ForkSafeMutex mu{ForkGuard::Rank::leaf};
  // The rest under mu.
  StoredRecord** buckets = nullptr;
  std::size_t mask = 0;  // bucket count - 1, once there are buckets
  std::size_t size = 0;  // records entered

  StoredRecord** head(std::uint32_t h) noexcept { return &buckets[h & mask]; }

  /// Enters `r` (its hash set), doubling the buckets past two records each.
  void enter(StoredRecord* r) {
    if (buckets == nullptr || size >= 2 * (mask + 1)) grow();
    StoredRecord** b = head(r->hash24());
    r->next = *b;
    *b = r;
    ++size;
  }

  /// Unlinks `r` when it is entered; true if it was.
  bool unlink(StoredRecord* r) noexcept {
    if (buckets == nullptr) return false;
    for (StoredRecord** link = head(r->hash24()); *link; link = &(*link)->next) {
      if (*link == r) {
        *link = r->next;
        --size;
        return true;
      }
    }
    return false;
  }

  void grow() {
    const std::size_t n = buckets == nullptr ? 16 : 2 * (mask + 1);
    auto** fresh = new StoredRecord*[n]();
    for (std::size_t i = 0; buckets != nullptr && i <= mask; ++i) {
      for (StoredRecord* r = buckets[i]; r;) {
        StoredRecord* next = r->next;
        StoredRecord** b = &fresh[r->hash24() & (n - 1)];
        r->next = *b;
        *b = r;
        r = next;
      }
    }
    delete[] buckets;
    buckets = fresh;
    mask = n - 1;
  }
};

// Eight stripes: writers of different records rarely meet, and the fork
// handler, which holds every lock of the library at once, stays well
// within what ThreadSanitizer can track held by one thread (64).
constexpr unsigned kStripeBits = 3;

struct InternTable {
  SeededStringHash text_hash;  // one random seed per process
  Stripe stripes[1u << kStripeBits];
  std::atomic<std::uint64_t> records{0}, bytes{0};

  Stripe& stripe(std::uint32_t h24) noexcept { return stripes[h24 >> (24 - kStripeBits)]; }
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
std::uint32_t content_hash(std::string_view value, std::size_t count, const Pairs& pairs) noexcept {
  const SeededStringHash& h = table().text_hash;
  std::uint64_t sum = 0;
  for (const auto& [k, v] : pairs) sum += mix(h(k) ^ mix(h(v) + 0x9e3779b97f4a7c15ull));
  return static_cast<std::uint32_t>(mix(h(value) ^ mix(sum + count)) >> 40);  // 24 bits
}

std::uint32_t hash_of(const Metadata& m) noexcept {
  return content_hash(m.value, m.attributes.size(), m.attributes);
}
std::uint32_t hash_of(RecordView v) noexcept { return content_hash(v.value(), v.size(), v); }
std::uint32_t hash_of(const RecordSource& s) noexcept { return content_hash(s.value, s.count, s); }

std::size_t varint_size(std::size_t n) noexcept {
  std::size_t k = 1;
  while (n >= 0x80) n >>= 7, ++k;
  return k;
}

unsigned char* put_varint(unsigned char* p, std::size_t n) noexcept {
  while (n >= 0x80) {
    *p++ = static_cast<unsigned char>(n | 0x80);
    n >>= 7;
  }
  *p++ = static_cast<unsigned char>(n);
  return p;
}

void check_length(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) panic("a record text of 4 GiB or more");
}

std::size_t block_size(const StoredRecord& r) noexcept {
  const RecordView v(r);
  std::string_view last = v.value();
  for (const auto& [k, x] : v) last = x;
  return static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(last.data() + last.size()) -
                                  reinterpret_cast<const unsigned char*>(&r));
}

/// A new block (one owner) of `value` and `pairs`, in the pairs' order.
template <class Pairs>
StoredRecord* build(std::string_view value, std::size_t count, const Pairs& pairs, std::uint32_t hash) {
  check_length(count);
  const bool escape = count >= StoredRecord::kCountEscape;
  std::size_t size = sizeof(StoredRecord) + (escape ? varint_size(count) : 0) + varint_size(value.size()) + value.size();
  for (const auto& [k, v] : pairs) {
    check_length(k.size());
    check_length(v.size());
    size += varint_size(k.size()) + k.size() + varint_size(v.size()) + v.size();
  }
  check_length(value.size());
  auto* r = ::new (::operator new(size)) StoredRecord;
  r->meta = hash << 8 | (escape ? StoredRecord::kCountEscape : static_cast<std::uint32_t>(count));
  unsigned char* out = const_cast<unsigned char*>(r->body());
  auto put = [&](std::string_view s) {
    out = put_varint(out, s.size());
    if (!s.empty()) std::memcpy(out, s.data(), s.size());
    out += s.size();
  };
  if (escape) out = put_varint(out, count);
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

StoredRecord* build_from(const Metadata& m, std::uint32_t h) {
  return build(m.value, m.attributes.size(), m.attributes, h);
}
StoredRecord* build_from(RecordView v, std::uint32_t h) { return build(v.value(), v.size(), v, h); }
StoredRecord* build_from(const RecordSource& s, std::uint32_t h) { return build(s.value, s.count, s, h); }

std::atomic<RecordHostRelease> g_host_release{nullptr};

void destroy(void* p) noexcept {
  auto* r = static_cast<StoredRecord*>(p);
  if (void* host = r->host.load(std::memory_order_acquire))
    if (RecordHostRelease release = g_host_release.load(std::memory_order_acquire)) release(host);
  InternTable& t = table();
  t.records.fetch_sub(1, std::memory_order_relaxed);
  t.bytes.fetch_sub(block_size(*r), std::memory_order_relaxed);
  r->~StoredRecord();
  ::operator delete(p);
}

/// Cases 1 and 2 under the stripe lock: a share of a live equal block, or null.
template <class Src>
StoredRecord* find_live(Stripe& s, std::uint32_t h, const Src& src) noexcept {
  if (s.buckets == nullptr) return nullptr;
  for (StoredRecord** link = s.head(h); *link;) {
    StoredRecord* r = *link;
    if (r->hash24() != h || !same_contents(RecordView(*r), src)) {
      link = &r->next;
    } else if (try_share_record(r)) {
      return r;  // 1
    } else {
      *link = r->next;  // 2
      --s.size;
    }
  }
  return nullptr;
}

template <class Src>
RecordRef intern_impl(const Src& src) {
  const std::uint32_t h = hash_of(src);
  Stripe& s = table().stripe(h);
  std::lock_guard g(s.mu);
  if (StoredRecord* r = find_live(s, h, src)) return RecordRef::adopt(r);
  StoredRecord* fresh = build_from(src, h);  // 3
  s.enter(fresh);
  return RecordRef::adopt(fresh);
}

/// Whether the pair (k, v) is among the pairs of `b`.
bool has_pair(RecordView b, std::string_view k, std::string_view v) noexcept {
  for (const auto& [bk, bv] : b)
    if (bk == k) return bv == v;
  return false;
}

/// The pairs of `v` sorted by key.
template <class Pairs>
std::vector<RecordView::Pair> sorted_pairs(const Pairs& v) {
  std::vector<RecordView::Pair> out(v.begin(), v.end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

void release_record(StoredRecord* r) noexcept {
  if (r->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Stripe& s = table().stripe(r->hash24());
  {
    std::lock_guard g(s.mu);
    s.unlink(r);  // not entered any more when an interner met it dying (case 2)
  }
  // A lock-free reader may still hold it: freed after a grace period, also
  // when the last share goes with a structure torn down at once (another
  // engine's reader may have found the record before its own share went).
  rcu::retire_shared(r, &destroy);
}

void set_record_host_release(RecordHostRelease release) noexcept {
  g_host_release.store(release, std::memory_order_release);
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

bool same_contents(RecordView a, const RecordSource& b) noexcept {
  if (a.value() != b.value || a.size() != b.count) return false;
  // Keys are distinct on both sides, as above.
  if (b.count > 16) return sorted_pairs(a) == sorted_pairs(b);
  for (const auto& [k, v] : b)
    if (!has_pair(a, k, v)) return false;
  return true;
}

RecordRef RecordRef::intern(const Metadata& m) { return intern_impl(m); }
RecordRef RecordRef::intern(RecordView v) { return intern_impl(v); }
RecordRef RecordRef::intern(const RecordSource& s) { return intern_impl(s); }

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
