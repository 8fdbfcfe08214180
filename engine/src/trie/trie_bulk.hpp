// trie_bulk.hpp - bulk loads: many entries merged into a trie in one ordered
// pass, each node they touch visited once and each new node built whole
// before it is linked.
//
// The items are sorted by key, then key length (a shorter prefix first), and
// distinct (bulk_sort below).  Under one node the items form one run, and
// the items under each of its two children form two runs inside it, split
// where key bit d + e turns from 0 to 1 (a binary search).  Two facts about
// a sorted run make each node's work independent of the run's length:
//
//   a. the bits all items of a run share from depth d are those its first
//      and last item share (keys between two sorted keys agree with both
//      wherever the two agree), cut at the first item's length: an item
//      shorter than that is a prefix of all the others and sorts first;
//   b. likewise, how far the items agree with an existing edge is decided
//      by the first and the last item alone, and an item that ends inside
//      the edge is the first one.
//
// Building (no node there yet), for the items [b, e) at depth d:
//
//   c = shared bits (a)            node [edge: key bits d .. c-1]
//   first item of length c  --->     = first item, when it ends at c
//   the others, by bit c             |0                    |1
//                                  build(left run, c+1)   build(right run, c+1)
//
// so every node is the one a series of single inserts would have left: the
// path-compressed trie of a set of keys is unique (trie_compressed.hpp).
//
// Merging into an existing node N (depth d, edge E of e bits), numbered as
// in the code:
//   1. s = where the run leaves E (b), at most e.
//   2. s = e: every item passes N.  An item of length d + e is N's entry
//      (replaced, or new when N held none); the others go down their side,
//      merged into the child there or built as a new one.
//   3. s < e: N splits at s, in place, as a single insert splits it: B, a
//      new node, takes N's edge after s, record, prefix and children; N
//      keeps E's first s bits and takes the item that ends at s, if any.
//      The items on B's side merge into B (not yet linked), the others are
//      built as N's other child.  Either an item ends at s or one leaves E
//      at s, so N keeps a record or two children.
//
// Readers beside the writer: a compressed trie's in-place splits happen
// inside the trie's shape word, and the whole merge of a run runs inside
// one shape change (TrieRoots::change_shape), so a walk that follows the
// read-side rule sees the run all or not at all.  A family whose root is
// empty is built aside and published as the new root with one store.  The
// uncompressed trie never changes a node's shape (each new subtree is built
// whole and linked with one store, entries go in with one store each), but
// its run is one shape change too, so that its walks also see it whole.
// Writer lock and a read section held throughout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "netrove/record.hpp"
#include "sync/scratch.hpp"
#include "trie/node_blocks.hpp"
#include "trie/trie_compressed.hpp"
#include "trie/trie_key.hpp"
#include "trie/trie_roots.hpp"

namespace netrove::trie {

/// One element of a bulk load: its key in the trie's key space and key
/// length, its family index, its place in the caller's arrays (the prefix
/// as written and the record share), and the record itself, so that the
/// read index's side of the load reads it without touching the share the
/// trie's side takes over.
struct BulkItem {
  u128 key;
  std::uint32_t order;
  std::uint8_t length;
  std::uint8_t fam;
  StoredRecord* rec;
};
static_assert(sizeof(BulkItem) == 32, "a key, its place and its record: two words");

/// Family, key, key length, then input order.
inline bool bulk_before(const BulkItem& x, const BulkItem& y) noexcept {
  if (x.fam != y.fam) return x.fam < y.fam;
  if (x.key != y.key) return x.key < y.key;
  if (x.length != y.length) return x.length < y.length;
  return x.order < y.order;
}

/// Whether x and y name one prefix (its family, key and length).
inline bool bulk_same(const BulkItem& x, const BulkItem& y) noexcept {
  return x.fam == y.fam && x.key == y.key && x.length == y.length;
}

/// Whether items made one after another came sorted and without equal
/// prefixes, learnt as they are made (the previous one still at hand), so
/// that bulk_sort need not read a whole table's items twice more to find
/// out what a sorted input almost always is.
struct BulkOrder {
  bool sorted = true, distinct = true;
  void next(const BulkItem& prev, const BulkItem& x) noexcept {
    sorted &= bulk_before(prev, x);
    distinct &= !bulk_same(prev, x);
  }
};

/// Sorts `items` (bulk_before; a sorted input costs one pass, none when
/// `order` saw it sorted and distinct) and keeps the last of every group
/// of equal prefixes; returns how many are kept, at the front.  The records
/// of the dropped ones are released (`records` indexed by order).
inline std::size_t bulk_sort(ScratchVector<BulkItem>& items, RecordRef* records, BulkOrder order) {
  if (order.sorted && order.distinct) return items.size();
  // A lambda, not the function itself, so that the compare is inlined.
  const auto before = [](const BulkItem& x, const BulkItem& y) noexcept { return bulk_before(x, y); };
  if (!order.sorted) std::sort(items.begin(), items.end(), before);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const BulkItem& x = items[i];
    if (i + 1 < items.size() && bulk_same(items[i + 1], x)) {
      records[x.order] = RecordRef();  // a later equal prefix wins
      continue;
    }
    items[kept++] = x;
  }
  items.resize(kept);
  return kept;
}

