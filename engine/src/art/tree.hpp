// art/tree.hpp - an adaptive radix tree of IP prefixes with
// longest-prefix search.
//
// The key of an entry is the prefix's address in network order (4 bytes
// for IPv4, 16 for IPv6) and its length p.  Every inner level consumes one
// key byte; the inner node at depth d branches on byte d.  Each family has
// its own root, so an IPv4 entry never meets an IPv6 key, whatever their
// leading bytes.
//
//   roots[IPv4]                      roots[IPv6]
//      |                                |
//   Node4 d=0  set {0.0.0.0/0}       Node4 d=0 ...
//      | 10
//   Node4 d=1  set {10.0.0.0/8, 10.0.0.0/12}      <- lengths 8..15
//      | 0              \ 1
//   Node4 d=2           Leaf 10.1.2.0/24
//      | 5   set {10.0.16.0/20}                   <- lengths 16..23
//   Leaf 10.0.5.0/24
//
// Where an entry of length p lives.  Let k = p / 8, the index of the byte in
// which the prefix ends (p = 8k is the boundary just before byte k).
//   - In the PrefixSet of the inner node at depth k on its path, when the
//     path reaches that deep: only the top p - 8k bits of byte k are fixed,
//     so the entry cannot sit under one child byte.  A set tests those bits
//     against the address byte, which is what makes a mid-byte prefix such
//     as 10.0.16.0/20 match 10.0.31.255 as well as 10.0.16.0.
//   - Otherwise as a Leaf in a child slot of an inner node at a depth
//     d < k, under byte d of its address: a whole byte of the prefix, so
//     every address that takes that branch agrees with it there.  A leaf
//     hangs as high as its path allows and moves down only when a later
//     entry needs the slot (insert case 5).
// Inner nodes thus hold entries of their own, and a prefix containing
// another (10.0.0.0/8 over 10.1.0.0/16, or any /0) has a place: the
// container sits in a set or leaf slot above the contained one.
//
// Search follows the address's bytes from the root down one path, never
// backtracking.  Every stored prefix that contains the address lies on
// that path - in the set of a node the path passes through, or as the leaf
// at its end - and deeper means longer: a set at depth d holds lengths
// 8d..8d+7, and a leaf under byte d is at least 8d+8 long.  So the search
// notes each set it passes (with the address byte it was passed at), and
// the answer is the leaf at the end if it matches, else the entry covering
// its byte in the deepest noted set that has one.  Deferring the look into
// the sets to the end spares a search that ends at a matching leaf - most
// of them, in a routing table - the memory traffic of the sets above it.
//
// Below the root, an inner node stands exactly where two entries or more
// share its path: insert builds it for the second one (case 5).  Remove
// keeps it so, and so leaves the tree as if the entry had never been
// inserted: a node left with one entry (one leaf child, or one set entry)
// gives way to that entry's leaf one level up, one left with none is
// freed, and the parent, having lost an entry itself, is checked the same
// way on the way back up.  Nodes also shrink to a smaller kind (node.hpp).
//
//   Node4 d=1  set {10.0.0.0/8}          Node4 d=1  set {10.0.0.0/8}
//      | 1                                  | 1
//   Node4 d=2             remove           Leaf 10.1.2.0/24
//      | 2       \ 3      10.1.3.0/24
//   Leaf          Leaf     ---->      the d=2 node is left with one entry:
//   10.1.2.0/24   10.1.3.0/24         it is freed and its leaf moves up;
//                                     d=1 keeps two entries and stays
//
// The tree keeps no count and takes no locks; AdaptiveEngine does both.
// Its writers hold the engine's write lock, which excludes every search,
// so a freed node is freed at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "art/node.hpp"
#include "netrove/record.hpp"

namespace netrove::art {

/// Node and byte counts of a tree, for tests and benchmarks.
struct TreeCensus {
  std::uint64_t node4 = 0, node16 = 0, node48 = 0, node256 = 0;
  std::uint64_t leaves = 0;       ///< every stored entry, in slots and in sets
  std::uint64_t set_leaves = 0;   ///< the entries held in PrefixSets
  std::uint64_t prefix_sets = 0;
  std::uint64_t bytes = 0;        ///< node, leaf and set storage, records excluded
};

class AdaptiveRadixTree {
 public:
  /// A tree with an empty Node4 root for each family.
  AdaptiveRadixTree();
  ~AdaptiveRadixTree();
  AdaptiveRadixTree(const AdaptiveRadixTree&) = delete;
  AdaptiveRadixTree& operator=(const AdaptiveRadixTree&) = delete;

  /// Stores the prefix of `family` (kIpv4 or kIpv6) whose address is `addr`
  /// (4 or 16 bytes; bits beyond `prefix_len` ignored) with `record`.
  /// Result: true when a new entry was added, false when the record of an
  /// existing entry for the same prefix was replaced.  Panics, changing
  /// nothing, on an unknown family or a length beyond the family's width.
  bool insert(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len, RecordRef record);

  /// The record of the longest stored prefix of `family` that contains the
  /// address `addr` (4 or 16 bytes), or null.  The pointer is valid until
  /// the next change.  Panics on an unknown family.
  const StoredRecord* search(std::uint8_t family, const std::uint8_t* addr) const;

  /// Takes out the entry for exactly this prefix and returns its record,
  /// or null when there is none; the nodes around it collapse and shrink
  /// as described above.  Panics as insert does.
  RecordRef remove(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len);

  /// The record stored for exactly this prefix, or null.  Panics as insert.
  const StoredRecord* find_exact(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len) const;

  /// Appends to `out` the leaves of every stored prefix of `family` that
  /// contains the address `addr` (4 or 16 bytes), shortest first: the set
  /// entries covering the address byte of each node on the search path,
  /// then the leaf at its end when it matches.  The pointers are valid
  /// until the next change.  Panics on an unknown family.
  void covering(std::uint8_t family, const std::uint8_t* addr, std::vector<const Leaf*>& out) const;

  /// Appends to `out` the leaves of every stored prefix inside the prefix
  /// (family, addr, prefix_len), that prefix included, ordered by key, then
  /// a shorter prefix before a longer one.  Valid until the next change.
  /// Panics as insert does.
  void covered(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len,
               std::vector<const Leaf*>& out) const;

  /// Releases every entry; each family's root becomes an empty Node4.
  void clear() noexcept;

  /// The root of `family` (never null).
  const ArtNode* root(std::uint8_t family) const;

  /// Counts the nodes and the bytes they occupy.
  TreeCensus census() const;

 private:
  ArtNode* roots_[2];
};

}  // namespace netrove::art
