// The portable CRC-32C unit: slicing by 8.
//
// kTable[0] is the classic byte-at-a-time table (the CRC of one byte
// value); kTable[k][b] is the CRC of byte b followed by k zero bytes, so
// eight input bytes fold into the register with eight lookups and no
// dependency between them:
//
//   crc ^= next 4 bytes (little-endian)
//   crc  = T7[b0] ^ T6[b1] ^ T5[b2] ^ T4[b3] ^ T3[b4] ^ T2[b5] ^ T1[b6] ^ T0[b7]
#include <array>
#include <cstring>

#include "tablefile/crc32c.hpp"

namespace netrove::crc {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;

constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (kPoly & (0u - (c & 1u)));
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}

constexpr auto kTable = make_tables();

}  // namespace

std::uint32_t crc32c_portable(std::uint32_t crc, const void* data, std::size_t n) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);  // little-endian hosts only, as every supported one is
    std::memcpy(&hi, p + 4, 4);
    lo ^= crc;
    crc = kTable[7][lo & 0xFF] ^ kTable[6][(lo >> 8) & 0xFF] ^ kTable[5][(lo >> 16) & 0xFF] ^ kTable[4][lo >> 24] ^
          kTable[3][hi & 0xFF] ^ kTable[2][(hi >> 8) & 0xFF] ^ kTable[1][(hi >> 16) & 0xFF] ^ kTable[0][hi >> 24];
  }
  for (; n > 0; --n) crc = (crc >> 8) ^ kTable[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

}  // namespace netrove::crc
