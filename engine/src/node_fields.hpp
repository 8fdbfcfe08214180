// node_fields.hpp - the synchronised fields trie nodes are built from.
//
// A "locked" field is a version word in front of its data (a sequence lock):
//
//   +---------+--------------------+
//   | version |  data (atomic words)|    version even: stable
//   +---------+--------------------+    version odd:  a writer is inside
//
//   writer: CAS version even -> odd (writers exclude each other), store the
//           data words, store version + 2.
//   reader: load version (even), copy the words, load version again; equal
//           means the copy is whole, otherwise copy again.
//
// A read performs no read-modify-write and no store, so readers on different
// cores never bounce the node's cache line between them.  The data words are
// atomics accessed relaxed: there is no data race even when a copy is
// discarded.
//
// Children and records are single pointers published with release stores
// and read with acquire loads; a reader inside an rcu::ReadSection may use
// what it loaded until the section ends (see rcu.hpp).  A node or record is
// owned by a counter of links to it (parent slots, roots, handles); the
// last release retires it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "netrove/metadata.hpp"
#include "netrove/node.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"
#include "rcu.hpp"
#include "trie_key.hpp"

struct cds_lfht;

namespace netrove::trie {

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Memory orders of the sequence locks.  ThreadSanitizer does not model
// standalone fences, so under TSan every access is sequentially consistent
// instead, which is correct without them.
#if defined(NETROVE_TSAN)
inline constexpr std::memory_order kData = std::memory_order_seq_cst;
inline constexpr std::memory_order kVerAcquire = std::memory_order_seq_cst;
inline constexpr std::memory_order kVerRelease = std::memory_order_seq_cst;
inline void seq_fence(std::memory_order) noexcept {}
#else
inline constexpr std::memory_order kData = std::memory_order_relaxed;
inline constexpr std::memory_order kVerAcquire = std::memory_order_acquire;
inline constexpr std::memory_order kVerRelease = std::memory_order_release;
inline void seq_fence(std::memory_order o) noexcept { std::atomic_thread_fence(o); }
#endif

/// The version word of one locked field.
class VersionLock {
 public:
  /// Runs `copy` (relaxed loads only) until it saw no writer; returns its result.
  template <class F>
  auto read(F&& copy) const noexcept {
    for (;;) {
      const std::uint32_t before = v_.load(kVerAcquire);
      if (before & 1u) {
        cpu_relax();
        continue;
      }
      auto out = copy();
      seq_fence(std::memory_order_acquire);
      if (v_.load(kData) == before) return out;
    }
  }

  /// Runs `store` (relaxed stores only) with writers of this field excluded.
  template <class F>
  void write(F&& store) noexcept {
    std::uint32_t v = v_.load(std::memory_order_relaxed);
    for (;;) {
      if (v & 1u) {
        cpu_relax();
        v = v_.load(std::memory_order_relaxed);
        continue;
      }
      if (v_.compare_exchange_weak(v, v + 1, kVerAcquire, std::memory_order_relaxed)) break;
    }
    seq_fence(std::memory_order_release);
    store();
    v_.store(v + 2, kVerRelease);
  }

