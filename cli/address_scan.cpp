// The address readers behind scan_addresses (address_scan.hpp).
#include "address_scan.hpp"

#include "netrove/text.hpp"

namespace netrove::cli {

bool read_dotted_quad(std::string_view text, IpAddress& out) noexcept {
  if (text.size() < 7 || text.size() > 15) return false;
  out = IpAddress{};
  unsigned field = 0, value = 0, digits = 0;
  for (const char c : text) {
    if (c == '.') {
      if (digits == 0 || field == 3) return false;
      out.bytes[field++] = static_cast<std::uint8_t>(value);
      value = digits = 0;
      continue;
    }
    if (c < '0' || c > '9') return false;
    if (digits == 1 && value == 0) return false;  // a leading zero
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (++digits > 3 || value > 255) return false;
  }
  if (digits == 0 || field != 3) return false;
  out.bytes[3] = static_cast<std::uint8_t>(value);
  return true;
}

bool read_ipv6_field(std::string_view text, IpAddress& out) noexcept {
  if (text.size() > 45) return false;  // the longest IPv6 text
  const std::optional<IpAddress> a = parse_address(text);
  if (!a || a->family != kIpv6) return false;
  out = *a;
  return true;
}

}  // namespace netrove::cli
