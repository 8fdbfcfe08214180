// art/node.hpp - the nodes of the adaptive radix tree.
//
// Every inner level of the tree consumes one key byte.  Inner nodes come in
// four kinds that differ in capacity and in how a child is found; a node
// changes kind as children come and go.  Leaves hold one whole prefix.
//
//   Node4    keys[4]   children[4]     slots 0..n-1 in insertion order
//   Node16   keys[16]  children[16]    same discipline, vector search
//   Node48   child_index[256] -> slot 0..47 (48 = empty), children[48]
//   Node256  children[256] indexed by the byte (null = empty)
//   Leaf     key[16] (masked prefix), prefix_len, value -> StoredRecord (shared)
//
//           +-------------------+
//           | node_type | n |pfx|  NodeHeader (16 bytes), then the kind's
//           +-------------------+  arrays; pfx -> PrefixSet or null
//
// Growth and shrinking (num_children after the add / after the removal):
//
//   Node4  --5-->  Node16  --17-->  Node48  --45-->  Node256
//   Node4  <=3---  Node16  <=12---  Node48  <=36---  Node256
//
// Node48 grows early, at 45 and not 49.  Every shrink point lies below the
// grow point that led to the kind (3 < 5, 12 < 17, 36 < 45), so a child
// that comes and goes at a boundary never rebuilds the node on each change.  num_children is 8 bits wide for every kind, so a
// Node256 holding all 256 children records 0; removing one records 255.
//
// `pfx` is what lets the tree hold nested prefixes: an inner node at depth
// d owns the entries whose prefix ends inside the byte it consumes (lengths
// 8d .. 8d+7), see prefix_set.hpp and tree.hpp.  It moves with the node when
// the node changes kind.
//
// Ownership: an inner node owns its children and its PrefixSet; a Leaf owns
// its record.  add_child and remove_child change a node in place when its
// kind stays and otherwise build the node of the new kind, move the header
// and children over and free the old object's own storage; either way the
// caller stores the returned pointer where the old one stood.  Allocation
// failure aborts the process: a tree half-way through a change is never
// left behind by an exception.
#pragma once

#include <cstdint>
#include <memory>

#include "netrove/record.hpp"

