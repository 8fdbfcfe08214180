// trie_uncompressed.hpp - the uncompressed binary trie: one node per key bit.
//
//   root (empty prefix)            key bits of 10.0.0.0/8: 00001010
//    |0
//    o                             the node reached by bits 0..k-1 of a key
//    |0                            stands for the first k bits; an entry
//    o   ...                       lives in the node where its key ends
//    |0
//    o --1--> o --0--> o --1--> o --0--> [10.0.0.0/8]
//
// Every family has its own root (TrieRoots), so the node a path leads to
// stands for exactly one prefix: every entry met on an address's path covers
// the address, and the deepest one is the answer.  The stored IpPrefix is
// kept for the node interface; lookups need not read it.
//
// Writers (insert, remove, clear) run under the trie's writer lock inside a
// read section; lookups and exact tests only inside a read section.  Every
// change a reader can see is one pointer store: a new child is fully built
// before it is linked, a record is published or taken in one step, and clear
// swaps in a fresh root.  A concurrent lookup therefore sees every node
// either before or after a change.
#pragma once

#include <memory>

#include "node_records.hpp"
#include "trie_exact_ops.hpp"
#include "trie_roots.hpp"

namespace netrove::trie {

template <class R>
struct UncompressedTrie : ExactNodeOps<UncompressedTrie<R>, R> {
  /// Stores `rec` for `p` (taking it over); true when the prefix is new.
  static bool insert(TrieRoots& t, const IpPrefix& p, std::unique_ptr<Record>& rec) {
    const PrefixKey k = uncompressed_key(p);
    R* n = as<R>(t.root(family_index(p.family)));
    for (std::uint64_t i = 0; i < k.length; ++i) {
      const bool b = bit(k.key, i);
      NodeHeader* c = n->kids.get(b);
      if (!c) {
        c = &new_node<R>()->hdr;
        n->kids.set(b, c);
      }
      n = as<R>(c);
    }
    const bool existed = n->value.get() != nullptr;
    n->prefix.write(p);
    n->value.set(rec.release());
    return !existed;
  }

  /// The deepest record on the path of `a`, or null.  Read section held.
  static const Record* lookup(const TrieRoots& t, const IpAddress& a) noexcept {
    const u128 key = uncompressed_key(a);
    const unsigned width = family_bits(a.family);
    const R* n = as<R>(t.root(family_index(a.family)));
    const Record* best = nullptr;
    for (unsigned depth = 0;; ++depth) {
      if (const Record* v = n->value.get()) best = v;
      if (depth >= width) break;
      const NodeHeader* c = n->kids.get(bit(key, depth));
      if (!c) break;
      n = as<R>(c);
    }
    return best;
  }

  /// The node where the key of `p` ends, or null when the path is missing.
  static R* find(const TrieRoots& t, const IpPrefix& p) noexcept {
    const PrefixKey k = uncompressed_key(p);
    R* n = as<R>(t.root(family_index(p.family)));
    for (std::uint64_t i = 0; i < k.length && n; ++i) n = as<R>(n->kids.get(bit(k.key, i)));
    return n;
  }
};

}  // namespace netrove::trie
