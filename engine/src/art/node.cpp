// Per-node operations of the adaptive radix tree: child search, growth,
// shrinking, leaves.  See art/node.hpp for the kinds and thresholds.
#include "art/node.hpp"

#include <cstring>

#include "alloc.hpp"
#include "art/node16_simd.hpp"
#include "art/prefix_set.hpp"
#include "sync/panic.hpp"

namespace netrove::art {

namespace {

/// Grow and shrink points (num_children after the add / after the removal).
constexpr unsigned kNode4Max = 4;
constexpr unsigned kNode16Max = 16;
constexpr unsigned kNode48Slots = 48;
constexpr unsigned kNode48GrowAt = 45;
// Each shrink point lies well below the grow point of the kind below, so a
// child that comes and goes at a grow point does not rebuild the node on
// every change (hysteresis); a shrunk node has room for a quarter more.
constexpr unsigned kNode16ShrinkAt = 3;
constexpr unsigned kNode48ShrinkAt = 12;
constexpr unsigned kNode256ShrinkAt = 36;

template <class T>
T* new_inner(NodeType type, const NodeHeader& from) noexcept {
  T* n = art_new<T>();
  std::memset(static_cast<void*>(n), 0, sizeof(T));
  n->node_type = type;
  n->num_children = from.num_children;
  n->prefixes = from.prefixes;
  return n;
}

Node16* grow4(Node4* n) noexcept {
  Node16* g = new_inner<Node16>(NodeType::node16, *n);
  std::memcpy(g->keys, n->keys, kNode4Max);
  std::memcpy(g->children, n->children, kNode4Max * sizeof(ArtNode*));
  art_delete(n);
  return g;
}

Node48* grow16(Node16* n) noexcept {
  Node48* g = new_inner<Node48>(NodeType::node48, *n);
  std::memset(g->child_index, kNode48Empty, sizeof g->child_index);
  std::memcpy(g->children, n->children, kNode16Max * sizeof(ArtNode*));
  for (unsigned i = 0; i < kNode16Max; ++i) g->child_index[n->keys[i]] = static_cast<std::uint8_t>(i);
  art_delete(n);
  return g;
}

Node256* grow48(Node48* n) noexcept {
  Node256* g = new_inner<Node256>(NodeType::node256, *n);
  for (unsigned b = 0; b < 256; ++b)
    if (n->child_index[b] < kNode48Slots) g->children[b] = n->children[n->child_index[b]];
  art_delete(n);
  return g;
}

Node4* shrink16(Node16* n) noexcept {
  Node4* s = new_inner<Node4>(NodeType::node4, *n);
  std::memcpy(s->keys, n->keys, n->num_children);
  std::memcpy(s->children, n->children, n->num_children * sizeof(ArtNode*));
  art_delete(n);
  return s;
}

/// Bytes walked in ascending order, so the keys of the result are sorted.
Node16* shrink48(Node48* n) noexcept {
  Node16* s = new_inner<Node16>(NodeType::node16, *n);
  unsigned k = 0;
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned slot = n->child_index[b];
    if (slot < kNode48Slots && n->children[slot] != nullptr) {
      s->keys[k] = static_cast<std::uint8_t>(b);
      s->children[k] = n->children[slot];
      ++k;
    }
  }
  NETROVE_ASSERT(k == n->num_children);
  s->num_children = static_cast<std::uint8_t>(k);
  art_delete(n);
  return s;
}

/// Non-null children get slots 0, 1, 2, ... in ascending byte order.
Node48* shrink256(Node256* n) noexcept {
  Node48* s = new_inner<Node48>(NodeType::node48, *n);
  std::memset(s->child_index, kNode48Empty, sizeof s->child_index);
  unsigned k = 0;
  for (unsigned b = 0; b < 256; ++b) {
    if (n->children[b] == nullptr) continue;
    s->child_index[b] = static_cast<std::uint8_t>(k);
    s->children[k] = n->children[b];
    ++k;
  }
  NETROVE_ASSERT(k <= kNode48Slots);
  s->num_children = static_cast<std::uint8_t>(k);
  art_delete(n);
  return s;
}

/// Appends to a Node4 or Node16 that has room.
template <class T>
void append(T* n, std::uint8_t byte, ArtNode* child) noexcept {
  n->keys[n->num_children] = byte;
  n->children[n->num_children] = child;
  ++n->num_children;
}

/// Removes the first slot holding `byte` from a Node4 or Node16, shifting
/// the later slots down.  The vacated last slot keeps its stale contents.
template <class T>
bool remove_slot(T* n, std::uint8_t byte) noexcept {
  const unsigned cnt = n->num_children;
  for (unsigned i = 0; i < cnt; ++i) {
    if (n->keys[i] != byte) continue;
    std::memmove(n->keys + i, n->keys + i + 1, cnt - i - 1);
    std::memmove(n->children + i, n->children + i + 1, (cnt - i - 1) * sizeof(ArtNode*));
    n->num_children = static_cast<std::uint8_t>(cnt - 1);
    return true;
  }
  return false;
}

ArtNode* add48(Node48* n, std::uint8_t byte, ArtNode* child) noexcept {
  unsigned slot = 0;
  while (slot < kNode48Slots && n->children[slot] != nullptr) ++slot;
  NETROVE_ASSERT(slot < kNode48Slots);
  n->children[slot] = child;
  n->child_index[byte] = static_cast<std::uint8_t>(slot);
  ++n->num_children;
  if (n->num_children >= kNode48GrowAt) return grow48(n);
  return n;
}

void add256(Node256* n, std::uint8_t byte, ArtNode* child) noexcept {
  if (n->children[byte] == nullptr) ++n->num_children;  // 8 bits: 255 + 1 reads 0
  n->children[byte] = child;
}

}  // namespace

