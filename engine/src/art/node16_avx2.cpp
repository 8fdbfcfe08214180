// Node16 search, AVX2 path: byte broadcast, 16-lane equality compare and
// mask extraction, all on 128-bit registers.  Compiled for AVX2 by the
// target attribute; only called when the processor reports AVX2.
#include <immintrin.h>

#include "node16_paths.hpp"

namespace netrove::art {

__attribute__((target("avx2"))) int node16_search_avx2(const std::uint8_t* keys, unsigned num_children,
                                                       std::uint8_t byte) noexcept {
  const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys));
  const __m128i b = _mm_broadcastb_epi8(_mm_cvtsi32_si128(byte));
  const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(k, b))) & node16_live_lanes(num_children);
  return mask != 0 ? __builtin_ctz(mask) : -1;
}

}  // namespace netrove::art
