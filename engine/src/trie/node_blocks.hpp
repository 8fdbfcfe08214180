// node_blocks.hpp - the eight node layouts and the field operations the
// tries use on them.
//
// Every node block lies within one cache line or starts one (kind 4's
// 32-byte blocks are 32-byte aligned, the others 64-byte aligned) and
// starts with an 8-byte NodeHeader (owner count and kind; lookups never
// read it).  The fields follow in the order below; byte offsets are checked
// by static_asserts at the end.
//
//   kind 0 LockedNode (uncompressed)                     64 bytes
//   +------+--------+--------+--------+------+-----------------+
//   | hdr  | plen v | left   | right  | value| prefix v        |
//   0      8        16       24       32     40                64
//
//   kind 1 AtomicNode: plen is one atomic byte at 8          64 bytes
//   kind 2 PaddedNode: kind 0 with a 64-byte pad after plen 128 bytes
//   kind 3 MappedNode: atomic plen byte, then a ChildMap     64 bytes
//          (two buckets of child indices) in place of left/right
//
//   kind 4 LockedNode (compressed), the default engine's:      32 bytes
//          edge and prefix as one 32-bit word of the key's path, or in a
//          side block when they do not fit it (half_node.hpp)
//
//   kind 5 AtomicNode (compressed)                            64 bytes
//   +----------------+----+-----+----------------+------+------------+------+
//   | hdr            | v  | len | label (2x64)   | value| prefix addr| l | r|
//   | refs kind c t n|    |     |                |      | (2x64)     |      |
//   0        4 5 6 7 8    12    16               32     40           56   64
//   c: kind 5's edge-length cache byte   t, n: prefix family + 1 and length
//   v: the node's version word, guarding label and prefix (t, n, addr)
//   l, r: children as 32-bit NodeIndex values (node_pool.hpp)
//
//   kind 5 reads its cache byte c first
//   kind 6 PaddedNode: kind 5's fields, without the cache    128 bytes
//          byte, with a 64-byte pad after the label
//   kind 7 MappedNode: kind 5's fields, without the cache     64 bytes
//          byte, with a ChildMap (two buckets of child indices) for l, r
//
//   One line per node is what a compressed walk reads per level, and half
//   the memory of a two-line node.  Three things make the fields fit:
//   children are 32-bit indices, not pointers; the prefix's family and
//   length and kind 5's cache byte sit in the header's padding; and label
//   and prefix share one version word, so a reader of one retries while the
//   other is written (writers of the two exclude each other).  The length
//   is a single atomic word without a version word (node_fields.hpp).
//
//   "v" marks a version-locked field (node_fields.hpp).  value and the child
//   links are published words.
//
// The tries reach the fields through the function templates below, which
// compile to the field access of each layout; a layout without a field
// behaves as the node interface says (no edge on uncompressed kinds, no
// prefix length on compressed ones, set_edge on an uncompressed kind panics).
#pragma once

#include <cstddef>
#include <new>

#include "sync/panic.hpp"
#include "trie/half_node.hpp"
#include "trie/node_fields.hpp"
#include "trie/node_pool.hpp"