/// The first item of [b, e) whose key bit `at` is 1 (all are longer than
/// at, so at < 128).  A binary search without branches: each step halves
/// the range with a conditional move, where a branch on a key bit is a coin
/// flip the predictor loses half the time.
inline const BulkItem* bulk_split(const BulkItem* b, const BulkItem* e, std::uint64_t at) noexcept {
  std::size_t n = static_cast<std::size_t>(e - b);
  if (n == 0) return e;
  const unsigned shift = static_cast<unsigned>(127 - at);
  // The answer lies in [b, b + n]; b[half - 1] decides which half.
  while (n > 1) {
    const std::size_t half = n / 2;
    b = ((b[half - 1].key >> shift) & 1u) == 0 ? b + half : b;
    n -= half;
  }
  return b + (((b->key >> shift) & 1u) == 0);
}

/// The state of one bulk load into a trie of layout R: where the items'
/// prefixes and records are, and how many prefixes were new.
template <class R>
struct BulkLoad {
  TrieRoots& t;
  const IpPrefix* prefixes;
  RecordRef* records;
  std::size_t fresh = 0;
  NodeSupply<R> nodes{};

  /// Stores item x into the linked node `n`, its record handed over;
  /// counts it when new.
  void store(R& n, const BulkItem& x) {
    const bool existed = n.value.get() != nullptr;
    store_prefix(n, prefixes[x.order]);
    n.value.set(records[x.order].release());
    fresh += !existed;
  }
  /// The same into a new node, not linked yet (node_blocks.hpp's init_*).
  void init(R& n, const BulkItem& x) {
    init_prefix(n, prefixes[x.order]);
    init_record(n, x);
  }
  /// Item x's record into a new node that holds its prefix already.
  void init_record(R& n, const BulkItem& x) {
    n.value.init(records[x.order].release());
    ++fresh;
  }
  Fresh<R> make() { return Fresh<R>(nodes.make()); }

  // --- compressed -----------------------------------------------------------

  /// A new subtree at depth d holding the items [b, e) (picture above).
  Fresh<R> build(const BulkItem* b, const BulkItem* e, std::uint64_t d) {
    const BulkItem& f = *b;
    std::uint64_t c = f.length;
    if (e - b > 1) c = std::min<std::uint64_t>(c, d + first_difference(shl(f.key, d), shl(e[-1].key, d), 128 - d));
    Fresh<R> n = make();
    const bool ends_here = f.length == c;
    init_edge_prefix(*n, extract_bits(f.key, d, c - d), c - d, ends_here ? &prefixes[f.order] : nullptr);
    if (ends_here) init_record(*n, *b++);
    if (b != e) {
      const BulkItem* mid = bulk_split(b, e, c);
      if (b != mid) n->kids.init(false, &build(b, mid, c + 1).release()->hdr);
      if (mid != e) n->kids.init(true, &build(mid, e, c + 1).release()->hdr);
    }
    return n;
  }

