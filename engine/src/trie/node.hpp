// trie/node.hpp - binary trie nodes: the eight layouts behind one
// interface of fourteen operations.
//
// Kinds 0-3 are uncompressed nodes (one node per key bit), kinds 4-7
// compressed nodes (an edge label of up to 128 key bits).  Within a family
// the kinds hold the same information and differ only in how each field is
// synchronised.  The layouts themselves are private (trie/node_blocks.hpp);
// this header offers the handle, NodeRef, and the interface, Node.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"
#include "trie/node_kind.hpp"

namespace netrove {

/// An edge label: 16 bytes, key bits most significant first; bits beyond the
/// edge length are zero.
using EdgeLabel = std::array<std::uint8_t, 16>;

namespace trie {
struct NodeHeader;
}

class NodeRef;

/// The node interface, operations in slot order.  Every operation is safe to
/// call from any thread at any time; getters hand out copies.  Column "U"
/// below means kinds 0-3, "C" kinds 4-7.
class Node {
 public:
  /// Slot 0.  U: the stored prefix length, if any.  C: always empty.
  virtual std::optional<std::uint8_t> prefix_len() const = 0;
  /// Slot 1.  A new handle to child 0, if any.
  virtual std::optional<NodeRef> left() const = 0;
  /// Slot 2.  A new handle to child 1, if any.
  virtual std::optional<NodeRef> right() const = 0;
  /// Slot 3.  A copy of the stored record, if any.
  virtual std::optional<Metadata> value() const = 0;
  /// Slot 4.  A copy of the stored prefix, if any.
  virtual std::optional<IpPrefix> prefix() const = 0;
  /// Slot 5.  Replaces child 0 (none removes it).
  virtual void set_left(std::optional<NodeRef> child) = 0;
  /// Slot 6.  Replaces child 1 (none removes it).
  virtual void set_right(std::optional<NodeRef> child) = 0;
  /// Slot 7.  Stores `record`, replacing any previous one.
  virtual void set_value(Metadata record) = 0;
  /// Slot 8.  Drops the stored record; a no-op on an empty node.
  virtual void clear_value() = 0;
  /// Slot 9.  U: stores the prefix length.  C: no effect.
  virtual void set_prefix_len(std::uint8_t length) = 0;
  /// Slot 10.  Stores `prefix` exactly as given.
  virtual void set_prefix(const IpPrefix& prefix) = 0;
  /// Slot 11.  U: always empty.  C: the edge label.
  virtual std::optional<EdgeLabel> edge() const = 0;
  /// Slot 12.  U: always empty.  C: the edge length.
  virtual std::optional<std::uint64_t> edge_len() const = 0;
  /// Slot 13.  C: stores label and length.  U: panics with
  /// "set_edge called on an uncompressed node".
  virtual void set_edge(const EdgeLabel& label, std::uint64_t length) = 0;

  virtual ~Node() = default;
};

/// A shared handle to one node: the node's kind and a counted reference to
/// its block.  Copying a handle shares the node; the node (with its record,
/// prefix and child handles) is destroyed once its last handle and its last
/// parent link are gone and no concurrent reader can still see it.  The
/// operations dispatch on the kind.
class NodeRef final : public Node {
 public:
  NodeRef(const NodeRef& other) noexcept;
  NodeRef(NodeRef&& other) noexcept : kind_(other.kind_), block_(other.block_) { other.block_ = nullptr; }
  NodeRef& operator=(const NodeRef& other) noexcept;
  NodeRef& operator=(NodeRef&& other) noexcept;
  ~NodeRef() override;

  NodeKind kind() const noexcept { return kind_; }
  /// Whether two handles share one node.
  friend bool operator==(const NodeRef& a, const NodeRef& b) noexcept { return a.block_ == b.block_; }

  std::optional<std::uint8_t> prefix_len() const override;
  std::optional<NodeRef> left() const override;
  std::optional<NodeRef> right() const override;
  std::optional<Metadata> value() const override;
  std::optional<IpPrefix> prefix() const override;
  void set_left(std::optional<NodeRef> child) override;
  void set_right(std::optional<NodeRef> child) override;
  void set_value(Metadata record) override;
  void clear_value() override;
  void set_prefix_len(std::uint8_t length) override;
  void set_prefix(const IpPrefix& prefix) override;
  std::optional<EdgeLabel> edge() const override;
  std::optional<std::uint64_t> edge_len() const override;
  void set_edge(const EdgeLabel& label, std::uint64_t length) override;

  /// Internal: takes over one reference to `block` (never null).
  static NodeRef adopt(trie::NodeHeader* block) noexcept;
  /// Internal: the node block; the handle keeps it alive.
  trie::NodeHeader* get() const noexcept { return block_; }
  /// Internal: gives up the reference without releasing it.
  trie::NodeHeader* release() && noexcept {
    trie::NodeHeader* r = block_;
    block_ = nullptr;
    return r;
  }

 private:
  NodeRef(NodeKind kind, trie::NodeHeader* block) noexcept : kind_(kind), block_(block) {}
  NodeKind kind_;
  trie::NodeHeader* block_;
};

/// A new empty node of `kind`: no children, record, prefix or prefix length;
/// compressed kinds an all-zero label of length 0.
NodeRef make_node(NodeKind kind);

}  // namespace netrove
