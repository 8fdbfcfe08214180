// trie_compressed.hpp - the path-compressed binary trie.
//
// A node at depth d (key bits consumed before it) carries an edge label of
// e bits: the next e key bits.  One more key bit then picks the child, which
// sits at depth d + e + 1.  The node itself stands for the first d + e bits.
//
//   2001:db8::/32, then 2001:db8:1::/48, then 2001::/16:
//
//   root [32 bits 2001:0db8]            root [16 bits 2001] = 2001::/16
//     = 2001:db8::/32          split       |bit 16 = 0
//       |bit 32 = 0           ------->     B [15 bits of 0db8 after bit 16]
//       C [15 bits] = /48                    = 2001:db8::/32
//                                             |bit 32 = 0
//                                             C [15 bits] = 2001:db8:1::/48
//
// IPv4 keys are 96 zero bits followed by the address (so an IPv4 prefix of
// length n has key length 96 + n); they live in the IPv4 root's trie only.
//
// Insert, numbered as in the code:
//   1. empty node (no edge, record or child; only ever the root): it takes
//      the prefix's key as its edge, then the entry.
//   2. compare the key bits from d with the edge: i = first difference within
//      m = min(r, e), r = key bits left.
//   3. exact node (i = e = r): store or replace the record.
//   4. split (i < e), in place: the edge is cut at i; the lower part moves
//      to a new node B with N's record, prefix and children; N keeps the
//      upper part and takes the prefix (i = r) or a new leaf C beside B.
//   5. descend (i = e < r) along key bit d + e, or hang a new leaf there.
//
// Remove, numbered as in the code.  Outside the root every node holds a
// record or has two children; insert keeps that, and so does remove, which
// therefore leaves the trie exactly as if the prefix had never been stored
// (the path-compressed trie of a set of keys is unique):
//   1. walk to the exact node N, keeping its parent P (side b) and P's
//      parent G.  No exact node, or N holds no record: nothing removed.
//   2. what the case may need allocated (a fresh root, a side block for a
//      longer edge) is taken before anything changes, so a failed
//      allocation changes nothing; then N's record is taken out (from
//      here on a lookup misses the prefix).
//   3. N has two children: it stays as their branch point.
//   4. N has one child C: N folds into C.  C's edge grows in place to N's
//      edge, the branch bit and C's own edge (C's path is unchanged: it
//      now starts where N did), and C takes N's place in P (or as root).
//   5. N is the root and has no child: a fresh empty root replaces it
//      (nothing to do when its edge is empty already).
//   6. N is a leaf and P keeps a record (or P is the root and N its only
//      child): N is unlinked from P; a root left without record and child
//      is replaced by a fresh empty root.
//   7. N is a leaf, P holds no record: N is unlinked, P is left with one
//      child S, so P folds into S, as in 4, one level up: S takes P's
//      place in G (or as root).
//
//   4. N folds into its only child        7. N unlinked, P folds into S
//
//   P                  P                  G                  G
//   |b                 |b                 |                  |
//   N [E_N] (taken)    C [E_N c E_C] = v  P [E_P] (none)     S [E_P !b E_S] = w
//   |c        ---->    |-- x              |b    \!b   ---->   |-- s1
//   C [E_C] = v        +-- y              N      S [E_S] = w  +-- s2
//   |-- x                                 = u    |-- s1
//   +-- y                                 (taken)+-- s2
//
// A fold changes the child's edge and moves its link up in one shape
// change (below), and releases the folded node, which is retired with its
// last link; the child's record, prefix and children stay where they are,
// so nothing is copied and no count but the folded node's moves.  The
// node that takes P's place in case 7 has as many children as P had, so G
// never changes shape.
//
// Readers beside writers: the shape word
// --------------------------------------
// Lookups are answered by the read index (index/read_index.hpp); what walks
// the trie without the writer lock is contains_prefix (and any walk that
// follows the rule below).  Each field reads whole (version words,
// published words), and nodes reached inside a read section stay allocated
// until it ends (rcu.hpp), so a walk is always memory-safe.  An in-place
// split, however, changes N's edge, record and children one by one:
//
//   before            during (shape odd)            after
//
//   parent            parent                        parent
//     |                 |                             |
//     N [E, v]          N [E or E 0..i-1, v or -]     N [E 0..i-1] (or = p)
//     |-- L             |-- L, B or -                 |-- B [E i+1.., v]
//     +-- R             +-- R, C or -                 |   |-- L
//                                                     |   +-- R
//                                                     +-- C (new prefix)
//
// so a walk could meet a new edge with an old child and descend at the
// wrong depth.  The writer therefore makes those stores inside the trie's
// shape word (TrieRoots::change_shape, a version word: odd while a split
// runs), and the rule for a walk is: inside one read section, read the
// shape word, walk, and keep the result only when the word is unchanged and
// even (TrieRoots::stable_walk); retry otherwise, and after a few overlapped
// tries walk under the writer lock.  Every other change a walk can see is
// one store that leaves a valid trie, so it needs no shape word: step 1
// fills the empty root edge first and record last, step 3 publishes a
// record into a node whose edge stays, step 5 links a fully built leaf;
// remove takes a record out and cuts one link or links a fresh root, and
// clear swaps in fresh roots.  A remove's fold (cases 4 and 7) is a shape
// change: the child's longer edge and its link one level up.  In place, a
// split allocates only B (and C) and retires nothing, and a fold copies
// nothing and retires only the folded node, where building replacements
// aside cost a copy, a free and a reclamation each.  Writers are
// serialised by the trie's writer lock (trie_roots.hpp).  A NodeRef walk
// (root_ref, left, right) follows no rule: it sees a consistent trie only
// while no writer runs.
#pragma once

