// store/redis_url.hpp - the parsed form of a Redis URL, and the parser.  A
// leaf beside store_result.hpp, so the wire layer needs no store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/store_result.hpp"

namespace netrove {

/// Wire protocol spoken after connecting.  RESP3 needs hiredis 1.0 or later;
/// older libraries speak RESP2, whose replies carry the same data for the
/// store's commands.
enum class RedisProtocol : std::uint8_t { resp2 = 2, resp3 = 3 };

/// Where and how to reach a server; the parsed form of a Redis URL.
struct RedisUrl {
  enum class Transport : std::uint8_t { tcp, unix_socket };

  Transport transport = Transport::tcp;
  std::string host;                     ///< tcp: name or address, IPv6 without brackets
  std::uint16_t port = 6379;            ///< tcp
  std::string socket_path;              ///< unix_socket
  std::optional<std::string> user;      ///< ACL user name
  std::optional<std::string> password;  ///< AUTH is sent only when present
  std::int64_t db = 0;                  ///< SELECT is sent only when not 0
  RedisProtocol protocol = RedisProtocol::resp2;

  friend bool operator==(const RedisUrl&, const RedisUrl&) = default;
};

/// Parses a Redis URL.  Forms:
///   redis://[user[:password]@]host[:port][/db][?protocol=2|3|resp2|resp3]
///   redis+unix:///socket/path[?db=N][&user=U][&pass=P][&protocol=...]
///   unix:///socket/path[?...]                     (same query keys)
/// User and password are percent-decoded; the db of the TCP form is the
/// path with its slashes at both ends removed (0 when empty).
/// Errors (StoreError texts after "Redis error: "):
///   "Redis URL did not parse"  not a URL, or a scheme other than the above
///   "can't connect with TLS, the feature is not enabled"  scheme "rediss"
///   "Missing hostname" / "Missing path"  no host (tcp) / no socket path (unix)
///   "Invalid database number"  db is not a 64-bit integer
///   "Username is not valid UTF-8 string", "Password is not valid UTF-8 string"
///   "Invalid protocol version"  any other protocol value
/// Pure: touches no network.
StoreResult<RedisUrl> parse_redis_url(std::string_view url);

}  // namespace netrove
