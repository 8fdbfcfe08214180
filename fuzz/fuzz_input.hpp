// The input of the differential fuzzers, read as a stream of bytes.  Past the
// end every read is 0, so a short input is still a whole program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netrove::fuzz {

struct Input {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t next() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};

// Address bytes the fuzzers draw most of the time: few values, so that keys
// share leading bytes and prefixes nest; the stride and octet edges (0x00,
// 0x80, 0xff) and a few in between.
inline constexpr std::uint8_t kPalette[8] = {0x00, 0x0a, 0x10, 0x1f, 0x80, 0xa0, 0xfe, 0xff};

}  // namespace netrove::fuzz