#include <algorithm>
#include <memory>

#include "trie/node_blocks.hpp"
#include "trie/trie_exact_ops.hpp"
#include "trie/trie_roots.hpp"

namespace netrove::trie {

/// Frees a node that was never published.
struct DropUnpublished {
  template <class R>
  void operator()(R* n) const noexcept {
    destroy_block<R>(&n->hdr);
  }
};
template <class R>
using Fresh = std::unique_ptr<R, DropUnpublished>;

template <class R>
struct CompressedTrie : ExactNodeOps<CompressedTrie<R>, R> {
  /// A leaf holding `p` and `rec`, with the given edge (written with plain
  /// stores: the leaf is published by the store that links it).
  static Fresh<R> leaf(u128 label, std::uint64_t len, const IpPrefix& p, std::unique_ptr<Record>& rec) {
    Fresh<R> c(new_node<R>());
    init_edge_prefix(*c, label, len, &p);
    c->value.init(rec.release());
    return c;
  }

  /// Makes `fresh` the child `side` of `parent`, or the root when parent is
  /// null; the node it replaces is released.
  static void publish(TrieRoots& t, unsigned fam, R* parent, bool side, Fresh<R> fresh) noexcept {
    NodeHeader* h = &fresh.release()->hdr;
    if (parent) parent->kids.set(side, h);
    else t.replace_root(fam, h);
  }

  /// Folds `upper` (no record, or its record already taken) into its only
  /// child `lower`, on side `side`: lower's edge grows by upper's edge and
  /// the branch bit, so lower now starts where upper did, and lower takes
  /// upper's place as child `at` of `parent` (the root when parent is
  /// null); upper is released.  Lower's path, prefix, record and children
  /// stay as they are.  The side block the longer edge may need is taken
  /// first, so a failed allocation throws std::bad_alloc having changed
  /// nothing; `before` runs once nothing can fail any more, just before
  /// the change.  Writer lock held.
  template <class Before>
  static void fold_into_child(TrieRoots& t, unsigned fam, R* parent, bool at, R& upper, bool side, Before&& before) {
    R& lower = *as<R>(upper.kids.get(side));
    const std::uint64_t eu = edge_length(upper);
    const std::uint64_t len = eu + 1 + edge_length(lower);
    NETROVE_ASSERT(len <= 128);
    const u128 label = edge_label(upper) | (side ? single_bit(eu) : u128{0}) | shr(edge_label(lower), eu + 1);
    const auto prefix = stored_prefix(lower);
    const IpPrefix* kept = prefix ? &*prefix : nullptr;
    EdgeSpare<R> spare;
    reserve_edge_prefix(lower, label, len, kept, spare);
    before();
    t.change_shape([&] {
      set_edge_prefix(lower, label, len, kept, spare);
      NodeHeader* moved = upper.kids.take(side);  // its link moves to parent, count and all
      if (parent) parent->kids.set(at, moved);
      else t.replace_root(fam, moved);
    });
  }

