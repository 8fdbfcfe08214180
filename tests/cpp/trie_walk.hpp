// Test helper: the answer of a walk of the binary trie itself, beside the
// read index that lookups use.
#pragma once

#include <string>

#include "trie/trie_engine.hpp"
#include "sync/rcu.hpp"
#include "trie/trie_compressed.hpp"
#include "trie/trie_uncompressed.hpp"

namespace nt {

/// Value of the record a walk of `t`'s trie finds for `a` ("<none>" when
/// none), and the same from the read index.
struct TwoAnswers {
  std::string walk, index;
};

inline TwoAnswers walk_and_index(const netrove::TrieEngine& t, bool compressed, const netrove::IpAddress& a) {
  namespace trie = netrove::trie;
  netrove::rcu::ReadSection rs;
  const trie::Record* w = trie::with_layout(t.node_kind(), [&](auto* tag) -> const trie::Record* {
    using R = std::remove_pointer_t<decltype(tag)>;
    return compressed ? trie::CompressedTrie<R>::lookup(*t.roots(), a) : trie::UncompressedTrie<R>::lookup(*t.roots(), a);
  });
  const trie::Record* i = t.roots()->read_index().lookup(a);
  auto text = [](const trie::Record* r) { return r ? std::string(netrove::RecordView(*r).value()) : "<none>"; };
  return {text(w), text(i)};
}

}  // namespace nt
