// trie/node_kind.hpp - the tag of the eight binary-trie node layouts, a leaf
// so that the node fields can name a kind without the node interface.
#pragma once

#include <cstdint>

namespace netrove {

/// The eight node layouts.  0-3 uncompressed (one node per key bit), 4-7
/// compressed (edge labels).  Within a family they differ only in how each
/// field is synchronised.
enum class NodeKind : std::uint8_t {
  uncompressed_locked = 0,
  uncompressed_atomic = 1,
  uncompressed_padded = 2,
  uncompressed_mapped = 3,
  compressed_locked = 4,
  compressed_atomic = 5,
  compressed_padded = 6,
  compressed_mapped = 7,
};

constexpr bool is_compressed(NodeKind k) noexcept { return static_cast<std::uint8_t>(k) >= 4; }

}  // namespace netrove
