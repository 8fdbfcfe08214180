// NodeRef: the node interface over the eight layouts, and the owner counts
// that decide when a node or record is retired.
#include "trie/node.hpp"

#include "trie/node_blocks.hpp"

namespace netrove {

namespace trie {

void release(NodeHeader* n) noexcept {
  if (n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    rcu::retire(n, [](void* p) {
      auto* h = static_cast<NodeHeader*>(p);
      with_layout(h->kind, [h](auto* tag) {
        using R = std::remove_pointer_t<decltype(tag)>;
        destroy_block<R>(h);
      });
    });
  }
}

bool try_share(NodeHeader* n) noexcept {
  std::uint32_t c = n->refs.load(std::memory_order_relaxed);
  while (c != 0)
    if (n->refs.compare_exchange_weak(c, c + 1, std::memory_order_relaxed)) return true;
  return false;
}

}  // namespace trie

using trie::as;
using trie::NodeHeader;

namespace {

/// Runs f(R&) on the block of `h`, R its layout.
template <class F>
decltype(auto) visit(NodeHeader* h, F&& f) {
  return trie::with_layout(h->kind, [&](auto* tag) -> decltype(auto) {
    using R = std::remove_pointer_t<decltype(tag)>;
    return f(*as<R>(h));
  });
}

/// A new handle to the child on `side`, taken inside a read section.  A
/// child whose count already reached zero is being replaced; its slot then
/// holds a newer child, so load again.
std::optional<NodeRef> child_handle(NodeHeader* h, bool side) {
  rcu::ReadSection rs;
  for (;;) {
    NodeHeader* c = visit(h, [side](auto& n) { return n.kids.get(side); });
    if (!c) return std::nullopt;
    if (trie::try_share(c)) return NodeRef::adopt(c);
  }
}

void set_child(NodeHeader* h, bool side, std::optional<NodeRef> child) {
  NodeHeader* owned = child ? std::move(*child).release() : nullptr;
  visit(h, [&](auto& n) { n.kids.set(side, owned); });
}

}  // namespace

NodeRef::NodeRef(const NodeRef& other) noexcept : kind_(other.kind_), block_(other.block_) {
  if (block_) trie::share(block_);
}

NodeRef& NodeRef::operator=(const NodeRef& other) noexcept {
  if (this != &other) {
    if (other.block_) trie::share(other.block_);
    if (block_) trie::release(block_);
    kind_ = other.kind_;
    block_ = other.block_;
  }
  return *this;
}

NodeRef& NodeRef::operator=(NodeRef&& other) noexcept {
  if (this != &other) {
    if (block_) trie::release(block_);
    kind_ = other.kind_;
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

NodeRef::~NodeRef() {
  if (block_) trie::release(block_);
}

NodeRef NodeRef::adopt(NodeHeader* block) noexcept { return NodeRef(block->kind, block); }

std::optional<std::uint8_t> NodeRef::prefix_len() const {
  return visit(block_, [](auto& n) { return trie::prefix_len(n); });
}

std::optional<NodeRef> NodeRef::left() const { return child_handle(block_, false); }
std::optional<NodeRef> NodeRef::right() const { return child_handle(block_, true); }

std::optional<Metadata> NodeRef::value() const {
  rcu::ReadSection rs;
  const trie::Record* r = visit(block_, [](auto& n) { return n.value.get(); });
  if (!r) return std::nullopt;
  return RecordView(*r).to_metadata();
}

std::optional<IpPrefix> NodeRef::prefix() const {
  return visit(block_, [](auto& n) { return trie::stored_prefix(n); });
}

void NodeRef::set_left(std::optional<NodeRef> child) { set_child(block_, false, std::move(child)); }
void NodeRef::set_right(std::optional<NodeRef> child) { set_child(block_, true, std::move(child)); }

void NodeRef::set_value(Metadata record) {
  trie::Record* r = RecordRef::intern(record).release();
  visit(block_, [r](auto& n) { n.value.set(r); });
}

void NodeRef::clear_value() {
  visit(block_, [](auto& n) { n.value.set(nullptr); });
}

void NodeRef::set_prefix_len(std::uint8_t length) {
  visit(block_, [length](auto& n) { trie::set_prefix_len(n, length); });
}

void NodeRef::set_prefix(const IpPrefix& prefix) {
  visit(block_, [&prefix](auto& n) { trie::store_prefix(n, prefix); });
}

std::optional<EdgeLabel> NodeRef::edge() const {
  if (!is_compressed(kind_)) return std::nullopt;
  return visit(block_, [](auto& n) { return trie::store_key(trie::edge_label(n)); });
}

std::optional<std::uint64_t> NodeRef::edge_len() const {
  if (!is_compressed(kind_)) return std::nullopt;
  return visit(block_, [](auto& n) { return trie::edge_length(n); });
}

void NodeRef::set_edge(const EdgeLabel& label, std::uint64_t length) {
  const trie::u128 l = trie::load_key(label.data());
  visit(block_, [&](auto& n) { trie::set_edge(n, l, length); });
}

NodeRef make_node(NodeKind kind) {
  NodeHeader* h = trie::with_layout(kind, [](auto* tag) -> NodeHeader* {
    using R = std::remove_pointer_t<decltype(tag)>;
    return &trie::new_node<R>()->hdr;
  });
  return NodeRef::adopt(h);
}

}  // namespace netrove
