// Node16 search, SSE4.1 path: the byte is broadcast by a byte shuffle with
// an all-zero control vector, then compared lane-wise and the lanes packed
// into a mask.  Compiled for SSE4.1 by the target attribute; only called
// when the processor reports SSE4.1.
#include <immintrin.h>

#include "node16_paths.hpp"

namespace netrove::art {

__attribute__((target("sse4.1"))) int node16_search_sse41(const std::uint8_t* keys, unsigned num_children,
                                                          std::uint8_t byte) noexcept {
  const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys));
  const __m128i b = _mm_shuffle_epi8(_mm_cvtsi32_si128(byte), _mm_setzero_si128());
  const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(k, b))) & node16_live_lanes(num_children);
  return mask != 0 ? __builtin_ctz(mask) : -1;
}

}  // namespace netrove::art
