// The SSE4.2 CRC-32C unit: the crc32 instruction, eight bytes at a time.
// Compiled for SSE4.2 by a target attribute, called only where the
// processor has it (crc32c.cpp selects).
#include "tablefile/crc32c.hpp"

#if defined(__x86_64__)
#include <cstring>
#include <nmmintrin.h>

namespace netrove::crc {

bool sse42_available() noexcept { return __builtin_cpu_supports("sse4.2"); }

__attribute__((target("sse4.2"))) std::uint32_t crc32c_sse42(std::uint32_t crc, const void* data,
                                                            std::size_t n) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t c = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
  }
  auto c32 = static_cast<std::uint32_t>(c);
  for (; n > 0; --n) c32 = _mm_crc32_u8(c32, *p++);
  return ~c32;
}

}  // namespace netrove::crc

#else

namespace netrove::crc {

bool sse42_available() noexcept { return false; }
std::uint32_t crc32c_sse42(std::uint32_t crc, const void* data, std::size_t n) noexcept {
  return crc32c_portable(crc, data, n);
}

}  // namespace netrove::crc

#endif
