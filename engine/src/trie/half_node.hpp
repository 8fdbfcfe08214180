// half_node.hpp - kind 4's node in half a cache line.
//
// A routing table's compressed trie has about 1.8 nodes per prefix, and a
// 64-byte node spends half its line on two 16-byte copies of key bits: the
// edge label, and the address of the prefix the node ends.  In an IPv4
// trie both are bits of one 128-bit key (96 zero bits, then the address),
// so one 32-bit word of the key's path carries both, and the node fits
// 32 bytes:
//
//   kind 4 HalfLine                                           32 bytes
//   +------+----+---+---+---+---------+---------+---------+-----+-----+
//   | refs |kind| n | t | d | version |    w    |  value  |  l  |  r  |
//   0      4    5   6   7   8         12        16        24    28    32
//   n: edge length (0xFF: kept in the long side block)
//   t: bits 0-1 the prefix's family + 1 (0 = no prefix),
//      bit 7 side form, bit 6 the side block is the long one
//   d: path form, the depth where the node's path ends;
//      side form, the stored prefix's length
//   w: path form, the path's key bits 96-127; side form, the side block's
//      NodeIndex
//   version: guards n (written), t, d, w and the side block's words;
//      value and the children are published words, as in every layout.
//
// Path form.  The node's path is the key P = 96 zero bits, then w, of which
// the first d bits count.  Its edge is the last n of them, bits [d - n, d)
// of P, and its prefix (when t says one is there) is IPv4, length d - 96,
// address w.  A state fits the path form when:
//   1. it has a prefix: the prefix is IPv4, at most /32, with its host bits
//      and the address bytes past 4 zero (as every prefix a trie stores),
//      d = 96 + its length, w its address, and the label is bits [d - n, d)
//      of that path, with nothing set past n;
//   2. it has none: d = 128 and w = the label's n bits read as a number,
//      which must fit 32 bits (every IPv4 edge's does: its bits are at most
//      96 zeros, then address bits).
// IPv6 nodes with a prefix, and whatever else the node interface stores
// (prefixes as written, labels with stray bits), take the side form:
//
//   short side block, 32 bytes      long side block, 64 bytes
//   +----------+----------+          +---------------------+--------+------+
//   | label    | address  |          | short block's words | length | prev |
//   | (2 x 64) | (2 x 64) |          |                     |  (64)  | (32) |
//   +----------+----------+          +---------------------+--------+------+
//
// The long one holds an edge length of 255 or more (out of a trie's range;
// only the node interface writes one).  A node takes a side block the
// first time a state does not fit the path form and keeps it for its life:
// a reader may have read the side index under an earlier version, so a
// block freed before the node could be read after its reuse.  A short block
// outgrown by a long length hangs off the long one ("prev") for the same
// reason.  Both are freed with the node.
//
// Every write reads the whole state, changes it, and writes the form that
// holds the result, under the version word.  A write that needs a side
// block it does not have stores nothing (the version steps, readers copy
// again), takes the block outside the lock and tries again; so a write can
// throw std::bad_alloc before it changes anything.  A trie step that must
// not fail halfway reserves the block first (HalfSpare).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "netrove/types.hpp"
#include "sync/panic.hpp"
#include "trie/node_fields.hpp"
#include "trie/node_pool.hpp"
#include "trie/trie_key.hpp"

namespace netrove::trie {

struct alignas(32) HalfLine {
  static constexpr NodeKind kKind = NodeKind::compressed_locked;
  NodeHeader hdr{kKind};  // n = hdr.edge_cache, t = hdr.prefix_tag, d = hdr.prefix_len
  VersionLock lock;
  std::atomic<std::uint32_t> word{0};
  ValueSlot value;
  IndexChildPair kids;
};

struct alignas(32) ShortSide {
  std::atomic<std::uint64_t> label_hi{0}, label_lo{0}, addr0{0}, addr1{0};
};
struct alignas(64) LongSide {
  ShortSide words;
  std::atomic<std::uint64_t> length{0};
  std::atomic<NodeIndex> prev{0};
};

static_assert(std::is_standard_layout_v<HalfLine> && sizeof(HalfLine) == 32 && alignof(HalfLine) == 32);
static_assert(offsetof(HalfLine, lock) == 8 && offsetof(HalfLine, word) == 12 && offsetof(HalfLine, value) == 16 &&
              offsetof(HalfLine, kids) == 24);
static_assert(sizeof(ShortSide) == 32 && sizeof(LongSide) == 64 && offsetof(LongSide, words) == 0);

/// A half node's edge and prefix, whichever form holds them.
struct HalfState {
  u128 label = 0;
  std::uint64_t length = 0;
  std::uint8_t tag = 0;  // family + 1, 0 = no prefix
  std::uint8_t plen = 0;
  std::uint64_t a0 = 0, a1 = 0;  // the prefix's address bytes as two words