namespace netrove::art {

enum class NodeType : std::uint32_t { node4 = 0, node16 = 1, node48 = 2, node256 = 3, leaf = 4 };

/// What every node begins with: its kind.
struct ArtNode {
  NodeType node_type;
};

struct PrefixSet;

/// First part of the four inner kinds.
struct NodeHeader : ArtNode {
  std::uint8_t num_children;  ///< children held; 0 for a full Node256
  PrefixSet* prefixes;        ///< entries ending inside this node's byte, or null
};

struct Node4 : NodeHeader {
  std::uint8_t keys[4];
  ArtNode* children[4];
};

struct Node16 : NodeHeader {
  alignas(16) std::uint8_t keys[16];
  ArtNode* children[16];
};

/// Empty mark of Node48::child_index; any value above 47 reads as empty.
inline constexpr std::uint8_t kNode48Empty = 48;

struct Node48 : NodeHeader {
  std::uint8_t child_index[256];
  ArtNode* children[48];
};

struct Node256 : NodeHeader {
  ArtNode* children[256];
};

/// One stored prefix: the network address with every bit beyond prefix_len
/// cleared, zero-padded to 16 bytes, and its record.  The key carries no
/// family: the tree keeps one root per family instead.
struct Leaf : ArtNode {
  std::uint8_t prefix_len;
  std::uint8_t key[16];
  RecordRef value;
};

static_assert(sizeof(NodeHeader) == 16, "header: type, count, prefix set");
static_assert(sizeof(Node4) == 56, "Node4: header, 4 keys, 4 children");
static_assert(sizeof(Node16) == 160, "Node16: header, 16 keys, 16 children");
static_assert(sizeof(Node48) == 16 + 256 + 48 * 8, "Node48: header, index, 48 children");
static_assert(sizeof(Node256) == 16 + 256 * 8, "Node256: header, 256 children");
static_assert(sizeof(Leaf) == 32, "Leaf: type, length, 16 key bytes, record");

inline bool is_leaf(const ArtNode* n) noexcept { return n->node_type == NodeType::leaf; }
inline Leaf* as_leaf(ArtNode* n) noexcept { return static_cast<Leaf*>(n); }
inline const Leaf* as_leaf(const ArtNode* n) noexcept { return static_cast<const Leaf*>(n); }
inline NodeHeader* as_inner(ArtNode* n) noexcept { return static_cast<NodeHeader*>(n); }
inline const NodeHeader* as_inner(const ArtNode* n) noexcept { return static_cast<const NodeHeader*>(n); }

/// A new, empty Node4 with no prefix set.
Node4* new_node4();

/// The child stored for `byte` in the inner node `node`, or null.  Leaves
/// have no children.  Node16 uses the process's selected vector search.
ArtNode* find_child(const ArtNode& node, std::uint8_t byte) noexcept;

/// Adds `child` under `byte`, which the caller has found absent.  Grows the
/// node when it is full (see the diagram).  Result: the node that now
/// stands where `node` stood (the same object unless the kind changed; a
/// replaced object has been freed).
ArtNode* add_child(ArtNode* node, std::uint8_t byte, ArtNode* child);

/// Takes the child of `byte` out (it is not released) and shrinks the node
/// at the thresholds.  An absent byte leaves the node as it is.  Result: as
/// for add_child.
ArtNode* remove_child(ArtNode* node, std::uint8_t byte);

/// Overwrites in place the pointer stored for `byte`; no change when the
/// byte is absent (Node4, Node16, Node48).
void replace_child(ArtNode& node, std::uint8_t byte, ArtNode* child) noexcept;

/// A new leaf for the prefix of length `prefix_len` whose address is the
/// `len` bytes at `addr`: bytes beyond the prefix cleared, 16 bytes in all.
/// Takes ownership of `record`.
Leaf* make_leaf(const std::uint8_t* addr, unsigned len, unsigned prefix_len, RecordRef record);

/// Whether the leading leaf.prefix_len bits of the leaf's key and of the
/// `len` bytes at `addr` agree (only bytes below `len` are compared).
bool leaf_matches(const Leaf& leaf, const std::uint8_t* addr, unsigned len) noexcept;

/// Frees the inner node object's own storage only: its children and its
/// PrefixSet are the caller's (who has moved them elsewhere).
void free_inner(ArtNode* node) noexcept;

/// The number of children `node` really holds (256 for a full Node256).
unsigned child_count(const ArtNode& node) noexcept;

/// Calls f(byte, child) for every child of the inner node `node`, in slot
/// order for Node4 and Node16 and in byte order for Node48 and Node256.
template <class F>
void for_each_child(const ArtNode& node, F&& f) {
  switch (node.node_type) {
    case NodeType::node4: {
      const auto& n = static_cast<const Node4&>(node);
      for (unsigned i = 0; i < n.num_children; ++i) f(n.keys[i], n.children[i]);
      return;
    }
    case NodeType::node16: {
      const auto& n = static_cast<const Node16&>(node);
      for (unsigned i = 0; i < n.num_children; ++i) f(n.keys[i], n.children[i]);
      return;
    }
    case NodeType::node48: {
      const auto& n = static_cast<const Node48&>(node);
      for (unsigned b = 0; b < 256; ++b)
        if (n.child_index[b] < kNode48Empty && n.children[n.child_index[b]] != nullptr)
          f(static_cast<std::uint8_t>(b), n.children[n.child_index[b]]);
      return;
    }
    case NodeType::node256: {
      const auto& n = static_cast<const Node256&>(node);
      for (unsigned b = 0; b < 256; ++b)
        if (n.children[b] != nullptr) f(static_cast<std::uint8_t>(b), n.children[b]);
      return;
    }
    case NodeType::leaf:
      return;
  }
}

/// Frees `node`, its subtree, its prefix set and every record below it.
/// Null is allowed.
void release(ArtNode* node) noexcept;

/// Frees a leaf and its record.
void free_leaf(Leaf* leaf) noexcept;

/// Storage size in bytes of one node object of `node`'s kind.
std::size_t node_size(const ArtNode& node) noexcept;

}  // namespace netrove::art
