// snapshot_format.hpp - the constants and varints of the snapshot layout
// (netrove/snapshot.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace netrove::snapshot {

inline constexpr char kMagic[4] = {'N', 'R', 'V', 'S'};
inline constexpr std::uint8_t kVersion = 1;

/// Appends `v` as a LEB128 varint.
inline void put_var(std::string& out, std::uint64_t v) {
  char buf[10];
  std::size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  out.append(buf, n);
}

/// Reads one varint at `p` (before `end`) into `v`; returns what follows
/// it, or null when it runs past `end` or past 64 bits.
inline const unsigned char* get_var(const unsigned char* p, const unsigned char* end, std::uint64_t& v) noexcept {
  std::uint64_t x = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (p == end) return nullptr;
    const unsigned char b = *p++;
    if (shift == 63 && b > 1) return nullptr;  // the 64th bit is the last
    x |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) {
      v = x;
      return p;
    }
  }
  return nullptr;
}

}  // namespace netrove::snapshot