  /// Stores `rec` for `p` (taking it over); true when the prefix is new.
  /// Writer lock and a read section held.
  ///
  /// The walk keeps the key shifted so that its next unread bit leads
  /// (Kd = K << d): comparing a node's edge is one xor and one mask, and
  /// stepping past the node and its branch bit is one shift, where
  /// extracting the bits from d afresh at every level cost two shifts and
  /// two masks of 128 bits.  The key's bits past its length are 0, so Kd
  /// already is "the key's remaining r bits" that the cases below name S.
  ///
  /// The walk starts where the finger (insert_finger.hpp) says the last
  /// insert's walk passed a node on this key's path too, and tells the
  /// finger each node it enters.
  static bool insert(TrieRoots& t, const IpPrefix& p, std::unique_ptr<Record>& rec) {
    const unsigned fam = family_index(p.family);
    const PrefixKey k = compressed_key(p);
    const std::uint64_t L = k.length;
    InsertFinger& finger = t.finger();
    std::uint64_t d = 0;  // d <= L throughout: the walk descends only while e < r
    NodeHeader* start = finger.resume(fam, k.key, L, d);
    if (!start) finger.enter(start = t.root(fam), 0);
    R* n = as<R>(start);
    u128 Kd = shl(k.key, d);
    for (;;) {
      const std::uint64_t e = edge_length(*n);
      const std::uint64_t r = L - d;
      // 1. Empty node (only ever the root): it takes the rest of the key as
      // its edge, then the entry; a walk sees it empty until the record.
      if (e == 0 && n->value.get() == nullptr && !has_children(*n)) {
        EdgeSpare<R> spare;
        reserve_edge_prefix(*n, Kd, r, &p, spare);
        set_edge_prefix(*n, Kd, r, &p, spare);
        n->value.set(rec.release());
        return true;
      }
      // 2. Where do the key and the edge part?  (No label to read for an
      // empty edge.)
      const u128 E = e != 0 ? edge_label(*n) : u128{0};
      const std::uint64_t m = e < r ? e : r;
      const u128 diff = (Kd ^ E) & lead_mask(m);
      // 5. (the common case first) Descend along the bit after the edge,
      // or hang a new leaf there.
      if (diff == 0 && e < r) {
        const bool b = bit(Kd, e);
        const u128 rest = shl(Kd, e + 1);
        NodeHeader* c = n->kids.get(b);
        if (!c) {
          n->kids.set(b, &leaf(rest, r - e - 1, p, rec).release()->hdr);
          return true;
        }
        n = as<R>(c);
        d += e + 1;
        Kd = rest;
        finger.enter(c, d);
        continue;
      }
      const std::uint64_t i = diff == 0 ? m : first_difference(Kd, E, m);
      // 3. Exact node.
      if (i == e && i == r) {
        const bool existed = n->value.get() != nullptr;
        store_prefix(*n, p);
        n->value.set(rec.release());
        return !existed;
      }
      // 4. Split at i in place: B, N's lower part, and C, the new leaf,
      // are built first (so a failed allocation changes nothing); then N
      // hands its record, prefix and children to B and becomes the upper
      // part, under the shape word.
      NETROVE_ASSERT(i < e);
      const bool side_b = bit(E, i);
      Fresh<R> b(new_node<R>());
      const auto old_prefix = stored_prefix(*n);
      init_edge_prefix(*b, extract_bits(E, i + 1, e - i - 1), e - i - 1, old_prefix ? &*old_prefix : nullptr);
      Fresh<R> c;
      if (i != r) c = leaf(shl(Kd, i + 1), r - i - 1, p, rec);
      const IpPrefix* upper_prefix = c ? nullptr : &p;
      EdgeSpare<R> spare;
      reserve_edge_prefix(*n, extract_bits(E, 0, i), i, upper_prefix, spare);
      t.change_shape([&] {
        b->value.init(n->value.take());
        for (const bool s : {false, true})
          if (NodeHeader* kid = n->kids.take(s)) b->kids.init(s, kid);
        set_edge_prefix(*n, extract_bits(E, 0, i), i, upper_prefix, spare);
        n->kids.set(side_b, &b.release()->hdr);
        if (c) n->kids.set(!side_b, &c.release()->hdr);
        else n->value.set(rec.release());
      });
      return true;
    }
  }

