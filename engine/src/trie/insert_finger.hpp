// insert_finger.hpp - where the last single insert walked, so that the next
// one can start near its end.
//
// A table loaded one insert at a time usually arrives sorted: consecutive
// keys share most of their leading bits, and each insert walks the same
// twenty-odd nodes from the root as the one before, one dependent load per
// level.  The finger keeps that walk's nodes with their depths (key bits
// consumed before the node):
//
//   key  = 1.0.128.0/24 (the last insert's key), fam = IPv4
//   path   root@0 -> A@97 -> B@104 -> C@112 -> D@119
//
//   next = 1.0.129.0/24: it shares 119 leading bits with key, so the walk
//   starts at D, the deepest node no deeper than 119.
//
// The finger's promise, for each entry (N, d): N is a live node of family
// fam at depth d, and its path from the root spells key's first d bits.  A
// node at depth d <= lcp(next, key) therefore also lies on next's path, and
// the walk may start there.
//
// Inserts keep the promise: an insert never frees or moves a node, a split
// in place keeps the split node at its depth (its lower part and children
// keep theirs), and new nodes are only added.  Anything else that changes
// the trie under the writer lock (remove, clear, a bulk load, a new root)
// may retire nodes, so it forgets the finger first (TrieRoots::Writing).
//
// Only the writer holding the trie's writer lock touches the finger.
#pragma once

#include <cstdint>

#include "trie/trie_key.hpp"

namespace netrove::trie {

struct NodeHeader;

class InsertFinger {
 public:
  /// Entries kept: the first kDepth nodes of a walk (deeper ones are
  /// walked again; a full IPv4 table's walks are shorter).
  static constexpr unsigned kDepth = 40;

  /// Forgets every entry: the next walk starts at the root.
  void forget() noexcept { n_ = 0; }

  /// Starts the walk of `key` / `len` in family `fam`: keeps the entries
  /// that lie on its path too and returns the deepest, with its depth in
  /// `depth`; null (walk from the root) when none does.  From here on the
  /// finger is `key`'s, and the walk reports each node it enters (enter).
  NodeHeader* resume(unsigned fam, u128 key, std::uint64_t len, std::uint64_t& depth) noexcept {
    if (n_ != 0 && fam == fam_) {
      const std::uint64_t limit = len < len_ ? len : len_;
      const std::uint64_t shared = first_difference(key, key_, limit);
      while (n_ != 0 && depth_[n_ - 1] > shared) --n_;
    } else {
      n_ = 0;
    }
    fam_ = fam;
    key_ = key;
    len_ = len;
    if (n_ == 0) return nullptr;
    depth = depth_[n_ - 1];
    return node_[n_ - 1];
  }

  /// Records that the walk entered `n` at depth `depth` (the root at 0
  /// included), deeper than every entry kept.
  void enter(NodeHeader* n, std::uint64_t depth) noexcept {
    if (n_ == kDepth) return;
    node_[n_] = n;
    depth_[n_] = static_cast<std::uint8_t>(depth);
    ++n_;
  }

 private:
  u128 key_ = 0;
  std::uint64_t len_ = 0;
  unsigned fam_ = 0;
  unsigned n_ = 0;
  NodeHeader* node_[kDepth];
  std::uint8_t depth_[kDepth];
};

}  // namespace netrove::trie
