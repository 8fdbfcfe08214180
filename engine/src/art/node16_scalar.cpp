// Node16 search, scalar path: the slot scan of a Node4 over up to 16 slots.
#include "node16_paths.hpp"

namespace netrove::art {

int node16_search_scalar(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept {
  const unsigned n = num_children < 16 ? num_children : 16;
  for (unsigned i = 0; i < n; ++i)
    if (keys[i] == byte) return static_cast<int>(i);
  return -1;
}

}  // namespace netrove::art
