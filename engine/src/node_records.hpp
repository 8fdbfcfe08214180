// node_records.hpp - the eight node layouts and the field operations the
// tries use on them.
//
// Every record is 64-byte aligned and starts with an 8-byte NodeHeader
// (owner count and kind; lookups never read it).  The fields follow in the
// order below; byte offsets are checked by static_asserts at the end.
//
//   kind 0 LockedNode (uncompressed)                     64 bytes
//   +------+--------+--------+--------+------+-----------------+
//   | hdr  | plen v | left   | right  | value| prefix v        |
//   0      8        16       24       32     40                64
//
//   kind 1 AtomicNode: plen is one atomic byte at 8          64 bytes
//   kind 2 PaddedNode: kind 0 with a 64-byte pad after plen 128 bytes
//   kind 3 MappedNode: atomic plen byte, then a ChildMap     64 bytes
//          (cds_lfht pointer + seed) in place of left/right; the table
//          itself is allocated with the first child
//
//   kind 4 LockedNode (compressed)                          128 bytes
//   +------+----------------+-----+------+------+------+---------------+
//   | hdr  | label v (2x64) | len | value| left | right| prefix v      |
//   0      8                32    40     48     56     64              88
//   |<------------- first cache line: all a lookup reads ------------>|
//
//   kind 5 AtomicNode: kind 4 with the edge-length cache byte at offset 5,
//          in the header's padding ahead of the label    128 bytes
//   kind 6 PaddedNode: kind 4 with a 64-byte pad after label 192 bytes
//   kind 7 MappedNode: kind 4 with a ChildMap for left/right 128 bytes
//
//   A compressed lookup reads, per level, the label, the length, the record
//   pointer and one child link, and never the stored prefix (the path fixes
//   it).  So the prefix sits after the children, on the second line, and the
//   length is a single atomic word without a version word (node_fields.hpp):
//   that is what makes each level of a kind-4 or kind-5 walk one cache line
//   instead of two.
//
//   "v" marks a version-locked field (node_fields.hpp).  value and the child
//   links are published pointers, len an atomic word.
//
// The tries reach the fields through the function templates below, which
// compile to the field access of each layout; a layout without a field
// behaves as the node interface says (no edge on uncompressed kinds, no
// prefix length on compressed ones, set_edge on an uncompressed kind panics).
#pragma once

#include <cstddef>
#include <new>

#include "netrove/panic.hpp"
#include "node_fields.hpp"
#include "node_pool.hpp"

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

/// Kinds 4 and 5 share one layout; kind 5 also uses hdr.edge_cache.
template <NodeKind K>
struct alignas(64) CompressedPairNode {
  static constexpr NodeKind kKind = K;
  NodeHeader hdr{kKind};
  LockedLabel label;
  AtomicLength length;
  ValueSlot value;
  ChildPair kids;
  LockedPrefix prefix;
};
using CompressedLocked = CompressedPairNode<NodeKind::compressed_locked>;
using CompressedAtomic = CompressedPairNode<NodeKind::compressed_atomic>;

struct alignas(64) CompressedPadded {
  static constexpr NodeKind kKind = NodeKind::compressed_padded;
  NodeHeader hdr{kKind};
  LockedLabel label;
  PadBlock pad;
  AtomicLength length;
  ValueSlot value;
  ChildPair kids;
  LockedPrefix prefix;
};

struct alignas(64) CompressedMapped {
  static constexpr NodeKind kKind = NodeKind::compressed_mapped;
  NodeHeader hdr{kKind};
  LockedLabel label;
  AtomicLength length;
  ValueSlot value;
  ChildMap kids;
  LockedPrefix prefix;
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
NETROVE_LAYOUT(CompressedLocked, 128)
NETROVE_LAYOUT(CompressedAtomic, 128)
NETROVE_LAYOUT(CompressedPadded, 192)
NETROVE_LAYOUT(CompressedMapped, 128)
#undef NETROVE_LAYOUT

static_assert(offsetof(UncompressedLocked, plen) < offsetof(UncompressedLocked, kids) &&
              offsetof(UncompressedLocked, kids) < offsetof(UncompressedLocked, value) &&
              offsetof(UncompressedLocked, value) < offsetof(UncompressedLocked, prefix));
static_assert(offsetof(UncompressedPadded, pad) == offsetof(UncompressedPadded, plen) + sizeof(LockedPrefixLen));
static_assert(offsetof(UncompressedPadded, kids) == offsetof(UncompressedPadded, pad) + 64);
static_assert(offsetof(UncompressedMapped, plen) < offsetof(UncompressedMapped, kids) &&
              offsetof(UncompressedMapped, kids) < offsetof(UncompressedMapped, value));
// What a compressed lookup reads per level shares the first cache line.
template <class R>
inline constexpr bool kHotFieldsInFirstLine =
    offsetof(R, label) == 8 && offsetof(R, length) == 32 && offsetof(R, value) == 40 &&
    offsetof(R, kids) == 48 && offsetof(R, kids) + sizeof(R::kids) == 64 && offsetof(R, prefix) == 64;
static_assert(kHotFieldsInFirstLine<CompressedLocked>);
static_assert(kHotFieldsInFirstLine<CompressedAtomic>);
static_assert(kHotFieldsInFirstLine<CompressedMapped>);
static_assert(offsetof(CompressedPadded, pad) == offsetof(CompressedPadded, label) + sizeof(LockedLabel) &&
              offsetof(CompressedPadded, length) == offsetof(CompressedPadded, pad) + 64 &&
              offsetof(CompressedPadded, kids) < offsetof(CompressedPadded, prefix));

// ---------------------------------------------------------------------------
// Traits and field operations.

template <class R>
inline constexpr bool kCompressedLayout = requires(R r) { r.label; };
template <class R>
inline constexpr bool kEdgeCacheLayout = R::kKind == NodeKind::compressed_atomic;
template <class R>
inline constexpr bool kLockedPlenLayout = std::is_same_v<decltype(R::plen), LockedPrefixLen>;

/// The record of a node header known to be of layout R.
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
  if constexpr (kCompressedLayout<R>) return n.label.read();
  else return 0;
}

/// Edge length (0 on uncompressed layouts); kind 5 reads its cache byte first.
template <class R>
inline std::uint64_t edge_length(const R& n) noexcept {
  if constexpr (kEdgeCacheLayout<R>) {
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
  } else {
    n.label.write(label);
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

/// A new empty record of layout R, from the pool of its size.
template <class R>
inline R* new_node() {
  static_assert(sizeof(R) % 64 == 0 && sizeof(R) <= 192);
  void* block = node_pool(sizeof(R)).allocate();
  return ::new (block) R();
}

/// Destroys an unreachable node of layout R: drops its record and children.
template <class R>
inline void destroy_record(NodeHeader* h) noexcept {
  R* n = as<R>(h);
  n->value.teardown();
  n->kids.teardown();
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
