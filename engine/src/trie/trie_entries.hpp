// trie_entries.hpp - read-only walks that enumerate a trie's entries, for
// both trie forms and every node layout.
//
// One walk serves both forms: an uncompressed node is a compressed one whose
// edge is always empty, so every node at depth d (key bits consumed before
// it) with an edge of e bits stands for the first d + e key bits, and its
// child on side b sits at depth d + e + 1 behind key bit d + e = b.
//
//   depth d        node [edge e bits] = record?      stands for key bits
//                   |0            \1                 0 .. d+e-1
//   depth d+e+1   child 0        child 1             bit d+e = 0 / 1
//
// The prefix of a node is therefore rebuilt from its path, never read from
// the node: key bits 0 .. d+e-1 in the key space of its trie (KeySpace).
// A preorder walk, record before children and child 0 before child 1, meets
// the prefixes in network-address order, a shorter one before a longer one
// at the same address.
//
// Readers hold a read section for the whole walk, as contains_prefix does:
// they load each field once (label, length, record, one child link), take no
// lock and write nothing, and may use what they loaded until the section
// ends.  A writer's change is either one store that leaves a valid trie or
// a shape change (an in-place split or fold, trie_compressed.hpp), which a
// walk run through TrieEngine::walk_stably sees and retries.
#pragma once

#include <vector>

#include "trie/node_blocks.hpp"
#include "trie/trie_roots.hpp"

namespace netrove::trie {

/// A record met on a walk with the prefix of the node that holds it; the
/// record is valid until the walker's read section ends.
struct FoundEntry {
  IpPrefix prefix;
  const Record* record;
};

/// The key space of one family in one trie form.
///   compressed, IPv4:   96 zero bits, then the address (offset 96, width 128)
///   compressed, IPv6:   the address                    (offset 0,  width 128)
///   uncompressed:       the address                    (offset 0,  width 32 / 128)
struct KeySpace {
  std::uint8_t family;
  unsigned offset;  // key bits ahead of the address
  unsigned width;   // key bits of a full-length prefix

  /// The space of `family` in the trie of layout R.
  template <class R>
  static KeySpace of(std::uint8_t family) noexcept {
    if constexpr (kCompressedLayout<R>) return {family, family == kIpv4 ? 96u : 0u, 128u};
    else return {family, 0u, family_bits(family)};
  }

  /// The network prefix of the first `bits` bits of `key` (bits >= offset;
  /// the key's bits beyond `bits` are 0).
  IpPrefix prefix(u128 key, std::uint64_t bits) const noexcept {
    NETROVE_ASSERT(bits >= offset && bits <= width);
    IpPrefix p;
    p.family = family;
    p.address = store_key(shl(key, offset));
    p.length = static_cast<std::uint8_t>(bits - offset);
    return p;
  }
};

/// The walks over a trie of layout R; each needs a read section held.
template <class R>
struct EntryWalk {
  /// Key of an address or prefix in this trie form.
  static u128 key_of(const IpAddress& a) noexcept {
    if constexpr (kCompressedLayout<R>) return compressed_key(a);
    else return uncompressed_key(a);
  }
  static PrefixKey key_of(const IpPrefix& p) noexcept {
    if constexpr (kCompressedLayout<R>) return compressed_key(p);
    else return uncompressed_key(p);
  }

  /// Appends, shortest first, the entries on the path of `a`: every node
  /// whose edge agrees with the address holds a covering prefix, as in the
  /// trie's own lookup.
  static void covering(const TrieRoots& t, const IpAddress& a, std::vector<FoundEntry>& out) {
    const KeySpace ks = KeySpace::of<R>(a.family);
    const u128 K = key_of(a);
    const R* n = as<R>(t.root(family_index(a.family)));
    std::uint64_t d = 0;
    for (;;) {
      const std::uint64_t e = edge_length(*n);
      if (e != 0) {
        if (e > ks.width - d) return;
        if ((shl(K, d) ^ edge_label(*n)) & lead_mask(e)) return;
      }
      const std::uint64_t span = d + e;
      if (const Record* v = n->value.get()) out.push_back({ks.prefix(K & lead_mask(span), span), v});
      if (span >= ks.width) return;
      const NodeHeader* c = n->kids.get(bit(K, span));
      if (!c) return;
      n = as<R>(c);
      d = span + 1;
    }
  }

  /// Appends the entries inside `p` in preorder (address order).
  static void covered(const TrieRoots& t, const IpPrefix& p, std::vector<FoundEntry>& out) {
    each_inside(t, p, [&out](const IpPrefix& q, const Record* r) { out.push_back({q, r}); });
  }

  /// Calls visit(prefix, record) for the entries inside `p` in preorder
  /// (address order), as covered lists them.
  template <class Visit>
  static void each_inside(const TrieRoots& t, const IpPrefix& p, Visit&& visit) {
    std::uint64_t d;
    const PrefixKey k = key_of(p);
    if (const R* top = top_inside(t, p.family, k, d))
      subtree(KeySpace::of<R>(p.family), top, d, k.key & lead_mask(d), visit);
  }

  /// The record stored for exactly `p`, or null.
  static const Record* exact(const TrieRoots& t, const IpPrefix& p) noexcept {
    std::uint64_t d;
    const PrefixKey k = key_of(p);
    const R* top = top_inside(t, p.family, k, d);
    return top && d + edge_length(*top) == k.length ? top->value.get() : nullptr;
  }

 private:
  /// The highest node whose prefix lies inside the prefix of key `k`, or
  /// null when none does; `depth` is set to its depth.  Cases:
  ///   1. the edge disagrees with the key's remaining bits: nothing inside.
  ///   2. the node reaches the key's end (d + e >= length): it and all
  ///      below it lie inside.
  ///   3. otherwise descend along key bit d + e, if there is a child.
  static const R* top_inside(const TrieRoots& t, std::uint8_t family, const PrefixKey& k,
                             std::uint64_t& depth) noexcept {
    const R* n = as<R>(t.root(family_index(family)));
    std::uint64_t d = 0;
    for (;;) {
      const std::uint64_t e = edge_length(*n);
      const std::uint64_t r = k.length - d;
      const std::uint64_t m = e < r ? e : r;
      if (first_difference(shl(k.key, d), edge_label(*n), m) < m) return nullptr;  // 1
      if (e >= r) {                                                                // 2
        depth = d;
        return n;
      }
      const NodeHeader* c = n->kids.get(bit(k.key, d + e));  // 3
      if (!c) return nullptr;
      n = as<R>(c);
      d += e + 1;
    }
  }

  /// Visits the entries of `n` (at depth `d`, reached by key bits `key`)
  /// and of everything below it, record first, child 0 before child 1.
  template <class Visit>
  static void subtree(const KeySpace& ks, const R* n, std::uint64_t d, u128 key, Visit& visit) {
    const u128 own = key | shr(edge_label(*n), d);
    const std::uint64_t span = d + edge_length(*n);
    if (const Record* v = n->value.get()) visit(ks.prefix(own, span), v);
    for (const bool side : {false, true}) {
      if (const NodeHeader* c = n->kids.get(side))
        subtree(ks, as<R>(c), span + 1, own | (side ? single_bit(span) : u128{0}), visit);
    }
  }
};

}  // namespace netrove::trie