Node4* new_node4() {
  Node4* n = art_new<Node4>();
  std::memset(static_cast<void*>(n), 0, sizeof(Node4));
  n->node_type = NodeType::node4;
  return n;
}

ArtNode* find_child(const ArtNode& node, std::uint8_t byte) noexcept {
  switch (node.node_type) {
    case NodeType::node4: {
      const auto& n = static_cast<const Node4&>(node);
      for (unsigned i = 0; i < n.num_children; ++i)
        if (n.keys[i] == byte) return n.children[i];
      return nullptr;
    }
    case NodeType::node16: {
      const auto& n = static_cast<const Node16&>(node);
      const int slot = node16_search(n.keys, n.num_children, byte);
      return slot < 0 ? nullptr : n.children[slot];
    }
    case NodeType::node48: {
      const auto& n = static_cast<const Node48&>(node);
      const unsigned slot = n.child_index[byte];
      return slot < kNode48Slots ? n.children[slot] : nullptr;
    }
    case NodeType::node256:
      return static_cast<const Node256&>(node).children[byte];
    case NodeType::leaf:
      return nullptr;
  }
  return nullptr;
}

// Cases, by kind (the caller has checked that `byte` is absent):
//   1. Node4 with room: append.        2. full Node4: grow to Node16, append.
//   3. Node16 with room: append.       4. full Node16: grow to Node48, go to 5.
//   5. Node48: first free slot; at 45 children grow to Node256.  A Node48
//      with all 48 slots in use (no shrink leaves one) grows first.
//   6. Node256: store by byte.
ArtNode* add_child(ArtNode* node, std::uint8_t byte, ArtNode* child) {
  NETROVE_ASSERT(child != nullptr);
  NETROVE_ASSERT(find_child(*node, byte) == nullptr);
  switch (node->node_type) {
    case NodeType::node4: {
      auto* n = static_cast<Node4*>(node);
      if (n->num_children < kNode4Max) {  // 1
        append(n, byte, child);
        return n;
      }
      Node16* g = grow4(n);  // 2
      append(g, byte, child);
      return g;
    }
    case NodeType::node16: {
      auto* n = static_cast<Node16*>(node);
      if (n->num_children < kNode16Max) {  // 3
        append(n, byte, child);
        return n;
      }
      return add48(grow16(n), byte, child);  // 4
    }
    case NodeType::node48: {
      auto* n = static_cast<Node48*>(node);
      if (n->num_children >= kNode48Slots) {  // 5, no free slot
        Node256* g = grow48(n);
        add256(g, byte, child);
        return g;
      }
      return add48(n, byte, child);  // 5
    }
    case NodeType::node256: {
      auto* n = static_cast<Node256*>(node);
      add256(n, byte, child);  // 6
      return n;
    }
    case NodeType::leaf:
      break;
  }
  panic("add_child called on a leaf");
}

