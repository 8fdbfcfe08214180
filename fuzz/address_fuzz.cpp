// libFuzzer target for parse_address and format_address.
//
// An accepted address formats to text that parses back to it; a text
// without "/" is an address exactly when it is a full-width prefix; and over
// the characters [0-9a-fA-F:.] the grammar agrees with glibc's inet_pton.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "netrove/text.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  __builtin_printf("address_fuzz: %s: [%.*s]\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

bool oracle_alphabet(std::string_view s) {
  for (char c : s) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != ':' && c != '.') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto a = netrove::parse_address(text);
  if (a) {
    if (a->family == netrove::kIpv4)
      for (int i = 4; i < 16; ++i)
        if (a->bytes[i] != 0) fail("IPv4 address with bytes beyond four", text);
    const std::string formatted = netrove::format_address(a->family, a->bytes);
    const auto back = netrove::parse_address(formatted);
    if (!back || !(*back == *a)) fail("formatted address does not parse back", text);
  }
  if (text.find('/') == std::string_view::npos) {
    const auto p = netrove::parse_prefix(text);
    if (p.has_value() != a.has_value()) fail("parse_prefix and parse_address disagree", text);
    if (p && (p->family != a->family || p->address != a->bytes || p->length != netrove::family_bits(p->family)))
      fail("parse_prefix and parse_address give different values", text);
  }
  if (size < 64 && oracle_alphabet(text)) {
    const std::string z(text);
    netrove::IpAddress o;
    bool ok = inet_pton(AF_INET, z.c_str(), o.bytes.data()) == 1;
    if (!ok && inet_pton(AF_INET6, z.c_str(), o.bytes.data()) == 1) {
      o.family = netrove::kIpv6;
      ok = true;
    }
    if (ok != a.has_value() || (ok && !(o == *a))) fail("disagrees with inet_pton", text);
  }
  return 0;
}