  /// The record of the longest prefix on the path of `a`, or null.  Read
  /// section held.
  static const Record* lookup(const TrieRoots& t, const IpAddress& a) noexcept {
    const u128 K = compressed_key(a);
    const R* n = as<R>(t.root(family_index(a.family)));
    const Record* best = nullptr;
    std::uint64_t d = 0;
    for (;;) {
      const std::uint64_t e = edge_length(*n);
      if (e != 0) {
        if (e > 128 - d) break;
        if ((shl(K, d) ^ edge_label(*n)) & lead_mask(e)) break;
      }
      if (const Record* v = n->value.get()) best = v;
      const std::uint64_t at = d + e;
      if (at > 127) break;
      const NodeHeader* c = n->kids.get(bit(K, at));
      if (!c) break;
      n = as<R>(c);
      d = at + 1;
    }
    return best;
  }

  /// Takes the record stored for exactly `p` out and reshapes the nodes
  /// around it (cases in the header); the caller owns the result, null when
  /// nothing was stored.  Writer lock and a read section held.  Throws
  /// std::bad_alloc, having changed nothing, when a fresh root or a side
  /// block for a longer edge cannot be allocated.
  static Record* remove(TrieRoots& t, const IpPrefix& p) {
    const unsigned fam = family_index(p.family);
    const PrefixKey k = compressed_key(p);
    // 1. Walk to the exact node N, keeping P (side) and G (p_side).
    R* g = nullptr;
    R* par = nullptr;
    bool p_side = false, side = false;
    R* n = as<R>(t.root(fam));
    std::uint64_t d = 0;
    u128 Kd = k.key;  // the key from bit d on, leading (as in insert)
    for (;;) {
      // The edge must lie within the key's remaining bits and agree with them.
      const std::uint64_t e = edge_length(*n);
      if (d + e > k.length) return nullptr;
      if (e != 0 && ((Kd ^ edge_label(*n)) & lead_mask(e)) != 0) return nullptr;
      if (d + e == k.length) break;
      const bool b = bit(Kd, e);
      R* c = as<R>(n->kids.get(b));
      if (!c) return nullptr;
      g = par, p_side = side;
      par = n, side = b;
      n = c;
      d += e + 1;
      Kd = shl(Kd, e + 1);
    }
    const Record* found = n->value.get();
    if (found == nullptr) return nullptr;
    // The caller drops a share of it (one write) once the trie and the
    // index are changed: its line is fetched meanwhile.
    __builtin_prefetch(found, 1);
    NodeHeader* const kid[2] = {n->kids.get(false), n->kids.get(true)};
    // 3. A branch point stays.
    if (kid[0] && kid[1]) return n->value.take();
    // 4. One child: N folds into it.
    if (kid[0] || kid[1]) {
      Record* out = nullptr;
      fold_into_child(t, fam, par, side, *n, kid[1] != nullptr, [&] { out = n->value.take(); });  // 2
      return out;
    }
    // 5. A childless root.
    if (!par) {
      if (edge_length(*n) == 0) return n->value.take();
      Fresh<R> empty(new_node<R>());
      Record* out = n->value.take();  // 2
      publish(t, fam, nullptr, false, std::move(empty));
      return out;
    }
    R* sib = as<R>(par->kids.get(!side));
    // 7. P without a record keeps one child: P folds into it.
    if (sib && par->value.get() == nullptr) {
      Record* out = nullptr;
      fold_into_child(t, fam, g, p_side, *par, !side, [&] {
        out = n->value.take();  // 2
        par->kids.set(side, nullptr);
      });
      return out;
    }
    // 6. Unlink N; a root left with nothing becomes a fresh empty root.
    // Outside the root a node without a record has two children.
    NETROVE_ASSERT(sib || !g || par->value.get() != nullptr);
    if (!g && !sib && par->value.get() == nullptr) {
      Fresh<R> empty(new_node<R>());
      Record* out = n->value.take();  // 2
      publish(t, fam, nullptr, false, std::move(empty));
      return out;
    }
    Record* out = n->value.take();  // 2
    par->kids.set(side, nullptr);
    return out;
  }

  /// The node where the key of `p` ends exactly, or null.
  static R* find(const TrieRoots& t, const IpPrefix& p) noexcept {
    const PrefixKey k = compressed_key(p);
    R* n = as<R>(t.root(family_index(p.family)));
    std::uint64_t d = 0;
    for (;;) {
      const std::uint64_t e = edge_length(*n);
      const std::uint64_t r = k.length > d ? k.length - d : 0;
      if (r < e) return nullptr;
      if (first_difference(extract_bits(k.key, d, r), edge_label(*n), e) < e) return nullptr;
      if (e == r) return n;
      n = as<R>(n->kids.get(bit(k.key, d + e)));
      if (!n) return nullptr;
      d += e + 1;
    }
  }
};

}  // namespace netrove::trie