// Cases, by kind:
//   1. Node4: shift the later slots down; never changes kind, may end empty.
//   2. Node16: as 1; at 3 children or fewer shrink to Node4.
//   3. Node48: free the slot; at 12 or fewer shrink to Node16 (sorted keys).
//   4. Node256: clear the pointer; at 36 or fewer shrink to Node48.
ArtNode* remove_child(ArtNode* node, std::uint8_t byte) {
  switch (node->node_type) {
    case NodeType::node4:
      remove_slot(static_cast<Node4*>(node), byte);  // 1
      return node;
    case NodeType::node16: {
      auto* n = static_cast<Node16*>(node);
      if (remove_slot(n, byte) && n->num_children <= kNode16ShrinkAt) return shrink16(n);  // 2
      return n;
    }
    case NodeType::node48: {
      auto* n = static_cast<Node48*>(node);
      const unsigned slot = n->child_index[byte];
      if (slot >= kNode48Slots) return n;
      n->children[slot] = nullptr;
      n->child_index[byte] = kNode48Empty;
      --n->num_children;
      if (n->num_children <= kNode48ShrinkAt) return shrink48(n);  // 3
      return n;
    }
    case NodeType::node256: {
      auto* n = static_cast<Node256*>(node);
      if (n->children[byte] == nullptr) return n;
      n->children[byte] = nullptr;
      --n->num_children;  // 8 bits: a full node's 0 becomes 255
      if (n->num_children <= kNode256ShrinkAt) return shrink256(n);  // 4
      return n;
    }
    case NodeType::leaf:
      break;
  }
  panic("remove_child called on a leaf");
}

void replace_child(ArtNode& node, std::uint8_t byte, ArtNode* child) noexcept {
  switch (node.node_type) {
    case NodeType::node4: {
      auto& n = static_cast<Node4&>(node);
      for (unsigned i = 0; i < n.num_children; ++i)
        if (n.keys[i] == byte) {
          n.children[i] = child;
          return;
        }
      return;
    }
    case NodeType::node16: {
      auto& n = static_cast<Node16&>(node);
      const int slot = node16_search(n.keys, n.num_children, byte);
      if (slot >= 0) n.children[slot] = child;
      return;
    }
    case NodeType::node48: {
      auto& n = static_cast<Node48&>(node);
      if (n.child_index[byte] < kNode48Slots) n.children[n.child_index[byte]] = child;
      return;
    }
    case NodeType::node256:
      static_cast<Node256&>(node).children[byte] = child;
      return;
    case NodeType::leaf:
      return;
  }
}

Leaf* make_leaf(const std::uint8_t* addr, unsigned len, unsigned prefix_len, RecordRef record) {
  Leaf* l = art_new<Leaf>();
  l->node_type = NodeType::leaf;
  l->prefix_len = static_cast<std::uint8_t>(prefix_len);
  std::memset(l->key, 0, sizeof l->key);
  const unsigned full = prefix_len / 8, rem = prefix_len % 8;
  unsigned copy = full < len ? full : len;
  if (copy > 16) copy = 16;
  std::memcpy(l->key, addr, copy);
  if (rem != 0 && len > full && full < 16) l->key[full] = static_cast<std::uint8_t>(addr[full] & (0xFFu << (8 - rem)));
  l->value = std::move(record);
  return l;
}

bool leaf_matches(const Leaf& leaf, const std::uint8_t* addr, unsigned len) noexcept {
  const unsigned full = leaf.prefix_len / 8u, rem = leaf.prefix_len % 8u;
  const unsigned n = full < len ? full : len;
  if (std::memcmp(leaf.key, addr, n) != 0) return false;
  if (rem != 0 && len > full) return ((leaf.key[full] ^ addr[full]) >> (8u - rem)) == 0;
  return true;
}

unsigned child_count(const ArtNode& node) noexcept {
  if (node.node_type == NodeType::leaf) return 0;
  const unsigned n = static_cast<const NodeHeader&>(node).num_children;
  return node.node_type == NodeType::node256 && n == 0 ? 256u : n;
}

void free_leaf(Leaf* leaf) noexcept { art_delete(leaf); }

void free_inner(ArtNode* node) noexcept {
  switch (node->node_type) {
    case NodeType::node4: art_delete(static_cast<Node4*>(node)); return;
    case NodeType::node16: art_delete(static_cast<Node16*>(node)); return;
    case NodeType::node48: art_delete(static_cast<Node48*>(node)); return;
    case NodeType::node256: art_delete(static_cast<Node256*>(node)); return;
    case NodeType::leaf: return;
  }
}

void release(ArtNode* node) noexcept {
  if (node == nullptr) return;
  if (is_leaf(node)) {
    free_leaf(as_leaf(node));
    return;
  }
  for_each_child(*node, [](std::uint8_t, ArtNode* child) { release(child); });
  prefix_set_release(as_inner(node)->prefixes);
  free_inner(node);
}

std::size_t node_size(const ArtNode& node) noexcept {
  switch (node.node_type) {
    case NodeType::node4: return sizeof(Node4);
    case NodeType::node16: return sizeof(Node16);
    case NodeType::node48: return sizeof(Node48);
    case NodeType::node256: return sizeof(Node256);
    case NodeType::leaf: return sizeof(Leaf);
  }
  return 0;
}

}  // namespace netrove::art
