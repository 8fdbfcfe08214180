// trie_exact_ops.hpp - the trie operations that only need the node where a
// prefix's key ends.  Both tries derive them from their own `find`; remove,
// which also reshapes the nodes around that one, is each trie's own.
#pragma once

#include "trie/node_blocks.hpp"
#include "trie/trie_roots.hpp"

namespace netrove::trie {

/// Contains-prefix and clear for a trie `Trie` of layout R whose static
/// `find(t, p)` returns the node where the key of `p` ends, or null.
template <class Trie, class R>
struct ExactNodeOps {
  static bool contains(const TrieRoots& t, const IpPrefix& p) noexcept {
    const R* n = Trie::find(t, p);
    return n && n->value.get() != nullptr;
  }

  /// Empties both families: a fresh root each, the old trees are retired.
  static void clear(TrieRoots& t) {
    for (unsigned fam = 0; fam < 2; ++fam) t.replace_root(fam, &new_node<R>()->hdr);
  }
};

}  // namespace netrove::trie
