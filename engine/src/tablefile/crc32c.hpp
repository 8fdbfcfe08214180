// crc32c.hpp - CRC-32C (Castagnoli, polynomial 0x1EDC6F41 reflected as
// 0x82F63B78), the checksum of a table file's body.
//
// One selection point, crc32c(), picks the unit for the machine once: the
// SSE4.2 instruction where the processor has it, else the portable
// table-driven unit.  Both give the same value for the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netrove::crc {

/// Extends `crc` (0 for the first bytes) over `data[0..n)`: the CRC-32C of
/// all bytes given so far, so crc32c(crc32c(0, a), b) == crc32c(0, a + b).
/// crc32c(0, "123456789") == 0xE3069283.
std::uint32_t crc32c(std::uint32_t crc, const void* data, std::size_t n) noexcept;

/// The units behind crc32c(), for tests that hold them to each other.
std::uint32_t crc32c_portable(std::uint32_t crc, const void* data, std::size_t n) noexcept;
/// Precondition: sse42_available().
std::uint32_t crc32c_sse42(std::uint32_t crc, const void* data, std::size_t n) noexcept;
bool sse42_available() noexcept;

}  // namespace netrove::crc
