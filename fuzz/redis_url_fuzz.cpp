// libFuzzer target for parse_redis_url.
//
// Every refusal is one of the known texts after "Redis error: ".  Every
// accepted URL names a redis, redis+unix or unix scheme, has a host (TCP)
// or an absolute socket path (Unix) and UTF-8 credentials (TCP), and
// survives a round trip: written back as a URL with every credential and
// path byte percent-encoded, it parses to the same RedisUrl.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "store/redis_store.hpp"
#include "text/utf8.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view text) {
  __builtin_printf("redis_url_fuzz: %s: [%.*s]\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

// Percent-encodes every byte but letters, digits and "-._~" (and "/" when
// `keep_slash`).
std::string encode(std::string_view s, bool keep_slash = false) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string write_back(const netrove::RedisUrl& u) {
  const std::string protocol = u.protocol == netrove::RedisProtocol::resp3 ? "3" : "2";
  if (u.transport == netrove::RedisUrl::Transport::tcp) {
    std::string s = "redis://";
    if (u.user || u.password) {
      if (u.user) s += encode(*u.user);
      if (u.password) s += ":" + encode(*u.password);
      s += "@";
    }
    s += u.host.find(':') != std::string::npos ? "[" + u.host + "]" : u.host;
    s += ":" + std::to_string(u.port) + "/" + std::to_string(u.db) + "?protocol=" + protocol;
    return s;
  }
  std::string s = "unix://" + encode(u.socket_path, true) + "?db=" + std::to_string(u.db);
  if (u.user) s += "&user=" + encode(*u.user);
  if (u.password) s += "&pass=" + encode(*u.password);
  return s + "&protocol=" + protocol;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::set<std::string> known = {
      "Redis error: Redis URL did not parse",
      "Redis error: can't connect with TLS, the feature is not enabled",
      "Redis error: Missing hostname",
      "Redis error: Missing path",
      "Redis error: Invalid database number",
      "Redis error: Username is not valid UTF-8 string",
      "Redis error: Password is not valid UTF-8 string",
      "Redis error: Invalid protocol version",
  };
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto r = netrove::parse_redis_url(text);
  if (!r.ok()) {
    if (!known.count(r.error().message)) fail("unknown error text", text);
    return 0;
  }
  const netrove::RedisUrl& u = r.value();
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string_view head = lower;  // blanks and controls at the ends are dropped
  while (!head.empty() && static_cast<unsigned char>(head.front()) <= 0x20) head.remove_prefix(1);
  const bool tcp_scheme = head.rfind("redis:", 0) == 0;
  const bool unix_scheme = head.rfind("redis+unix:", 0) == 0 || head.rfind("unix:", 0) == 0;
  if (u.transport == netrove::RedisUrl::Transport::tcp) {
    if (!tcp_scheme) fail("TCP form from another scheme", text);
    if (u.host.empty()) fail("TCP form without a host", text);
    if ((u.user && !netrove::valid_utf8(*u.user)) || (u.password && !netrove::valid_utf8(*u.password)))
      fail("credentials not UTF-8", text);
  } else {
    if (!unix_scheme) fail("Unix form from another scheme", text);
    if (u.socket_path.empty() || u.socket_path.front() != '/') fail("socket path not absolute", text);
  }
  const std::string again = write_back(u);
  const auto back = netrove::parse_redis_url(again);
  if (!back.ok()) fail(("written-back URL refused: " + again + " " + back.error().message).c_str(), text);
  if (!(back.value() == u)) fail(("round trip changed the URL: " + again).c_str(), text);
  return 0;
}