 private:
  std::atomic<std::uint32_t> v_{0};
};

// ---------------------------------------------------------------------------
// Records and node headers: counted, retired on the last release.

/// One stored record (netrove/record.hpp): immutable once published, shared
/// by every node (a split copies a node) and every prefix of equal contents.
using Record = StoredRecord;

/// Drops one owner of `r`; the last one retires it.
inline void release(Record* r) noexcept { release_record(r); }
/// Adds an owner unless the count already reached zero.
inline bool try_share(Record* r) noexcept { return try_share_record(r); }

/// Edge-length cache of kind 5: the length when below 255, 0xFF when the
/// locked length holds it.
struct EdgeLengthCache {
  std::atomic<std::uint8_t> byte{0};
};

/// Bookkeeping at offset 0 of every node record.  Lookups read only
/// `edge_cache`, the byte kind 5 keeps in front of its label: it lives in
/// the header's padding so that kind 5 fits its hot fields in the same first
/// cache line as kind 4.  The other kinds leave it at 0.
struct NodeHeader {
  explicit NodeHeader(NodeKind k) noexcept : kind(k) {}
  std::atomic<std::uint32_t> refs{1};
  NodeKind kind;
  EdgeLengthCache edge_cache;
};
static_assert(sizeof(NodeHeader) == 8);
static_assert(offsetof(NodeHeader, edge_cache) == 5);

/// Drops one reference to a node; the last one retires it (and, after the
/// grace period, its record, prefix and child links).
void release(NodeHeader* n) noexcept;
/// Adds a reference unless the count already reached zero.
bool try_share(NodeHeader* n) noexcept;
/// Adds a reference to a node the caller knows to be alive.
inline void share(NodeHeader* n) noexcept { n->refs.fetch_add(1, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Plain locked fields.

/// Locked edge label: 128 bits as two words.
struct LockedLabel {
  VersionLock lock;
  std::atomic<std::uint64_t> hi{0}, lo{0};

  u128 read() const noexcept {
    return lock.read([&] { return make128(hi.load(kData), lo.load(kData)); });
  }
  void write(u128 v) noexcept {
    lock.write([&] {
      hi.store(hi64(v), kData);
      lo.store(lo64(v), kData);
    });
  }
};
static_assert(sizeof(LockedLabel) == 24);

/// Edge length: one 64-bit word.  A field of a single word needs no version
/// word: an atomic load sees the whole value, an atomic store replaces it
/// whole, which is what a read-write lock around it would give.  Dropping the
/// version word is what lets a compressed node keep label, length, record and
/// children within its first cache line.
struct AtomicLength {
  std::atomic<std::uint64_t> value{0};

  std::uint64_t read() const noexcept { return value.load(std::memory_order_acquire); }
  void write(std::uint64_t v) noexcept { value.store(v, std::memory_order_release); }
};
static_assert(sizeof(AtomicLength) == 8);

/// Locked optional IpPrefix: presence, family, length and 16 address bytes.
struct LockedPrefix {
  VersionLock lock;
  std::atomic<std::uint8_t> present{0}, family{0}, length{0};
  std::atomic<std::uint64_t> a0{0}, a1{0};

  std::optional<IpPrefix> read() const noexcept {
    struct Copy {
      std::uint8_t present, family, length;
      std::uint64_t a0, a1;
    };
    const Copy c = lock.read([&] {
      return Copy{present.load(kData), family.load(kData),
                  length.load(kData), a0.load(kData),
                  a1.load(kData)};
    });
    if (!c.present) return std::nullopt;
    IpPrefix p;
    p.family = c.family;
    p.length = c.length;
    std::memcpy(p.address.data(), &c.a0, 8);
    std::memcpy(p.address.data() + 8, &c.a1, 8);
    return p;
  }
  void write(const std::optional<IpPrefix>& p) noexcept {
    std::uint64_t w0 = 0, w1 = 0;
    if (p) {
      std::memcpy(&w0, p->address.data(), 8);
      std::memcpy(&w1, p->address.data() + 8, 8);
    }
    lock.write([&] {
      present.store(p ? 1 : 0, kData);
      family.store(p ? p->family : 0, kData);
      length.store(p ? p->length : 0, kData);
      a0.store(w0, kData);
      a1.store(w1, kData);
    });
  }
};
static_assert(sizeof(LockedPrefix) == 24);

/// Locked optional 8-bit prefix length (uncompressed kinds 0 and 2).
struct LockedPrefixLen {
  VersionLock lock;
  std::atomic<std::uint8_t> present{0}, value{0};

  std::optional<std::uint8_t> read() const noexcept {
    const std::uint16_t c = lock.read([&] {
      return static_cast<std::uint16_t>(present.load(kData) << 8 |
                                        value.load(kData));
    });
    if (!(c >> 8)) return std::nullopt;
    return static_cast<std::uint8_t>(c);
  }
  void write(std::uint8_t v) noexcept {
    lock.write([&] {
      present.store(1, kData);
      value.store(v, kData);
    });
  }
};
static_assert(sizeof(LockedPrefixLen) == 8);

/// Prefix length as one atomic byte: 0 = none, otherwise length + 1
/// (kinds 1 and 3).  Prefix lengths never exceed 128; a stored 255 would
/// wrap to "none".
struct AtomicPrefixLen {
  std::atomic<std::uint8_t> byte{0};

  std::optional<std::uint8_t> read() const noexcept {
    const std::uint8_t b = byte.load(std::memory_order_relaxed);
    if (b == 0) return std::nullopt;
    return static_cast<std::uint8_t>(b - 1);
  }
  void write(std::uint8_t v) noexcept { byte.store(static_cast<std::uint8_t>(v + 1), std::memory_order_relaxed); }
};

/// The 64-byte pad block of kinds 2 and 6; never read or written.
struct PadBlock {
  unsigned char bytes[64];
};

// ---------------------------------------------------------------------------
// Published pointers.

/// Optional record, published as one pointer.
struct ValueSlot {
  std::atomic<Record*> ptr{nullptr};

  /// The current record; valid until the caller's read section ends.
  const Record* get() const noexcept { return ptr.load(std::memory_order_acquire); }
  /// The current record, for a writer that is about to share it.
  Record* peek() const noexcept { return ptr.load(std::memory_order_acquire); }
  /// Publishes `owned` (may be null) and releases the previous record.
  void set(Record* owned) noexcept {
    Record* old = ptr.exchange(owned, std::memory_order_acq_rel);
    if (old) release(old);
  }
  /// Empties the slot in one step; the caller owns the returned reference.
  Record* take() noexcept { return ptr.exchange(nullptr, std::memory_order_acq_rel); }
  /// Node teardown: drops the record.
  void teardown() noexcept { set(nullptr); }
};

/// Two child links (left = side 0, right = side 1), each owning one reference.
struct ChildPair {
  std::atomic<NodeHeader*> slot[2] = {nullptr, nullptr};

  /// The child on `side`; valid until the caller's read section ends.
  NodeHeader* get(bool side) const noexcept { return slot[side].load(std::memory_order_acquire); }
  /// Publishes `owned` (may be null) on `side`, releasing the previous child.
  void set(bool side, NodeHeader* owned) noexcept {
    NodeHeader* old = slot[side].exchange(owned, std::memory_order_acq_rel);
    if (old) release(old);
  }
  void teardown() noexcept {
    set(false, nullptr);
    set(true, nullptr);
  }
};
static_assert(sizeof(ChildPair) == 16);

/// Children in liburcu's lock-free RCU hash table, keyed by the branch bit,
/// with a per-map random hash seed.  Readers take no lock.  The table is
/// allocated with the first child (a leaf never pays for one).
struct ChildMap {
  ChildMap() noexcept;
  std::atomic<cds_lfht*> ht{nullptr};
  std::uint64_t seed;

  /// The child on `side`; call inside a read section.
  NodeHeader* get(bool side) const noexcept;
  /// Inserts (replacing) `owned` under key `side`, or deletes the key when
  /// `owned` is null; the previous child is released.
  void set(bool side, NodeHeader* owned);
  /// Node teardown (node unreachable): drops every child and the table.
  void teardown() noexcept;
};
static_assert(sizeof(ChildMap) == 16);

}  // namespace netrove::trie
