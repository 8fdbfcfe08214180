// AdaptiveRadixTree operations: insert, search, remove, exact find, clear.
// The layout (which entry lives where) is described in art/tree.hpp.
#include "art/tree.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "art/prefix_set.hpp"
#include "sync/panic.hpp"
#include "netrove/types.hpp"

namespace netrove::art {

namespace {

/// One operation's key: address bytes, their count, the prefix length.
struct Key {
  const std::uint8_t* addr;
  unsigned len;  // 4 or 16
  unsigned p;    // prefix length, at most 8 * len
  unsigned k() const noexcept { return p / 8; }  // byte in which the prefix ends
};

unsigned key_len(std::uint8_t family) {
  if (family == kIpv4) return 4;
  if (family == kIpv6) return 16;
  panic("unknown address family " + std::to_string(family));
}

Key prefix_key(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len) {
  const unsigned len = key_len(family);
  if (prefix_len > 8 * len)
    panic("prefix length " + std::to_string(prefix_len) + " beyond " + std::to_string(8 * len) + " bits");
  return Key{addr, len, prefix_len};
}

/// Set position of an entry of length p held by the node at `depth`
/// (p / 8 == depth); `byte` is the key's byte at that depth.
unsigned set_position(unsigned p, unsigned depth, std::uint8_t byte) noexcept {
  return prefix_position(p - 8 * depth, byte);
}

/// Puts `leaf` into the inner node `node` at `depth`, which has no entry at
/// the leaf's place: in the set when the leaf's prefix ends in this node's
/// byte, otherwise under its key byte.  Returns the node standing in place.
ArtNode* place_leaf(ArtNode* node, unsigned depth, Leaf* leaf) {
  NETROVE_ASSERT(leaf->prefix_len / 8u >= depth);
  if (leaf->prefix_len / 8u == depth) {
    NodeHeader* h = as_inner(node);
    h->prefixes = prefix_set_add(h->prefixes, set_position(leaf->prefix_len, depth, leaf->key[depth]), leaf);
    return node;
  }
  return add_child(node, leaf->key[depth], leaf);
}

// Insert into the inner node `node` at `depth` (key.k() >= depth).  Cases:
//   1. k == depth: the entry belongs to this node's set.
//      1a. its position is taken: replace that leaf's record.
//      1b. otherwise: a new leaf at that position.
//   2. no child under addr[depth]: hang a new leaf there.
//   3. the child is an inner node: insert there at depth + 1.
//   4. the child is a leaf of the same prefix: replace its record.
//   5. the child is a leaf of another prefix, in the way: build an empty
//      Node4 one level down, place the old leaf in it (step place_leaf) and
//      insert into that node, where the two may meet again and split once
//      more.  Both prefixes reach at least depth + 1 (leaf slots at depth d
//      hold only prefixes with k > d), so the new node's depth stays below
//      the key length.
// Returns the node that now stands where `node` stood; `added` tells
// whether a new entry was made.
ArtNode* insert_at(ArtNode* node, const Key& key, unsigned depth, RecordRef& record, bool& added) {
  NETROVE_ASSERT(!is_leaf(node) && depth < key.len && key.k() >= depth);
  if (key.k() == depth) {
    NodeHeader* h = as_inner(node);
    const unsigned pos = set_position(key.p, depth, key.addr[depth]);
    if (Leaf* old = prefix_set_find(h->prefixes, pos)) {  // 1a
      NETROVE_ASSERT(old->prefix_len == key.p);
      old->value = std::move(record);
      added = false;
      return node;
    }
    h->prefixes = prefix_set_add(h->prefixes, pos, make_leaf(key.addr, key.len, key.p, std::move(record)));  // 1b
    added = true;
    return node;
  }

  const std::uint8_t b = key.addr[depth];
  ArtNode* child = find_child(*node, b);
  if (child == nullptr) {  // 2
    added = true;
    return add_child(node, b, make_leaf(key.addr, key.len, key.p, std::move(record)));
  }
  if (!is_leaf(child)) {  // 3
    ArtNode* c2 = insert_at(child, key, depth + 1, record, added);
    if (c2 != child) replace_child(*node, b, c2);
    return node;
  }
  Leaf* leaf = as_leaf(child);
  if (leaf->prefix_len == key.p && leaf_matches(*leaf, key.addr, key.len)) {  // 4
    leaf->value = std::move(record);
    added = false;
    return node;
  }
  ArtNode* split = place_leaf(new_node4(), depth + 1, leaf);  // 5
  split = insert_at(split, key, depth + 1, record, added);
  replace_child(*node, b, split);
  return node;
}

/// A node below the root left holding a single entry gives way to that
/// entry's leaf, and one left with none is freed (case 5 of remove_at).  An
/// inner child always holds two entries or more, so a node whose only child
/// is inner stays.
ArtNode* collapsed(ArtNode* node, unsigned depth) noexcept {
  NETROVE_ASSERT(depth > 0);
  NodeHeader* h = as_inner(node);
  const unsigned in_set = h->prefixes != nullptr ? h->prefixes->count : 0;
  const unsigned kids = child_count(*node);
  if (in_set + kids > 1) return node;
  ArtNode* only = nullptr;
  if (kids == 1) {
    for_each_child(*node, [&](std::uint8_t, ArtNode* c) { only = c; });
    if (!is_leaf(only)) return node;
  } else if (in_set == 1) {
    Leaf* l = h->prefixes->leaves()[0];
    prefix_set_take(h->prefixes, set_position(l->prefix_len, depth, l->key[depth]));
    only = l;
  }
  free_inner(node);
  return only;
}

// Remove from the inner node `node` at `depth` (key.k() >= depth).  Cases:
//   1. k == depth: the entry, if stored, is in this node's set.
//   2. no child under addr[depth]: nothing stored for the prefix.
//   3. the child is a leaf: when it holds exactly this prefix, detach its
//      record, free it and take it out of the node (which may shrink);
//      otherwise nothing is stored for the prefix.
//   4. the child is an inner node: remove there; the child that comes back
//      may be another object (a smaller kind), a leaf (it collapsed) or
//      null (it emptied), and is stored back or taken out accordingly.
//   5. something was detached and the node is not a root: it collapses
//      when it is left with one entry or none (collapsed()).
// Returns the node standing where `node` stood, or null.
ArtNode* remove_at(ArtNode* node, const Key& key, unsigned depth, RecordRef& out) {
  NETROVE_ASSERT(!is_leaf(node) && depth < key.len && key.k() >= depth);
  if (key.k() == depth) {  // 1
    NodeHeader* h = as_inner(node);
    Leaf* l = prefix_set_take(h->prefixes, set_position(key.p, depth, key.addr[depth]));
    if (l == nullptr) return node;
    out = std::move(l->value);
    free_leaf(l);
  } else {
    const std::uint8_t b = key.addr[depth];
    ArtNode* child = find_child(*node, b);
    if (child == nullptr) return node;  // 2
    if (is_leaf(child)) {               // 3
      Leaf* leaf = as_leaf(child);
      if (leaf->prefix_len != key.p || !leaf_matches(*leaf, key.addr, key.len)) return node;
      out = std::move(leaf->value);
      free_leaf(leaf);
      node = remove_child(node, b);
    } else {
      ArtNode* c2 = remove_at(child, key, depth + 1, out);  // 4
      if (!out) return node;
      if (c2 == nullptr) node = remove_child(node, b);
      else if (c2 != child) replace_child(*node, b, c2);
    }
  }
  return depth > 0 ? collapsed(node, depth) : node;  // 5
}

/// Whether the first `p` bits of `key` and `addr` agree (p within both).
bool same_leading_bits(const std::uint8_t* key, const std::uint8_t* addr, unsigned p) noexcept {
  const unsigned full = p / 8u, rem = p % 8u;
  if (std::memcmp(key, addr, full) != 0) return false;
  return rem == 0 || ((key[full] ^ addr[full]) >> (8u - rem)) == 0;
}

/// Appends every leaf of the subtree `node`, set entries included.
void collect_all(const ArtNode* node, std::vector<const Leaf*>& out) {
  if (is_leaf(node)) {
    out.push_back(as_leaf(node));
    return;
  }
  if (const PrefixSet* set = as_inner(node)->prefixes)
    out.insert(out.end(), set->leaves(), set->leaves() + set->count);
  for_each_child(*node, [&](std::uint8_t, const ArtNode* child) { collect_all(child, out); });
}

void census_walk(const ArtNode* node, TreeCensus& c) {
  if (node == nullptr) return;
  c.bytes += node_size(*node);
  if (is_leaf(node)) {
    ++c.leaves;
    return;
  }
  const PrefixSet* set = as_inner(node)->prefixes;
  if (set != nullptr) {
    ++c.prefix_sets;
    c.set_leaves += set->count;
    c.leaves += set->count;
    c.bytes += prefix_set_size(set) + set->count * sizeof(Leaf);
  }
  switch (node->node_type) {
    case NodeType::node4: ++c.node4; break;
    case NodeType::node16: ++c.node16; break;
    case NodeType::node48: ++c.node48; break;
    case NodeType::node256: ++c.node256; break;
    case NodeType::leaf: break;
  }
  for_each_child(*node, [&](std::uint8_t, const ArtNode* child) { census_walk(child, c); });
}

}  // namespace

AdaptiveRadixTree::AdaptiveRadixTree() : roots_{new_node4(), new_node4()} {}

AdaptiveRadixTree::~AdaptiveRadixTree() {
  release(roots_[0]);
  release(roots_[1]);
}

bool AdaptiveRadixTree::insert(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len,
                               RecordRef record) {
  const Key key = prefix_key(family, addr, prefix_len);
  bool added = false;
  roots_[family] = insert_at(roots_[family], key, 0, record, added);
  return added;
}

// Search: one descent along the address's bytes.
//   1. At an inner node at depth d, note its PrefixSet (if any) together
//      with addr[d]: its longest entry covering addr[d] is the best
//      candidate so far, deeper sets holding longer prefixes.  Looking into
//      the set is deferred to step 5, so a search that ends at a matching
//      leaf never touches the sets on its path.
//   2. No child under addr[d]: go to 5.
//   3. The child is a leaf: it is the answer when it matches (it is longer
//      than every set entry above it); otherwise go to 5.
//   4. The child is inner: continue at depth d + 1.
//   5. The noted sets, deepest first: the first that holds an entry
//      covering its byte gives the answer; none: no match.
const StoredRecord* AdaptiveRadixTree::search(std::uint8_t family, const std::uint8_t* addr) const {
  const unsigned len = key_len(family);
  const PrefixSet* sets[16];
  std::uint8_t set_bytes[16];
  unsigned noted = 0;
  const ArtNode* node = roots_[family];
  for (unsigned depth = 0; depth < len; ++depth) {
    const NodeHeader* h = as_inner(node);
    if (h->prefixes != nullptr) {  // 1
      __builtin_prefetch(h->prefixes);
      sets[noted] = h->prefixes;
      set_bytes[noted++] = addr[depth];
    }
    const ArtNode* child = find_child(*node, addr[depth]);
    if (child == nullptr) break;  // 2
    if (is_leaf(child)) {         // 3
      if (leaf_matches(*as_leaf(child), addr, len)) return as_leaf(child)->value.get();
      break;
    }
    node = child;  // 4
  }
  while (noted-- > 0)  // 5
    if (const Leaf* l = prefix_set_longest(sets[noted], set_bytes[noted])) return l->value.get();
  return nullptr;
}

RecordRef AdaptiveRadixTree::remove(std::uint8_t family, const std::uint8_t* addr,
                                                    unsigned prefix_len) {
  const Key key = prefix_key(family, addr, prefix_len);
  RecordRef out;
  roots_[family] = remove_at(roots_[family], key, 0, out);
  return out;
}

// The descent of remove, changing nothing.
const StoredRecord* AdaptiveRadixTree::find_exact(std::uint8_t family, const std::uint8_t* addr,
                                              unsigned prefix_len) const {
  const Key key = prefix_key(family, addr, prefix_len);
  const ArtNode* node = roots_[family];
  for (unsigned depth = 0;; ++depth) {
    NETROVE_ASSERT(depth < key.len);
    if (key.k() == depth) {
      const Leaf* l = prefix_set_find(as_inner(node)->prefixes, set_position(key.p, depth, key.addr[depth]));
      return l == nullptr ? nullptr : l->value.get();
    }
    const ArtNode* child = find_child(*node, key.addr[depth]);
    if (child == nullptr) return nullptr;
    if (is_leaf(child)) {
      const Leaf* l = as_leaf(child);
      return l->prefix_len == key.p && leaf_matches(*l, key.addr, key.len) ? l->value.get() : nullptr;
    }
    node = child;
  }
}

// The descent of search, keeping every covering entry it passes.
void AdaptiveRadixTree::covering(std::uint8_t family, const std::uint8_t* addr,
                                 std::vector<const Leaf*>& out) const {
  const unsigned len = key_len(family);
  const ArtNode* node = roots_[family];
  for (unsigned depth = 0; depth < len; ++depth) {
    if (const PrefixSet* set = as_inner(node)->prefixes) {
      for (unsigned r = 0; r < 8; ++r)
        if (const Leaf* l = prefix_set_find(set, prefix_position(r, addr[depth]))) out.push_back(l);
    }
    const ArtNode* child = find_child(*node, addr[depth]);
    if (child == nullptr) return;
    if (is_leaf(child)) {
      if (leaf_matches(*as_leaf(child), addr, len)) out.push_back(as_leaf(child));
      return;
    }
    node = child;
  }
}

// The descent of find_exact to the node at depth k = p / 8, whose byte k
// the prefix ends in.  Cases:
//   1. on the way, no child under the key byte: nothing inside.
//   2. on the way, a leaf: the one entry of that branch, inside or not.
//   3. at depth k: the set entries that lie inside, and the whole subtree
//      of every child whose byte agrees with the prefix's p - 8k bits of
//      byte k (each of those entries is longer than p).
void AdaptiveRadixTree::covered(std::uint8_t family, const std::uint8_t* addr, unsigned prefix_len,
                                std::vector<const Leaf*>& out) const {
  const Key key = prefix_key(family, addr, prefix_len);
  const std::size_t first = out.size();
  const ArtNode* node = roots_[family];
  for (unsigned depth = 0;; ++depth) {
    NETROVE_ASSERT(depth < key.len);
    if (key.k() == depth) {  // 3
      if (const PrefixSet* set = as_inner(node)->prefixes) {
        for (unsigned i = 0; i < set->count; ++i) {
          const Leaf* l = set->leaves()[i];
          if (l->prefix_len >= key.p && same_leading_bits(l->key, addr, key.p)) out.push_back(l);
        }
      }
      const unsigned fixed = key.p - 8 * depth;
      for_each_child(*node, [&](std::uint8_t b, const ArtNode* child) {
        if (((b ^ addr[depth]) >> (8u - fixed)) == 0) collect_all(child, out);
      });
      break;
    }
    const ArtNode* child = find_child(*node, addr[depth]);
    if (child == nullptr) return;  // 1
    if (is_leaf(child)) {          // 2
      const Leaf* l = as_leaf(child);
      if (l->prefix_len >= key.p && same_leading_bits(l->key, addr, key.p)) out.push_back(l);
      return;
    }
    node = child;
  }
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), [](const Leaf* a, const Leaf* b) {
    const int c = std::memcmp(a->key, b->key, sizeof a->key);
    return c != 0 ? c < 0 : a->prefix_len < b->prefix_len;
  });
}

void AdaptiveRadixTree::clear() noexcept {
  for (ArtNode*& root : roots_) {
    ArtNode* old = root;
    root = new_node4();
    release(old);
  }
}

const ArtNode* AdaptiveRadixTree::root(std::uint8_t family) const { return roots_[key_len(family) == 4 ? 0 : 1]; }

TreeCensus AdaptiveRadixTree::census() const {
  TreeCensus c;
  census_walk(roots_[0], c);
  census_walk(roots_[1], c);
  return c;
}

}  // namespace netrove::art
