// Entry texts (entry_text.hpp).
#include "entry_text.hpp"

#include "netrove/text.hpp"

namespace netrove::cli {

std::string prefix_text(const IpPrefix& prefix) {
  std::string out;
  append_prefix_text(out, prefix);
  return out;
}

void append_prefix_text(std::string& out, const IpPrefix& prefix) {
  const auto net = prefix.network_address();
  if (prefix.family == kIpv6) {
    out += format_address(kIpv6, net);
  } else {
    char buf[16];
    char* p = buf;
    for (int i = 0; i < 4; ++i) {
      unsigned v = net[i];
      if (v >= 100) *p++ = static_cast<char>('0' + v / 100), v %= 100, *p++ = static_cast<char>('0' + v / 10);
      else if (v >= 10) *p++ = static_cast<char>('0' + v / 10);
      *p++ = static_cast<char>('0' + v % 10);
      if (i < 3) *p++ = '.';
    }
    out.append(buf, static_cast<std::size_t>(p - buf));
  }
  out.push_back('/');
  if (prefix.length >= 100) out.push_back('1');
  if (prefix.length >= 10) out.push_back(static_cast<char>('0' + (prefix.length / 10) % 10));
  out.push_back(static_cast<char>('0' + prefix.length % 10));
}

}  // namespace netrove::cli