  void set_prefix(const IpPrefix& p) noexcept {
    tag = static_cast<std::uint8_t>(p.family + 1);
    plen = p.length;
    std::memcpy(&a0, p.address.data(), 8);
    std::memcpy(&a1, p.address.data() + 8, 8);
  }
  void clear_prefix() noexcept { tag = plen = 0, a0 = a1 = 0; }
  /// The state of an edge and an optional prefix (`p` null: none).
  static HalfState of(u128 label, std::uint64_t length, const IpPrefix* p) noexcept {
    HalfState s;
    s.label = label;
    s.length = length;
    if (p) s.set_prefix(*p);
    return s;
  }
  std::optional<IpPrefix> prefix() const noexcept {
    if (tag == 0) return std::nullopt;
    IpPrefix p;
    p.family = static_cast<std::uint8_t>(tag - 1);
    p.length = plen;
    std::memcpy(p.address.data(), &a0, 8);
    std::memcpy(p.address.data() + 8, &a1, 8);
    return p;
  }
};

namespace half_detail {

inline constexpr std::uint8_t kSide = 0x80, kLong = 0x40, kFamily = 0x03;
/// Stored lengths saturate here, as EdgeLength32's do.
inline constexpr std::uint64_t kMaxLength = 0xFFFFFFFFu;

inline ShortSide* short_at(std::uint32_t w) noexcept { return static_cast<ShortSide*>(block_at(w)); }
inline LongSide* long_at(std::uint32_t w) noexcept { return static_cast<LongSide*>(block_at(w)); }

/// The state of the path form (t, n, d, w).
inline HalfState from_path(std::uint8_t t, std::uint8_t n, std::uint8_t d, std::uint32_t w) noexcept {
  HalfState s;
  s.length = n;
  // Bits [d - n, d) of P lead after a shift by d - n; P's bits past d are 0.
  s.label = shl(u128{w}, std::uint64_t{d} - n);
  if (t != 0) {
    s.tag = t;
    s.plen = static_cast<std::uint8_t>(d - 96);
    const std::uint32_t be = __builtin_bswap32(w);
    std::memcpy(&s.a0, &be, 4);
  }
  return s;
}

/// Whether `s` fits the path form (cases 1 and 2 above); sets d and w.
inline bool fits_path(const HalfState& s, std::uint8_t& d, std::uint32_t& w) noexcept {
  if (s.length > 128) return false;
  if (s.tag != 0) {  // 1.
    if (s.tag != kIpv4 + 1 || s.plen > 32 || s.a1 != 0 || (s.a0 >> 32) != 0) return false;
    std::uint32_t be;
    std::memcpy(&be, &s.a0, 4);
    w = __builtin_bswap32(be);
    if (s.plen < 32 && (w << s.plen) != 0) return false;  // host bits
    d = static_cast<std::uint8_t>(96 + s.plen);
    if (s.length > d) return false;
  } else {  // 2.
    const u128 number = s.length == 0 ? u128{0} : s.label >> (128 - s.length);
    if (number >> 32 != 0) return false;
    w = static_cast<std::uint32_t>(number);
    d = 128;
  }
  return shl(u128{w}, std::uint64_t{d} - s.length) == s.label;
}

/// The state of the side form (t, n, d, and the block w names).
inline HalfState from_side(std::uint8_t t, std::uint8_t n, std::uint8_t d, std::uint32_t w) noexcept {
  const ShortSide& b = *short_at(w);
  HalfState s;
  s.label = make128(b.label_hi.load(kData), b.label_lo.load(kData));
  s.a0 = b.addr0.load(kData);
  s.a1 = b.addr1.load(kData);
  s.length = (t & kLong) ? long_at(w)->length.load(kData) : n;
  s.tag = t & kFamily;
  s.plen = d;
  return s;
}

}  // namespace half_detail

/// Side blocks a write may need, taken before it: what the write does not
/// use goes back to the pool.
struct HalfSpare {
  ShortSide* short_block = nullptr;
  LongSide* long_block = nullptr;

