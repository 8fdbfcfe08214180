// stride_node.hpp - one node of the read index: eight key bits, the
// prefixes that end inside them and the children below them, held in
// popcount-compressed arrays behind bitmaps.
//
// Base indices
// ------------
// The prefixes of local length l = 0..8 inside one octet form a complete
// binary tree of 511 positions.  A prefix of local length l whose leading l
// bits are v sits at base index (1 << l) | v, so its two extensions by one
// bit sit at 2i and 2i + 1 and every ancestor is found by shifting right:
//
//   l = 0                      1                 (the whole octet)
//   l = 1              2               3
//   l = 2          4       5       6       7
//   ...
//   l = 8   256 257 .................... 511      (one per octet value)
//
// A longer prefix has a larger index (index in [2^l, 2^(l+1))), so the longest
// prefix covering octet value b is the highest set bit of
//   prefix_bitmap AND covering(b),  covering(b) = {(256 + b) >> k : k = 0..8}.
//
// Node layout (96-byte header, then two arrays in one allocation)
// ---------------------------------------------------------------
//
//   0        32                                 96
//   +--------+----------------------------------+---------------+------------+
//   | kids   | prefixes                          | child[nk]     | record[np] |
//   | 256 bit| 512 bit (bit 0 unused)            | 8 B each      | 8 B each   |
//   +--------+----------------------------------+---------------+------------+
//   nk = popcount(kids), np = popcount(prefixes)
//
//   child[rank_kid(b)] is the node for the next octet when kids bit b is set;
//   record[rank_prefix(i)] is the record of the prefix at base index i.
//   rank = number of set bits below the position (popcount of the words
//   below it plus the masked word holding it).
//
// Which prefix sits where: a prefix of length L lives in the node at depth
// D = (L - 1) / 8 (D = 0 for L = 0) with local length l = L - 8 D, so l is 1..8
// below the root and 0..8 at the root; a prefix ending on an octet boundary
// (/8, /16, /24, /32, ...) is a full-octet position 256 + b of the node above
// the boundary, and a node exists only where some prefix is longer than its
// parent's octet.  Each prefix thus has exactly one place.
//
// Mutability: after a node is published only its child and record slots
// change (one atomic pointer store each); the bitmaps and the array sizes are
// fixed for the node's life.  Adding or removing a child or a prefix builds a
// new node (read_index.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "record/trie_record.hpp"

namespace netrove::index {

using trie::Record;

/// Base index of the prefix of local length `l` (0..8) whose leading l bits
/// are the leading l bits of `octet`.
constexpr unsigned base_index(unsigned octet, unsigned l) noexcept { return (1u << l) | (octet >> (8u - l)); }

/// Covering bitmaps for the positions of word 0 (local lengths 0..5): entry c
/// has the bits of every ancestor of position 64 + c, i.e. of the prefixes
/// of length 0..5 that cover the octets 4c .. 4c + 3.
struct CoverTable {
  std::uint64_t word0[64];
};
constexpr CoverTable make_cover_table() noexcept {
  CoverTable t{};
  for (unsigned c = 0; c < 64; ++c) {
    std::uint64_t m = 0;
    for (unsigned i = (64u + c) >> 1; i != 0; i >>= 1) m |= std::uint64_t{1} << i;
    t.word0[c] = m;
  }
  return t;
}
inline constexpr CoverTable kCover = make_cover_table();
static_assert(kCover.word0[0] == ((1ull << 1) | (1ull << 2) | (1ull << 4) | (1ull << 8) | (1ull << 16) | (1ull << 32)));
static_assert(kCover.word0[63] == ((1ull << 1) | (1ull << 3) | (1ull << 7) | (1ull << 15) | (1ull << 31) | (1ull << 63)));

struct alignas(16) StrideNode {
  std::uint64_t kids[4];      ///< bit b: a child for octet value b
  std::uint64_t prefixes[8];  ///< bit i: a prefix at base index i

