// The three Node16 search implementations, one translation unit each.
// Only node16_select.cpp and the tests call them directly.
#pragma once

#include <cstdint>

namespace netrove::art {

int node16_search_avx2(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept;
int node16_search_sse41(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept;
int node16_search_scalar(const std::uint8_t* keys, unsigned num_children, std::uint8_t byte) noexcept;

/// Mask of the lanes below num_children: the complement of all-ones shifted
/// left by num_children (num_children <= 16).
inline unsigned node16_live_lanes(unsigned num_children) noexcept { return ~(~0u << num_children) & 0xFFFFu; }

}  // namespace netrove::art
