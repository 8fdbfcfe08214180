// ChildMap: the children of kinds 3 and 7 in a two-bucket lock-free hash
// table inside the node (see node_fields.hpp).
#include <random>

#include "trie/node_fields.hpp"

namespace netrove::trie {

const std::uint64_t g_child_map_key = [] {
  std::random_device rd;
  return (std::uint64_t{rd()} << 32) ^ rd();
}();

void ChildMap::set(bool side, NodeHeader* owned) noexcept {
  const NodeIndex old = bucket[slot_of(side)].exchange(owned ? index_of(owned) : 0, std::memory_order_acq_rel);
  if (old != 0) release(static_cast<NodeHeader*>(block_at(old)));
}

NodeHeader* ChildMap::take(bool side) noexcept {
  const NodeIndex i = bucket[slot_of(side)].exchange(0, std::memory_order_acq_rel);
  return i != 0 ? static_cast<NodeHeader*>(block_at(i)) : nullptr;
}

void ChildMap::teardown() noexcept {
  set(false, nullptr);
  set(true, nullptr);
}

}  // namespace netrove::trie