  static constexpr bool test(const std::uint64_t* words, unsigned pos) noexcept {
    return ((words[pos >> 6] >> (pos & 63)) & 1u) != 0;
  }
  /// Set bits of `words` below `pos`.
  static unsigned rank(const std::uint64_t* words, unsigned pos) noexcept {
    unsigned r = 0;
    for (unsigned w = 0; w < (pos >> 6); ++w) r += static_cast<unsigned>(__builtin_popcountll(words[w]));
    return r + static_cast<unsigned>(__builtin_popcountll(words[pos >> 6] & ((std::uint64_t{1} << (pos & 63)) - 1)));
  }

  unsigned kid_count() const noexcept { return rank(kids, 255) + (test(kids, 255) ? 1u : 0u); }
  unsigned prefix_count() const noexcept { return rank(prefixes, 511) + (test(prefixes, 511) ? 1u : 0u); }
  bool empty() const noexcept {
    for (auto w : kids) if (w) return false;
    for (auto w : prefixes) if (w) return false;
    return true;
  }

  std::atomic<StrideNode*>* child_slots() noexcept { return reinterpret_cast<std::atomic<StrideNode*>*>(this + 1); }
  const std::atomic<StrideNode*>* child_slots() const noexcept {
    return reinterpret_cast<const std::atomic<StrideNode*>*>(this + 1);
  }
  std::atomic<Record*>* record_slots() noexcept {
    return reinterpret_cast<std::atomic<Record*>*>(child_slots() + kid_count());
  }
  const std::atomic<Record*>* record_slots() const noexcept {
    return reinterpret_cast<const std::atomic<Record*>*>(child_slots() + kid_count());
  }

  /// The child for octet `b`, or null.  Read section held.
  const StrideNode* child(unsigned b) const noexcept {
    if (!test(kids, b)) return nullptr;
    return child_slots()[rank(kids, b)].load(std::memory_order_acquire);
  }

  /// Base index of the longest prefix in this node covering octet `b`, or 0.
  /// Cases, longest first:
  ///   1. local length 8: position 256 + b, one bit in words 4..7;
  ///   2. local length 7: position 128 + b/2, one bit in words 2..3;
  ///   3. local length 6: position 64 + b/4, one bit of word 1;
  ///   4. local lengths 0..5: all in word 0; AND with the covering bitmap of
  ///      b/4 and take the highest set bit (63 - count of leading zeros).
  unsigned longest(unsigned b) const noexcept {
    if (test(prefixes, 256 + b)) return 256 + b;
    if (test(prefixes, 128 + (b >> 1))) return 128 + (b >> 1);
    if (test(prefixes, 64 + (b >> 2))) return 64 + (b >> 2);
    const std::uint64_t m = prefixes[0] & kCover.word0[b >> 2];
    return m ? 63u - static_cast<unsigned>(__builtin_clzll(m)) : 0u;
  }

  /// The record at base index `i` (its bit set).  Read section held.
  const Record* record_at(unsigned i) const noexcept {
    return record_slots()[rank(prefixes, i)].load(std::memory_order_acquire);
  }

  /// Bytes of a node with `kid_count` children and `prefix_count` prefixes.
  static constexpr std::size_t bytes_for(unsigned kid_count, unsigned prefix_count) noexcept {
    return sizeof(StrideNode) + 8u * (kid_count + prefix_count);
  }
};
static_assert(std::is_standard_layout_v<StrideNode>);
static_assert(sizeof(StrideNode) == 96 && offsetof(StrideNode, kids) == 0 && offsetof(StrideNode, prefixes) == 32);
static_assert(sizeof(std::atomic<StrideNode*>) == 8 && sizeof(std::atomic<Record*>) == 8 &&
              std::atomic<StrideNode*>::is_always_lock_free && std::atomic<Record*>::is_always_lock_free);

}  // namespace netrove::index