  /// Merges the items [b, e), which all follow n's path to depth d, into
  /// the subtree of n (cases in the header).
  void merge(R* n, std::uint64_t d, const BulkItem* b, const BulkItem* e) {
    const u128 E = edge_label(*n);
    const std::uint64_t el = edge_length(*n);
    // 1.
    std::uint64_t s = std::min<std::uint64_t>(first_difference(shl(b->key, d), E, el), b->length - d);
    if (e - b > 1) s = std::min(s, first_difference(shl(e[-1].key, d), E, el));
    if (s == el) {  // 2.
      if (b->length == d + el) store(*n, *b++);
      if (b == e) return;
      const std::uint64_t at = d + el;
      const BulkItem* mid = bulk_split(b, e, at);
      for (const bool side : {false, true}) {
        const BulkItem* rb = side ? mid : b;
        const BulkItem* re = side ? e : mid;
        if (rb == re) continue;
        if (NodeHeader* c = n->kids.get(side)) merge(as<R>(c), at + 1, rb, re);
        else n->kids.set(side, &build(rb, re, at + 1).release()->hdr);
      }
      return;
    }
    // 3. Split at s < el.
    const bool side_b = bit(E, s);
    Fresh<R> lower = make();
    const auto old_prefix = stored_prefix(*n);
    init_edge_prefix(*lower, extract_bits(E, s + 1, el - s - 1), el - s - 1, old_prefix ? &*old_prefix : nullptr);
    const bool ends_here = b->length == d + s;
    const IpPrefix* upper_prefix = ends_here ? &prefixes[b->order] : nullptr;
    EdgeSpare<R> spare;
    reserve_edge_prefix(*n, extract_bits(E, 0, s), s, upper_prefix, spare);
    lower->value.init(n->value.take());
    for (const bool side : {false, true})
      if (NodeHeader* c = n->kids.take(side)) lower->kids.init(side, c);
    set_edge_prefix(*n, extract_bits(E, 0, s), s, upper_prefix, spare);
    if (ends_here) {  // a new prefix: n had none, its old one went to `lower`
      n->value.set(records[b->order].release());
      ++fresh;
      ++b;
    }
    const std::uint64_t at = d + s;
    const BulkItem* mid = bulk_split(b, e, at);
    const BulkItem* lb = side_b ? mid : b;
    const BulkItem* le = side_b ? e : mid;
    const BulkItem* ob = side_b ? b : mid;
    const BulkItem* oe = side_b ? mid : e;
    if (lb != le) merge(lower.get(), at + 1, lb, le);
    n->kids.set(side_b, &lower.release()->hdr);
    if (ob != oe) n->kids.set(!side_b, &build(ob, oe, at + 1).release()->hdr);
    NETROVE_ASSERT(n->value.get() != nullptr || n->kids.get(!side_b) != nullptr);
  }

  /// The items [b, e) of family index `fam` into the compressed trie.
  void compressed(unsigned fam, const BulkItem* b, const BulkItem* e) {
    R* root = as<R>(t.root(fam));
    if (edge_length(*root) == 0 && root->value.get() == nullptr && !has_children(*root)) {
      t.replace_root(fam, &build(b, e, 0).release()->hdr);
      return;
    }
    t.change_shape([&] { merge(root, 0, b, e); });
  }

  // --- uncompressed ---------------------------------------------------------

  /// A new chain or subtree at depth d (one node per key bit) holding [b, e).
  Fresh<R> build_bits(const BulkItem* b, const BulkItem* e, std::uint64_t d) {
    Fresh<R> n = make();
    if (b->length == d) init(*n, *b++);
    if (b != e) {
      const BulkItem* mid = bulk_split(b, e, d);
      if (b != mid) n->kids.init(false, &build_bits(b, mid, d + 1).release()->hdr);
      if (mid != e) n->kids.init(true, &build_bits(mid, e, d + 1).release()->hdr);
    }
    return n;
  }

  /// The items [b, e) at or below `n` (depth d): an item of length d is n's
  /// entry, the others go down their side, into the child there or a new one.
  void fill_bits(R* n, std::uint64_t d, const BulkItem* b, const BulkItem* e) {
    if (b->length == d) store(*n, *b++);
    if (b == e) return;
    const BulkItem* mid = bulk_split(b, e, d);
    for (const bool side : {false, true}) {
      const BulkItem* rb = side ? mid : b;
      const BulkItem* re = side ? e : mid;
      if (rb == re) continue;
      if (NodeHeader* c = n->kids.get(side)) fill_bits(as<R>(c), d + 1, rb, re);
      else n->kids.set(side, &build_bits(rb, re, d + 1).release()->hdr);
    }
  }

  void uncompressed(unsigned fam, const BulkItem* b, const BulkItem* e) {
    t.change_shape([&] { fill_bits(as<R>(t.root(fam)), 0, b, e); });
  }
};

}  // namespace netrove::trie
