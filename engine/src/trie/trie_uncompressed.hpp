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
// Remove, numbered as in the code.  Every node outside the root holds a
// record or leads to one, as if only what is stored had ever been inserted:
//   1. walk the key's path from the root, keeping every node on it.  A
//      missing child, or no record at the end: nothing removed.
//   2. take the record out (from here on a lookup misses the prefix).
//   3. prune: from the exact node upward, the nodes that now hold no record
//      and have no child besides the one on the path form an empty chain;
//      cutting the link to its top node, in one store, drops the chain.
//      The chain stops below the first node that holds a record, has
//      another child, or is the root.
//
//   root                         root
//    |0                           |0
//    a = 10.0.0.0/7               a = 10.0.0.0/7
//    |0        \1                   \1
//    b          z = ...   ---->       z = ...
//    |1                 (b, c, d: one chain, cut above b)
//    c
//    |0
//    d = 10.2.0.0/9 (taken)
//
// The cut chain is retired with its top node's last link; each node frees
// its child when it is destroyed, after every reader that could see it.
//
// Writers (insert, remove, clear) run under the trie's writer lock inside a
// read section; lookups and exact tests only inside a read section.  Every
// change a reader can see is one pointer store: a new child is fully built
// before it is linked, a record is published or taken in one step, a pruned
// chain is cut by one link, and clear swaps in a fresh root.  A concurrent lookup therefore sees every node
// either before or after a change.
#pragma once

#include <memory>

#include "trie/node_blocks.hpp"
#include "trie/trie_exact_ops.hpp"
#include "trie/trie_roots.hpp"

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
    store_prefix(*n, p);
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

  /// Takes the record stored for exactly `p` out and prunes the chain it
  /// leaves empty (cases in the header); the caller owns the result, null
  /// when nothing was stored.  Writer lock and a read section held.
  static Record* remove(TrieRoots& t, const IpPrefix& p) noexcept {
    const PrefixKey k = uncompressed_key(p);
    // 1. The path: path[i] is the node of the key's first i bits.
    R* path[129];
    path[0] = as<R>(t.root(family_index(p.family)));
    for (std::uint64_t i = 0; i < k.length; ++i) {
      path[i + 1] = as<R>(path[i]->kids.get(bit(k.key, i)));
      if (!path[i + 1]) return nullptr;
    }
    Record* out = path[k.length]->value.take();  // 2
    if (!out) return nullptr;
    // 3. top: the highest node of the empty chain ending at the exact node.
    // One cut, one retirement on the writer's side; the chain's nodes free
    // each other in the reclamation that follows.
    std::uint64_t top = k.length;
    if (top == 0 || has_children(*path[top])) return out;
    while (top > 1) {
      const R* up = path[top - 1];
      if (up->value.get() != nullptr || up->kids.get(!bit(k.key, top - 1)) != nullptr) break;
      --top;
    }
    path[top - 1]->kids.set(bit(k.key, top - 1), nullptr);
    return out;
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
