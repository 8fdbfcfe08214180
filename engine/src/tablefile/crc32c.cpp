// The selection point of the CRC-32C units (crc32c.hpp).
#include "tablefile/crc32c.hpp"

namespace netrove::crc {

using Unit = std::uint32_t (*)(std::uint32_t, const void*, std::size_t) noexcept;

std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t n) noexcept {
  // Chosen on the first call, so that a static initializer may checksum too.
  static const Unit unit = sse42_available() ? crc32c_sse42 : crc32c_portable;
  return unit(crc, data, n);
}

}  // namespace netrove::crc
