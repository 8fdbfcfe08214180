// libFuzzer target for parse_prefix and prefix_field.
//
// Whatever parse_prefix accepts has a hash-field text that parses back to
// the same prefix and is a fixed point of the round trip; the address part
// of an accepted text is accepted by parse_address with the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "netrove/text.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  __builtin_printf("prefix_fuzz: %s: [%.*s]\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto p = netrove::parse_prefix(text);
  if (!p) return 0;
  if (p->family > netrove::kIpv6) fail("bad family", text);
  if (p->length > netrove::family_bits(p->family)) fail("length beyond the family width", text);
  if (p->family == netrove::kIpv4)
    for (int i = 4; i < 16; ++i)
      if (p->address[i] != 0) fail("IPv4 prefix with bytes beyond four", text);

  const std::string field = netrove::prefix_field(*p);
  const auto back = netrove::parse_prefix(field);
  if (!back || !(*back == *p)) fail("prefix_field does not parse back", text);
  if (netrove::prefix_field(*back) != field) fail("prefix_field is not canonical", text);

  const std::string_view addr = text.substr(0, text.find('/'));
  const auto a = netrove::parse_address(addr);
  if (!a || a->family != p->family || a->bytes != p->address) fail("address part disagrees", text);
  if (text.find('/') == std::string_view::npos && p->length != netrove::family_bits(p->family))
    fail("missing length is not the full width", text);
  return 0;
}
