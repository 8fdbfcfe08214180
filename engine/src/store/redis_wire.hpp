// redis_wire.hpp - one blocking connection to a Redis server, and the
// conversion of an HGETALL reply (private to the store).
//
// Built on hiredis.  Debian 12 ships hiredis 0.14 (RESP2 only); 1.x adds
// RESP3 and its map replies, used when the URL asks for protocol 3.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "store/redis_url.hpp"
#include "store/store_result.hpp"

namespace netrove {

struct ReplyFree {
  void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

/// Why a connect or a command failed.
struct WireError {
  enum class Kind : std::uint8_t {
    socket,   ///< refused, reset, closed or unresolvable: the connection is unusable
    timeout,  ///< no answer within the time-out: the connection is unusable
    reply,    ///< the server answered with an error: the connection is still good
  };
  Kind kind = Kind::socket;
  std::string detail;  ///< the library's or the server's text
};

/// An open, blocking connection: authenticated, protocol chosen and db
/// selected as its endpoint asks.  Movable, not copyable; one thread at a
/// time.
class Connection {
 public:
  /// Connects to `endpoint` within `connect_timeout` (trying each resolved
  /// address of a host name in turn), arms `command_timeout` for every later
  /// send and receive, then sends AUTH [user] password when the endpoint has
  /// a password, HELLO 3 when it asks for RESP3 and the library has it, and
  /// SELECT db when db is not 0.
  /// Result: the connection, or the first failure (an error reply to one of
  /// those commands is Kind::reply).
  static std::variant<Connection, WireError> open(const RedisUrl& endpoint, std::chrono::milliseconds connect_timeout,
                                                  std::chrono::milliseconds command_timeout);

  Connection(Connection&& o) noexcept : ctx_(std::exchange(o.ctx_, nullptr)) {}
  Connection& operator=(Connection&& o) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  /// Sends one command (binary-safe arguments) and reads its reply.  An
  /// error reply is returned as Kind::reply; a socket failure or time-out
  /// leaves the connection unusable.  SIGPIPE from a peer that has gone is
  /// kept from the process.
  std::variant<ReplyPtr, WireError> command(const std::vector<std::string_view>& argv);

  /// Pipelining: `append` queues a command in the output buffer without
  /// sending it; `read_reply` sends whatever is queued and reads the next
  /// reply, in the order the commands were queued.  Failures as for command.
  std::optional<WireError> append(const std::vector<std::string_view>& argv);
  std::variant<ReplyPtr, WireError> read_reply();

  /// Sends one command whose reply is HGETALL-shaped and hands its pairs to
  /// `visit` while hiredis parses them, in reply order, as views valid
  /// during the call: no reply object is built (a million pairs made two
  /// million allocations and frees).  The pairs are checked as
  /// visit_entries checks them, but as they come: a reply found bad part
  /// way ("Response type not map compatible", the connection still in
  /// step) has had its earlier pairs visited.  `*visited` counts the
  /// visits.  Failures as for command; what `visit` throws is rethrown once
  /// the reply is read (the connection then unusable).
  std::variant<StoreStatus, WireError> command_pairs(const std::vector<std::string_view>& argv,
                                                     const EntryVisit& visit, std::size_t* visited);

  /// Changes the send and receive time-out of later commands.
  bool set_timeout(std::chrono::milliseconds timeout);

  /// The hiredis context, for the follower's subscription (which polls its
  /// descriptor and reads replies as they come).
  redisContext* raw() noexcept { return ctx_; }

 private:
  explicit Connection(redisContext* ctx) noexcept : ctx_(ctx) {}
  redisContext* ctx_;
};

/// The pairs of an HGETALL reply: nil is no pairs; an array of even length
/// or a map (RESP3) gives field, value, field, value...; every element must
/// be a string, status, integer (or, in RESP3, verbatim, double or big
/// number) reply.  Anything else is "Redis error: Response type not map
/// compatible".
StoreResult<StoreEntries> entries_from_reply(const redisReply& reply);

/// The pairs of an HGETALL reply, checked as entries_from_reply checks
/// them (all of them, before the first visit), handed to `visit` in reply
/// order without a copy: a bulk load reads the reply in place.
StoreStatus visit_entries(const redisReply& reply, const EntryVisit& visit);

}  // namespace netrove
