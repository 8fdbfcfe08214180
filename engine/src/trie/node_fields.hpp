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
// Children and records are single words (a record pointer, a child's
// NodeIndex or pointer) published with release stores and read with acquire
// loads; a reader inside an rcu::ReadSection may use
// what it loaded until the section ends (see rcu.hpp).  A node or record is
// owned by a counter of links to it (parent slots, roots, handles); the
// last release retires it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "netrove/metadata.hpp"
#include "netrove/record.hpp"
#include "netrove/types.hpp"
#include "record/trie_record.hpp"
#include "trie/node_kind.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"
#include "trie/trie_key.hpp"

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
    for (;;)
      if (auto out = try_read(copy, 1 << 30)) return *out;
  }

  /// As read, but gives up after `tries` copies that a writer overlapped:
  /// the copy's result, or nullopt.
  template <class F>
  auto try_read(F&& copy, int tries) const noexcept(noexcept(copy())) -> std::optional<decltype(copy())> {
    for (; tries > 0; --tries) {
      const std::uint32_t before = v_.load(kVerAcquire);
      if (before & 1u) {
        cpu_relax();
        continue;
      }
      auto out = copy();
      seq_fence(std::memory_order_acquire);
      if (v_.load(kData) == before) return out;
    }
    return std::nullopt;
  }

  /// A hand-written read in two steps (a copy whose second part depends on
  /// its first): the version to compare against, odd while a writer is
  /// inside (then the caller relaxes and begins again).
  std::uint32_t begin_read() const noexcept { return v_.load(kVerAcquire); }
  /// True when no writer ran since begin_read returned `before` (even):
  /// every relaxed load made in between saw one whole state.
  bool still(std::uint32_t before) const noexcept {
    seq_fence(std::memory_order_acquire);
    return v_.load(kData) == before;
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

/// Edge-length cache of kind 5: the length when below 255, 0xFF when the
/// locked length holds it.
struct EdgeLengthCache {
  std::atomic<std::uint8_t> byte{0};
};

/// Bookkeeping at offset 0 of every node block.  Its two last bytes and
/// `edge_cache` are fields of the compressed layouts kept in what would be
/// padding, which is what lets kinds 4, 5 and 7 fit one cache line:
/// `edge_cache` is the byte kind 5 reads in front of its label,
/// `prefix_tag` (0 = no prefix, else family + 1) and `prefix_len` belong to
/// the stored prefix, under the node lock of the compressed layouts.  The
/// uncompressed kinds leave all three at 0.
struct NodeHeader {
  explicit NodeHeader(NodeKind k) noexcept : kind(k) {}
  std::atomic<std::uint32_t> refs{1};
  NodeKind kind;
  EdgeLengthCache edge_cache;
  std::atomic<std::uint8_t> prefix_tag{0}, prefix_len{0};
};
static_assert(sizeof(NodeHeader) == 8);
static_assert(offsetof(NodeHeader, edge_cache) == 5 && offsetof(NodeHeader, prefix_tag) == 6);

/// Drops one reference to a node; the last one retires it (and, after the
/// grace period, its record, prefix and child links).
void release(NodeHeader* n) noexcept;
/// Adds a reference unless the count already reached zero.
bool try_share(NodeHeader* n) noexcept;
/// Adds a reference to a node the caller knows to be alive.
inline void share(NodeHeader* n) noexcept { n->refs.fetch_add(1, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Plain locked fields.

/// Edge length of the compressed layouts: one 32-bit word.  A field of a
/// single word needs no version word: an atomic load sees the whole value,
/// an atomic store replaces it whole, which is what a read-write lock
/// around it would give.  Lengths past 2^32 - 1 (never a
/// trie's: its edges are at most 128 bits) are stored as 2^32 - 1.
struct EdgeLength32 {
  std::atomic<std::uint32_t> value{0};

  std::uint64_t read() const noexcept { return value.load(std::memory_order_acquire); }
  void write(std::uint64_t v) noexcept {
    value.store(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v), std::memory_order_release);
  }
};
static_assert(sizeof(EdgeLength32) == 4);

/// The label's and the prefix address's words of a one-line compressed
/// node; both are guarded by the node's one version word (node_blocks.hpp).
struct TwoWords {
  std::atomic<std::uint64_t> hi{0}, lo{0};
};
static_assert(sizeof(TwoWords) == 16);

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
  /// Fills the empty slot of a node no reader can reach yet: a plain store,
  /// published by the release store that later links the node.
  void init(Record* owned) noexcept { ptr.store(owned, std::memory_order_relaxed); }
};

/// Two child links (left = side 0, right = side 1), each owning one reference.
struct ChildPair {
  std::atomic<NodeHeader*> slot[2] = {nullptr, nullptr};

  /// The child on `side`; valid until the caller's read section ends.
  NodeHeader* get(bool side) const noexcept { return slot[side].load(std::memory_order_acquire); }
  /// Empties `side` in one step; the caller owns the returned child.
  NodeHeader* take(bool side) noexcept { return slot[side].exchange(nullptr, std::memory_order_acq_rel); }
  /// Publishes `owned` (may be null) on `side`, releasing the previous child.
  void set(bool side, NodeHeader* owned) noexcept {
    NodeHeader* old = slot[side].exchange(owned, std::memory_order_acq_rel);
    if (old) release(old);
  }
  void teardown() noexcept {
    set(false, nullptr);
    set(true, nullptr);
  }
  /// Fills the empty `side` of a node no reader can reach yet (see
  /// ValueSlot::init).
  void init(bool side, NodeHeader* owned) noexcept { slot[side].store(owned, std::memory_order_relaxed); }
};
static_assert(sizeof(ChildPair) == 16);

/// Two child links of a compressed node as NodeIndex values (0 = none),
/// each owning one reference: half the bytes of two pointers.
struct IndexChildPair {
  std::atomic<NodeIndex> slot[2] = {0, 0};

  /// The child on `side`; valid until the caller's read section ends.
  NodeHeader* get(bool side) const noexcept {
    const NodeIndex i = slot[side].load(std::memory_order_acquire);
    return i != 0 ? static_cast<NodeHeader*>(block_at(i)) : nullptr;
  }
  /// Empties `side` in one step; the caller owns the returned child.
  NodeHeader* take(bool side) noexcept {
    const NodeIndex i = slot[side].exchange(0, std::memory_order_acq_rel);
    return i != 0 ? static_cast<NodeHeader*>(block_at(i)) : nullptr;
  }
  /// Publishes `owned` (may be null) on `side`, releasing the previous child.
  void set(bool side, NodeHeader* owned) noexcept {
    const NodeIndex old = slot[side].exchange(owned ? index_of(owned) : 0, std::memory_order_acq_rel);
    if (old != 0) release(static_cast<NodeHeader*>(block_at(old)));
  }
  void teardown() noexcept {
    set(false, nullptr);
    set(true, nullptr);
  }
  /// Fills the empty `side` of a node no reader can reach yet (see
  /// ValueSlot::init).
  void init(bool side, NodeHeader* owned) noexcept { slot[side].store(index_of(owned), std::memory_order_relaxed); }
};
static_assert(sizeof(IndexChildPair) == 8);

/// Children of kinds 3 and 7 in a lock-free hash table of two buckets held
/// in the node, keyed by the branch bit.  The bucket of a key is the key
/// mixed with a bit of the map's seed, a hash of the map's address under a
/// random key drawn once per process: every map places its two keys
/// differently from a neighbour's, the two keys never share a bucket (so no
/// probing), and the table needs no allocation of its own.  Each bucket
/// holds a NodeIndex (0 = empty) owning one reference; readers take no lock.
/// The process's random key for ChildMap seeds, drawn as the library loads.
extern const std::uint64_t g_child_map_key;

struct ChildMap {
  std::atomic<NodeIndex> bucket[2] = {0, 0};

  /// The child on `side`; call inside a read section.  Inline: every level
  /// of a walk over kinds 3 and 7 takes one.
  NodeHeader* get(bool side) const noexcept {
    const NodeIndex i = bucket[slot_of(side)].load(std::memory_order_acquire);
    return i != 0 ? static_cast<NodeHeader*>(block_at(i)) : nullptr;
  }
  /// Inserts (replacing) `owned` under key `side`, or deletes the key when
  /// `owned` is null; the previous child is released.
  void set(bool side, NodeHeader* owned) noexcept;
  /// Deletes key `side` in one step; the caller owns the returned child.
  NodeHeader* take(bool side) noexcept;
  /// Node teardown (node unreachable): drops every child.
  void teardown() noexcept;
  /// Fills the empty key `side` of a node no reader can reach yet.
  void init(bool side, NodeHeader* owned) noexcept { set(side, owned); }

 private:
  /// The bucket of key `side`: the key xor one bit of a hash of the map's
  /// address under the process key.  The bit is the top one of a product,
  /// which every bit of the address and the key reaches (one multiply per
  /// walk step, where a full 64-bit mix took three).
  unsigned slot_of(bool side) const noexcept {
    const std::uint64_t z = (g_child_map_key ^ reinterpret_cast<std::uintptr_t>(this)) * 0x9e3779b97f4a7c15ull;
    return static_cast<unsigned>(z >> 63) ^ static_cast<unsigned>(side);
  }
};
static_assert(sizeof(ChildMap) == 8);

}  // namespace netrove::trie