  HalfSpare() = default;
  HalfSpare(const HalfSpare&) = delete;
  HalfSpare& operator=(const HalfSpare&) = delete;
  ~HalfSpare() {
    if (short_block) node_pool(sizeof(ShortSide)).deallocate(short_block);
    if (long_block) node_pool(sizeof(LongSide)).deallocate(long_block);
  }
  /// Takes the block `need` names (1 short, 2 long) unless held.  Throws
  /// std::bad_alloc.
  void provide(int need) {
    if (need == 1 && !short_block) short_block = ::new (node_pool(sizeof(ShortSide)).allocate()) ShortSide();
    if (need == 2 && !long_block) long_block = ::new (node_pool(sizeof(LongSide)).allocate()) LongSide();
  }
};

/// The whole state, copied under the version word.  Any thread.
inline HalfState half_read(const HalfLine& n) noexcept {
  using namespace half_detail;
  for (;;) {
    const std::uint32_t v = n.lock.begin_read();
    if (v & 1u) {
      cpu_relax();
      continue;
    }
    const std::uint8_t t = n.hdr.prefix_tag.load(kData), len = n.hdr.edge_cache.byte.load(kData),
                       d = n.hdr.prefix_len.load(kData);
    const std::uint32_t w = n.word.load(kData);
    if (!(t & kSide)) {
      if (n.lock.still(v)) return from_path(t, len, d, w);
      continue;
    }
    // w names a side block only if t said so in the same state: check
    // before following it.
    if (!n.lock.still(v)) continue;
    const HalfState s = from_side(t, len, d, w);
    if (n.lock.still(v)) return s;
  }
}

/// The edge length: one byte but for lengths of 255 or more.  Any thread.
inline std::uint64_t half_length(const HalfLine& n) noexcept {
  const std::uint8_t len = n.hdr.edge_cache.byte.load(std::memory_order_acquire);
  return len != 0xFF ? len : half_read(n).length;
}

namespace half_detail {

/// Stores `s` in the path form if the node has no side block and `s` fits
/// it; writers excluded.  The common case, inline.
inline bool store_path(HalfLine& n, const HalfState& s) noexcept {
  if (n.hdr.prefix_tag.load(std::memory_order_relaxed) & kSide) return false;
  std::uint8_t d;
  std::uint32_t w;
  if (!fits_path(s, d, w)) return false;
  n.hdr.prefix_tag.store(s.tag, kData);
  n.hdr.edge_cache.byte.store(static_cast<std::uint8_t>(s.length), kData);
  n.hdr.prefix_len.store(d, kData);
  n.word.store(w, kData);
  return true;
}

/// half_store's side form, out of line.
[[gnu::noinline]] inline int store_side(HalfLine& n, const HalfState& in, HalfSpare& spare) noexcept {
  HalfState s = in;
  if (s.length > kMaxLength) s.length = kMaxLength;
  std::uint8_t t = n.hdr.prefix_tag.load(std::memory_order_relaxed);
  if (!(t & kSide)) {
    if (s.length >= 255) {
      if (!spare.long_block) return 2;
      n.word.store(index_of(spare.long_block), kData);
      spare.long_block = nullptr;
      t = kSide | kLong;
    } else {
      if (!spare.short_block) return 1;
      n.word.store(index_of(spare.short_block), kData);
      spare.short_block = nullptr;
      t = kSide;
    }
  } else if (!(t & kLong) && s.length >= 255) {
    if (!spare.long_block) return 2;
    LongSide* l = spare.long_block;
    spare.long_block = nullptr;
    const std::uint32_t old = n.word.load(std::memory_order_relaxed);
    l->prev.store(old, std::memory_order_relaxed);
    n.word.store(index_of(l), kData);
    t |= kLong;
  }
  const std::uint32_t w = n.word.load(std::memory_order_relaxed);
  ShortSide& b = *short_at(w);
  b.label_hi.store(hi64(s.label), kData);
  b.label_lo.store(lo64(s.label), kData);
  b.addr0.store(s.a0, kData);
  b.addr1.store(s.a1, kData);
  if (t & kLong) long_at(w)->length.store(s.length, kData);
  n.hdr.edge_cache.byte.store((t & kLong) ? std::uint8_t{0xFF} : static_cast<std::uint8_t>(s.length), kData);
  n.hdr.prefix_tag.store(static_cast<std::uint8_t>((t & (kSide | kLong)) | s.tag), kData);
  n.hdr.prefix_len.store(s.plen, kData);
  return 0;
}

}  // namespace half_detail

/// Stores `s` in the form that holds it, with writers excluded (or on a
/// node no reader can reach).  Returns 0, or the side block it lacks in
/// `spare` (1 short, 2 long), having stored nothing.
inline int half_store(HalfLine& n, const HalfState& s, HalfSpare& spare) noexcept {
  if (half_detail::store_path(n, s)) return 0;
  return half_detail::store_side(n, s, spare);
}

/// The state as a writer of the node sees it (writers excluded).
inline HalfState half_read_locked(const HalfLine& n) noexcept {
  using namespace half_detail;
  const std::uint8_t t = n.hdr.prefix_tag.load(std::memory_order_relaxed);
  const std::uint32_t w = n.word.load(std::memory_order_relaxed);
  const std::uint8_t len = n.hdr.edge_cache.byte.load(std::memory_order_relaxed);
  const std::uint8_t d = n.hdr.prefix_len.load(std::memory_order_relaxed);
  return (t & kSide) ? from_side(t, len, d, w) : from_path(t, len, d, w);
}

/// Changes the state with `change(HalfState&)` under the version word
/// (`published`) or with plain stores (a node no reader can reach).  Throws
/// std::bad_alloc, having changed nothing, when a side block is needed and
/// none can be had.
template <class Change>
inline void half_modify(HalfLine& n, bool published, Change&& change) {
  HalfSpare spare;
  for (;;) {
    int need = 0;
    auto step = [&] {
      HalfState s = half_read_locked(n);
      change(s);
      need = half_store(n, s, spare);
    };
    if (published) n.lock.write(step);
    else step();
    if (need == 0) return;
    spare.provide(need);
  }
}

/// Writes `s` to a node no reader can reach: four plain stores when the
/// node has no side block and `s` fits the path form (a new node's case).
/// Throws std::bad_alloc, as half_modify.
inline void half_init(HalfLine& n, const HalfState& s) {
  if (half_detail::store_path(n, s)) return;
  half_modify(n, false, [&](HalfState& x) { x = s; });
}

/// The side blocks a write of `s` to `n` would need that `n` lacks, taken
/// now; writer lock held, so that nothing else writes `n` in between.
/// Throws std::bad_alloc.
inline void half_reserve(const HalfLine& n, HalfState s, HalfSpare& spare) {
  using namespace half_detail;
  if (s.length > kMaxLength) s.length = kMaxLength;
  const std::uint8_t t = n.hdr.prefix_tag.load(std::memory_order_relaxed);
  std::uint8_t d;
  std::uint32_t w;
  if (!(t & kSide) && fits_path(s, d, w)) return;
  if (s.length >= 255) {
    if (!(t & kLong)) spare.provide(2);
  } else if (!(t & kSide)) {
    spare.provide(1);
  }
}

/// Node teardown: the side blocks go back to their pools.
inline void half_teardown(HalfLine& n) noexcept {
  using namespace half_detail;
  const std::uint8_t t = n.hdr.prefix_tag.load(std::memory_order_relaxed);
  if (!(t & kSide)) return;
  const std::uint32_t w = n.word.load(std::memory_order_relaxed);
  if (t & kLong) {
    LongSide* l = long_at(w);
    if (const NodeIndex prev = l->prev.load(std::memory_order_relaxed)) {
      short_at(prev)->~ShortSide();
      node_pool(sizeof(ShortSide)).deallocate(short_at(prev));
    }
    l->~LongSide();
    node_pool(sizeof(LongSide)).deallocate(l);
  } else {
    short_at(w)->~ShortSide();
    node_pool(sizeof(ShortSide)).deallocate(short_at(w));
  }
}

}  // namespace netrove::trie