namespace netrove::trie {

struct alignas(64) UncompressedLocked {
  static constexpr NodeKind kKind = NodeKind::uncompressed_locked;
  NodeHeader hdr{kKind};
  LockedPrefixLen plen;
  ChildPair kids;
  ValueSlot value;
  LockedPrefix prefix;
};

struct alignas(64) UncompressedAtomic {
  static constexpr NodeKind kKind = NodeKind::uncompressed_atomic;
  NodeHeader hdr{kKind};
  AtomicPrefixLen plen;
  ChildPair kids;
  ValueSlot value;
  LockedPrefix prefix;
};

struct alignas(64) UncompressedPadded {
  static constexpr NodeKind kKind = NodeKind::uncompressed_padded;
  NodeHeader hdr{kKind};
  LockedPrefixLen plen;
  PadBlock pad;
  ChildPair kids;
  ValueSlot value;
  LockedPrefix prefix;
};

struct alignas(64) UncompressedMapped {
  static constexpr NodeKind kKind = NodeKind::uncompressed_mapped;
  NodeHeader hdr{kKind};
  AtomicPrefixLen plen;
  ChildMap kids;
  ValueSlot value;
  LockedPrefix prefix;
};

/// Kinds 5 and 7: one cache line (picture above).  Kind 5 also uses
/// hdr.edge_cache; Kids is IndexChildPair or ChildMap.
template <NodeKind K, class Kids>
struct alignas(64) CompressedLine {
  static constexpr NodeKind kKind = K;
  NodeHeader hdr{kKind};
  VersionLock lock;  // label, prefix and hdr.prefix_tag / prefix_len
  EdgeLength32 length;
  TwoWords label;
  ValueSlot value;
  TwoWords prefix;
  Kids kids;
};
using CompressedLocked = HalfLine;
using CompressedAtomic = CompressedLine<NodeKind::compressed_atomic, IndexChildPair>;
using CompressedMapped = CompressedLine<NodeKind::compressed_mapped, ChildMap>;

struct alignas(64) CompressedPadded {
  static constexpr NodeKind kKind = NodeKind::compressed_padded;
  NodeHeader hdr{kKind};
  VersionLock lock;
  EdgeLength32 length;
  TwoWords label;
  PadBlock pad;
  ValueSlot value;
  TwoWords prefix;
  IndexChildPair kids;
};

// ---------------------------------------------------------------------------
// Layout checks.

#define NETROVE_LAYOUT(T, size, ...)                                                      \
  static_assert(std::is_standard_layout_v<T>, #T " must be standard layout");               \
  static_assert(alignof(T) == 64 && sizeof(T) == (size), #T " has an unexpected size");     \
  static_assert(offsetof(T, hdr) == 0, #T ": the header comes first");
NETROVE_LAYOUT(UncompressedLocked, 64)
NETROVE_LAYOUT(UncompressedAtomic, 64)
NETROVE_LAYOUT(UncompressedPadded, 128)
NETROVE_LAYOUT(UncompressedMapped, 64)
NETROVE_LAYOUT(CompressedAtomic, 64)
NETROVE_LAYOUT(CompressedPadded, 128)
NETROVE_LAYOUT(CompressedMapped, 64)
#undef NETROVE_LAYOUT

static_assert(offsetof(UncompressedLocked, plen) < offsetof(UncompressedLocked, kids) &&
              offsetof(UncompressedLocked, kids) < offsetof(UncompressedLocked, value) &&
              offsetof(UncompressedLocked, value) < offsetof(UncompressedLocked, prefix));
static_assert(offsetof(UncompressedPadded, pad) == offsetof(UncompressedPadded, plen) + sizeof(LockedPrefixLen));
static_assert(offsetof(UncompressedPadded, kids) == offsetof(UncompressedPadded, pad) + 64);
static_assert(offsetof(UncompressedMapped, plen) < offsetof(UncompressedMapped, kids) &&
              offsetof(UncompressedMapped, kids) < offsetof(UncompressedMapped, value));
// The one-line layouts, field by field as drawn above.
template <class R>
inline constexpr bool kOneLine =
    offsetof(R, lock) == 8 && offsetof(R, length) == 12 && offsetof(R, label) == 16 && offsetof(R, value) == 32 &&
    offsetof(R, prefix) == 40 && offsetof(R, kids) == 56 && sizeof(R::kids) == 8;
static_assert(kOneLine<CompressedAtomic>);
static_assert(kOneLine<CompressedMapped>);
static_assert(offsetof(CompressedPadded, pad) == offsetof(CompressedPadded, label) + sizeof(TwoWords) &&
              offsetof(CompressedPadded, value) == offsetof(CompressedPadded, pad) + 64 &&
              offsetof(CompressedPadded, kids) + sizeof(IndexChildPair) == 128);

// ---------------------------------------------------------------------------
// Traits and field operations.

template <class R>
inline constexpr bool kCompressedLayout = is_compressed(R::kKind);
template <class R>
inline constexpr bool kHalfLayout = std::is_same_v<R, HalfLine>;
template <class R>
inline constexpr bool kEdgeCacheLayout = R::kKind == NodeKind::compressed_atomic;
template <class R>
inline constexpr bool kLockedPlenLayout = std::is_same_v<decltype(R::plen), LockedPrefixLen>;

/// The block of a node header known to be of layout R.
template <class R>
inline R* as(NodeHeader* h) noexcept {
  NETROVE_ASSERT(h == nullptr || h->kind == R::kKind);
  return reinterpret_cast<R*>(h);
}
template <class R>
inline const R* as(const NodeHeader* h) noexcept {
  NETROVE_ASSERT(h == nullptr || h->kind == R::kKind);
  return reinterpret_cast<const R*>(h);
}

/// Edge label (0 on uncompressed layouts).
template <class R>
inline u128 edge_label(const R& n) noexcept {
  if constexpr (kHalfLayout<R>) {
    return half_read(n).label;
  } else if constexpr (kCompressedLayout<R>) {
    return n.lock.read([&] { return make128(n.label.hi.load(kData), n.label.lo.load(kData)); });
  } else {
    return 0;
  }
}

/// Edge length (0 on uncompressed layouts); kind 5 reads its cache byte first.
template <class R>
inline std::uint64_t edge_length(const R& n) noexcept {
  if constexpr (kHalfLayout<R>) {
    return half_length(n);
  } else if constexpr (kEdgeCacheLayout<R>) {
    const std::uint8_t c = n.hdr.edge_cache.byte.load(std::memory_order_acquire);
    return c != 0xFF ? c : n.length.read();
  } else if constexpr (kCompressedLayout<R>) {
    return n.length.read();
  } else {
    return 0;
  }
}

/// Stores label and length; panics on uncompressed layouts.  Kind 5 keeps
/// lengths below 255 in its cache byte only; longer ones go to the locked
/// length first and then the cache byte becomes 0xFF.
template <class R>
inline void set_edge(R& n, u128 label, std::uint64_t len) {
  if constexpr (!kCompressedLayout<R>) {
    (void)n, (void)label, (void)len;
    panic("set_edge called on an uncompressed node");
  } else if constexpr (kHalfLayout<R>) {
    half_modify(n, true, [&](HalfState& s) {
      s.label = label;
      s.length = len;
    });
  } else {
    n.lock.write([&] {
      n.label.hi.store(hi64(label), kData);
      n.label.lo.store(lo64(label), kData);
    });
    if constexpr (kEdgeCacheLayout<R>) {
      if (len < 255) {
        n.hdr.edge_cache.byte.store(static_cast<std::uint8_t>(len), std::memory_order_release);
      } else {
        n.length.write(len);
        n.hdr.edge_cache.byte.store(0xFF, std::memory_order_release);
      }
    } else {
      n.length.write(len);
    }
  }
}

/// set_edge for a node no reader can reach yet (built aside, linked later
/// by one release store, which publishes what is written here): plain
/// stores, no version step.  Panics on uncompressed layouts, as set_edge.
template <class R>
inline void init_edge(R& n, u128 label, std::uint64_t len) {
  if constexpr (!kCompressedLayout<R>) {
    (void)n, (void)label, (void)len;
    panic("set_edge called on an uncompressed node");
  } else if constexpr (kHalfLayout<R>) {
    half_modify(n, false, [&](HalfState& s) {
      s.label = label;
      s.length = len;
    });
  } else {
    n.label.hi.store(hi64(label), std::memory_order_relaxed);
    n.label.lo.store(lo64(label), std::memory_order_relaxed);
    if constexpr (kEdgeCacheLayout<R>) {
      if (len < 255) {
        n.hdr.edge_cache.byte.store(static_cast<std::uint8_t>(len), std::memory_order_relaxed);
        return;
      }
      n.hdr.edge_cache.byte.store(0xFF, std::memory_order_relaxed);
    }
    n.length.value.store(len > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(len), std::memory_order_relaxed);
  }
}

/// store_prefix for a node no reader can reach yet (see init_edge).
/// Throws std::bad_alloc on the half layout only (a side block).
template <class R>
inline void init_prefix(R& n, const IpPrefix& p) noexcept(!kHalfLayout<R>) {
  std::uint64_t w0, w1;
  std::memcpy(&w0, p.address.data(), 8);
  std::memcpy(&w1, p.address.data() + 8, 8);
  if constexpr (kHalfLayout<R>) {
    half_modify(n, false, [&](HalfState& s) { s.set_prefix(p); });
  } else if constexpr (kCompressedLayout<R>) {
    n.hdr.prefix_tag.store(static_cast<std::uint8_t>(p.family + 1), std::memory_order_relaxed);
    n.hdr.prefix_len.store(p.length, std::memory_order_relaxed);
    n.prefix.hi.store(w0, std::memory_order_relaxed);
    n.prefix.lo.store(w1, std::memory_order_relaxed);
  } else {
    n.prefix.present.store(1, std::memory_order_relaxed);
    n.prefix.family.store(p.family, std::memory_order_relaxed);
    n.prefix.length.store(p.length, std::memory_order_relaxed);
    n.prefix.a0.store(w0, std::memory_order_relaxed);
    n.prefix.a1.store(w1, std::memory_order_relaxed);
  }
}

/// The stored prefix, if any.
template <class R>
inline std::optional<IpPrefix> stored_prefix(const R& n) noexcept {
  if constexpr (kHalfLayout<R>) {
    return half_read(n).prefix();
  } else if constexpr (kCompressedLayout<R>) {
    struct Copy {
      std::uint8_t tag, length;
      std::uint64_t a0, a1;
    };
    const Copy c = n.lock.read([&] {
      return Copy{n.hdr.prefix_tag.load(kData), n.hdr.prefix_len.load(kData), n.prefix.hi.load(kData),
                  n.prefix.lo.load(kData)};
    });
    if (c.tag == 0) return std::nullopt;
    IpPrefix p;
    p.family = static_cast<std::uint8_t>(c.tag - 1);
    p.length = c.length;
    std::memcpy(p.address.data(), &c.a0, 8);
    std::memcpy(p.address.data() + 8, &c.a1, 8);
    return p;
  } else {
    return n.prefix.read();
  }
}

/// Stores `p` exactly as given.  Throws std::bad_alloc on the half layout
/// only, having stored nothing.
template <class R>
inline void store_prefix(R& n, const IpPrefix& p) noexcept(!kHalfLayout<R>) {
  if constexpr (kHalfLayout<R>) {
    half_modify(n, true, [&](HalfState& s) { s.set_prefix(p); });
  } else if constexpr (kCompressedLayout<R>) {
    std::uint64_t w0, w1;
    std::memcpy(&w0, p.address.data(), 8);
    std::memcpy(&w1, p.address.data() + 8, 8);
    n.lock.write([&] {
      n.hdr.prefix_tag.store(static_cast<std::uint8_t>(p.family + 1), kData);
      n.hdr.prefix_len.store(p.length, kData);
      n.prefix.hi.store(w0, kData);
      n.prefix.lo.store(w1, kData);
    });
  } else {
    n.prefix.write(p);
  }
}

/// Drops the stored prefix.
template <class R>
inline void clear_prefix(R& n) noexcept {
  if constexpr (kHalfLayout<R>) {
    // Never needs a side block: a path-form label without its prefix still
    // fits the path form (case 2), and a side block stays.
    HalfSpare none;
    int need = 0;
    n.lock.write([&] {
      HalfState s = half_read_locked(n);
      s.clear_prefix();
      need = half_store(n, s, none);
    });
    if (need != 0) panic("a half node's prefix could not be cleared");
  } else if constexpr (kCompressedLayout<R>) {
    n.lock.write([&] {
      n.hdr.prefix_tag.store(0, kData);
      n.hdr.prefix_len.store(0, kData);
      n.prefix.hi.store(0, kData);
      n.prefix.lo.store(0, kData);
    });
  } else {
    n.prefix.write(std::nullopt);
  }
}

/// The edge and the prefix of a node no reader can reach yet, in one step
/// (`p` null: no prefix).  On the half layout one step is also one form
/// decision, where init_edge then init_prefix would decide twice.
template <class R>
inline void init_edge_prefix(R& n, u128 label, std::uint64_t len, const IpPrefix* p) {
  if constexpr (kHalfLayout<R>) {
    half_init(n, HalfState::of(label, len, p));
  } else {
    init_edge(n, label, len);
    if (p) init_prefix(n, *p);
  }
}

/// What set_edge_prefix may need taken beforehand: side blocks on the half
/// layout, nothing on the others.
template <class R>
struct EdgeSpare {};
template <>
struct EdgeSpare<HalfLine> : HalfSpare {};

/// Takes what set_edge_prefix(n, label, len, p, spare) will need; writer
/// lock held.  Throws std::bad_alloc.
template <class R>
inline void reserve_edge_prefix(const R& n, u128 label, std::uint64_t len, const IpPrefix* p, EdgeSpare<R>& spare) {
  if constexpr (kHalfLayout<R>) {
    half_reserve(n, HalfState::of(label, len, p), spare);
  } else {
    (void)n, (void)label, (void)len, (void)p, (void)spare;
  }
}

/// A split's change of a linked node: the new edge and the prefix (`p`
/// null: none), which on the half layout readers see change in one step
/// (the shortened edge and the old, deeper prefix together fit no form).
/// Writer lock held, `spare` from reserve_edge_prefix.  Panics on
/// uncompressed layouts, as set_edge.
template <class R>
inline void set_edge_prefix(R& n, u128 label, std::uint64_t len, const IpPrefix* p,
                            EdgeSpare<R>& spare) noexcept(kCompressedLayout<R>) {
  if constexpr (kHalfLayout<R>) {
    int need = 0;
    const HalfState s = HalfState::of(label, len, p);
    n.lock.write([&] { need = half_store(n, s, spare); });
    if (need != 0) panic("a half node's side block was not reserved");
  } else {
    (void)spare;
    set_edge(n, label, len);
    if (p) store_prefix(n, *p);
    else clear_prefix(n);
  }
}

template <class R>
inline std::optional<std::uint8_t> prefix_len(const R& n) noexcept {
  if constexpr (kCompressedLayout<R>) return std::nullopt;
  else return n.plen.read();
}

template <class R>
inline void set_prefix_len(R& n, std::uint8_t v) noexcept {
  if constexpr (!kCompressedLayout<R>) n.plen.write(v);
}

/// Whether the node has a child on either side (inside a read section).
template <class R>
inline bool has_children(const R& n) noexcept {
  return n.kids.get(false) != nullptr || n.kids.get(true) != nullptr;
}

/// A new empty block of layout R, from the pool of its size.
template <class R>
inline R* new_node() {
  static_assert(sizeof(R) % 32 == 0 && sizeof(R) <= 128);
  void* block = node_pool(sizeof(R)).allocate();
  return ::new (block) R();
}

/// Blocks of layout R taken from their pool a batch at a time, for a
/// writer that makes many nodes in a row (a bulk load): one pool lock
/// round per kBatch nodes.  What is left when it is destroyed goes back.
template <class R>
class NodeSupply {
 public:
  NodeSupply() = default;
  ~NodeSupply() {
    for (std::size_t i = next_; i < have_; ++i) node_pool(sizeof(R)).deallocate(blocks_[i]);
  }
  NodeSupply(const NodeSupply&) = delete;
  NodeSupply& operator=(const NodeSupply&) = delete;

  /// A new empty block of layout R, as new_node.
  R* make() {
    if (next_ == have_) {
      node_pool(sizeof(R)).allocate_batch(blocks_, kBatch);
      next_ = 0;
      have_ = kBatch;
    }
    return ::new (blocks_[next_++]) R();
  }

 private:
  static constexpr std::size_t kBatch = 32;
  void* blocks_[kBatch];
  std::size_t next_ = 0, have_ = 0;
};

/// Destroys an unreachable node of layout R: drops its record and children.
template <class R>
inline void destroy_block(NodeHeader* h) noexcept {
  R* n = as<R>(h);
  n->value.teardown();
  n->kids.teardown();
  if constexpr (kHalfLayout<R>) half_teardown(*n);
  n->~R();
  node_pool(sizeof(R)).deallocate(n);
}

/// Calls f(static_cast<R*>(nullptr)) with R the layout of `kind`.
template <class F>
inline decltype(auto) with_layout(NodeKind kind, F&& f) {
  switch (kind) {
    case NodeKind::uncompressed_locked: return f(static_cast<UncompressedLocked*>(nullptr));
    case NodeKind::uncompressed_atomic: return f(static_cast<UncompressedAtomic*>(nullptr));
    case NodeKind::uncompressed_padded: return f(static_cast<UncompressedPadded*>(nullptr));
    case NodeKind::uncompressed_mapped: return f(static_cast<UncompressedMapped*>(nullptr));
    case NodeKind::compressed_locked: return f(static_cast<CompressedLocked*>(nullptr));
    case NodeKind::compressed_atomic: return f(static_cast<CompressedAtomic*>(nullptr));
    case NodeKind::compressed_padded: return f(static_cast<CompressedPadded*>(nullptr));
    case NodeKind::compressed_mapped: return f(static_cast<CompressedMapped*>(nullptr));
  }
  panic("unknown node kind");
}

}  // namespace netrove::trie
