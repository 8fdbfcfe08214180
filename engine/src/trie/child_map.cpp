// ChildMap: the children of kinds 3 and 7 in a two-bucket lock-free hash
// table inside the node (see node_fields.hpp).
#include <random>

#include "trie/node_fields.hpp"

namespace netrove::trie {

namespace {

/// The process's random key for map seeds, drawn as the library loads.
const std::uint64_t g_seed_key = [] {
  std::random_device rd;
  return (std::uint64_t{rd()} << 32) ^ rd();
}();

}  // namespace

unsigned ChildMap::slot_of(bool side) const noexcept {
  std::uint64_t z = g_seed_key ^ reinterpret_cast<std::uintptr_t>(this);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return static_cast<unsigned>((z ^ (z >> 31)) & 1u) ^ static_cast<unsigned>(side);
}

NodeHeader* ChildMap::get(bool side) const noexcept {
  const NodeIndex i = bucket[slot_of(side)].load(std::memory_order_acquire);
  return i != 0 ? static_cast<NodeHeader*>(block_at(i)) : nullptr;
}

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
