// art/prefix_set.hpp - the entries an inner node holds itself.
//
// An inner node at depth d consumes key byte d.  A prefix whose length p
// lies in 8d .. 8d+7 ends inside that byte (or, for p = 8d, just before
// it): it has no child to hang under, because only its top r = p - 8d bits
// of byte d are fixed.  The node keeps such entries in a PrefixSet, keyed
// by r and those r bits, and a search checks them against the address byte
// on its way down.
//
// The 255 possible (r, bits) pairs are numbered as a heap over the byte's
// bits, position = (1 << r) | (byte >> (8 - r)):
//
//   r=0                      1                        (covers every byte)
//   r=1            2                   3              (0xxxxxxx, 1xxxxxxx)
//   r=2       4         5         6         7
//   ...
//   r=7   128 .. 255                                  (7 bits fixed)
//
// and for one byte b the positions that cover it are (0x100 | b) >> (8 - r),
// r = 7 .. 0: the path from a bottom slot up to the top.  A 256-bit bitmap
// marks the positions in use; the leaves sit in a dense array in position
// order, so the leaf of a set bit is at the rank of that bit (popcount of
// the bits below it).  The longest match for a byte is the first set bit on
// its path from r = 7 upward: at most eight bit tests and one rank.
//
// The array grows by doubling and never holds more than 255 leaves.
#pragma once

#include <cstdint>

#include "art/node.hpp"

namespace netrove::art {

struct PrefixSet {
  std::uint64_t bits[4];   ///< positions 1..255 in use (bit 0 never set)
  std::uint16_t count;     ///< leaves held
  std::uint16_t capacity;  ///< room in the array that follows the header
  // Followed by `capacity` Leaf pointers in position order.

  Leaf** leaves() noexcept { return reinterpret_cast<Leaf**>(this + 1); }
  Leaf* const* leaves() const noexcept { return reinterpret_cast<Leaf* const*>(this + 1); }
};
static_assert(sizeof(PrefixSet) % alignof(Leaf*) == 0, "the leaf array follows the header");

/// Position of the entry with `r` fixed bits (0..7) taken from `byte`.
inline unsigned prefix_position(unsigned r, std::uint8_t byte) noexcept { return (0x100u | byte) >> (8u - r); }

/// The leaf stored at `pos`, or null.  `set` may be null.
Leaf* prefix_set_find(const PrefixSet* set, unsigned pos) noexcept;

/// The leaf with the most fixed bits that covers `byte`, or null.  `set`
/// may be null.
const Leaf* prefix_set_longest(const PrefixSet* set, std::uint8_t byte) noexcept;

/// Stores `leaf` at `pos`, which must be free.  Creates or grows the set;
/// the result replaces `set`.
PrefixSet* prefix_set_add(PrefixSet* set, unsigned pos, Leaf* leaf);

/// Takes the leaf at `pos` out and returns it (null when absent).  Frees the
/// set when it becomes empty, writing null to `set`.
Leaf* prefix_set_take(PrefixSet*& set, unsigned pos) noexcept;

/// Frees the set and every leaf in it, records included.  Null is allowed.
void prefix_set_release(PrefixSet* set) noexcept;

/// Storage size in bytes of the set (0 for null).
std::size_t prefix_set_size(const PrefixSet* set) noexcept;

}  // namespace netrove::art
