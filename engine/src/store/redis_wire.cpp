// Connection and entries_from_reply: the hiredis side of the store.
#include "store/redis_wire.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>

#include "sync/panic.hpp"

namespace netrove {

namespace {

constexpr std::string_view kNotMap = "Response type not map compatible";

timeval to_timeval(std::chrono::milliseconds ms) {
  const auto count = ms.count() < 1 ? 1 : ms.count();
  return timeval{static_cast<time_t>(count / 1000), static_cast<suseconds_t>((count % 1000) * 1000)};
}

// Keeps SIGPIPE, raised by a write to a peer that has closed, from the
// process: blocked on this thread for the guard's life, and a SIGPIPE that
// became pending meanwhile is taken off before the mask is restored.
class SigpipeGuard {
 public:
  SigpipeGuard() noexcept {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

// The failure recorded in `ctx` after a call failed with `saved_errno`.
WireError failure_of(const redisContext* ctx, int saved_errno) {
  WireError e;
  e.detail = ctx->errstr[0] ? ctx->errstr : "Unknown connection failure";
#ifdef REDIS_ERR_TIMEOUT
  if (ctx->err == REDIS_ERR_TIMEOUT) e.kind = WireError::Kind::timeout;
#endif
  if (ctx->err == REDIS_ERR_IO &&
      (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK || saved_errno == ETIMEDOUT || saved_errno == EINPROGRESS))
    e.kind = WireError::Kind::timeout;
  if (e.kind == WireError::Kind::timeout) e.detail = "Timed out waiting for the server (" + e.detail + ")";
  return e;
}

// The text of a reply element, when it has one.
bool text_of(const redisReply* r, std::string& out) {
  if (r == nullptr) return false;
  switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
#if HIREDIS_MAJOR >= 1
    case REDIS_REPLY_VERB:
    case REDIS_REPLY_DOUBLE:
    case REDIS_REPLY_BIGNUM:
#endif
      out.assign(r->str, r->len);
      return true;
    case REDIS_REPLY_INTEGER:
      out = std::to_string(r->integer);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::variant<Connection, WireError> Connection::open(const RedisUrl& endpoint,
                                                     std::chrono::milliseconds connect_timeout,
                                                     std::chrono::milliseconds command_timeout) {
  const timeval tv = to_timeval(connect_timeout);
  errno = 0;
  redisContext* raw = endpoint.transport == RedisUrl::Transport::tcp
                          ? redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, tv)
                          : redisConnectUnixWithTimeout(endpoint.socket_path.c_str(), tv);
  const int saved = errno;
  if (raw == nullptr) return WireError{WireError::Kind::socket, "Can't allocate redis context"};
  Connection conn(raw);
  if (raw->err) return failure_of(raw, saved);
  if (redisSetTimeout(raw, to_timeval(command_timeout)) != REDIS_OK) return failure_of(raw, errno);

  auto step = [&conn](std::vector<std::string_view> argv) -> std::optional<WireError> {
    auto r = conn.command(argv);
    if (auto* e = std::get_if<WireError>(&r)) return std::move(*e);
    return std::nullopt;
  };
  if (endpoint.password) {
    std::vector<std::string_view> auth{"AUTH"};
    if (endpoint.user) auth.push_back(*endpoint.user);
    auth.push_back(*endpoint.password);
    if (auto e = step(std::move(auth))) return std::move(*e);
  }
#if HIREDIS_MAJOR >= 1
  if (endpoint.protocol == RedisProtocol::resp3)
    if (auto e = step({"HELLO", "3"})) return std::move(*e);
#endif
  if (endpoint.db != 0) {
    const std::string db = std::to_string(endpoint.db);
    if (auto e = step({"SELECT", db})) return std::move(*e);
  }
  return conn;
}

Connection& Connection::operator=(Connection&& o) noexcept {
  if (this != &o) {
    if (ctx_) redisFree(ctx_);
    ctx_ = std::exchange(o.ctx_, nullptr);
  }
  return *this;
}

namespace {

/// A command's words as the pointer and length arrays hiredis takes.
struct ArgvArrays {
  explicit ArgvArrays(const std::vector<std::string_view>& argv) {
    args.reserve(argv.size());
    lens.reserve(argv.size());
    for (std::string_view w : argv) {
      args.push_back(w.data());
      lens.push_back(w.size());
    }
  }
  int count() const noexcept { return static_cast<int>(args.size()); }
  std::vector<const char*> args;
  std::vector<std::size_t> lens;
};

}  // namespace

Connection::~Connection() {
  if (ctx_) redisFree(ctx_);
}

std::variant<ReplyPtr, WireError> Connection::command(const std::vector<std::string_view>& argv) {
  NETROVE_ASSERT(ctx_ != nullptr);
  ArgvArrays a(argv);
  SigpipeGuard guard;
  errno = 0;
  void* raw = redisCommandArgv(ctx_, a.count(), a.args.data(), a.lens.data());
  const int saved = errno;
  if (raw == nullptr) return failure_of(ctx_, saved);
  ReplyPtr reply(static_cast<redisReply*>(raw));
  if (reply->type == REDIS_REPLY_ERROR) return WireError{WireError::Kind::reply, std::string(reply->str, reply->len)};
  return reply;
}

bool Connection::set_timeout(std::chrono::milliseconds timeout) {
  return redisSetTimeout(ctx_, to_timeval(timeout)) == REDIS_OK;
}

std::optional<WireError> Connection::append(const std::vector<std::string_view>& argv) {
  NETROVE_ASSERT(ctx_ != nullptr);
  ArgvArrays a(argv);
  if (redisAppendCommandArgv(ctx_, a.count(), a.args.data(), a.lens.data()) != REDIS_OK)
    return failure_of(ctx_, errno);
  return std::nullopt;
}

std::variant<ReplyPtr, WireError> Connection::read_reply() {
  NETROVE_ASSERT(ctx_ != nullptr);
  SigpipeGuard guard;
  void* raw = nullptr;
  errno = 0;
  if (redisGetReply(ctx_, &raw) != REDIS_OK || raw == nullptr) return failure_of(ctx_, errno);
  ReplyPtr reply(static_cast<redisReply*>(raw));
  if (reply->type == REDIS_REPLY_ERROR) return WireError{WireError::Kind::reply, std::string(reply->str, reply->len)};
  return reply;
}

// command_pairs: hiredis' reader with object functions of our own.  They
// build nothing: every object is the address of kObject (hiredis only needs
// it to be non-null), and each text element of the top-level array is
// handled as it is parsed:
//
//   top level: array/map of even size -> pairs follow; nil -> no pairs;
//              error -> the server's error; anything else -> bad
//   element i: text (or integer, written out): i even -> the field, copied;
//              i odd -> visit(field, text), the text still in the reader's
//              buffer; anything else (nil, nested array) -> bad
//
// A bad reply is read to its end (so the connection stays in step) without
// further visits.  The state of the reply being read is the thread's: one
// thread reads a connection at a time, and the reader calls back on it.
namespace {

char kObject;

struct PairStream {
  const EntryVisit* visit = nullptr;
  std::string field;
  std::size_t visits = 0;
  bool bad = false;
  std::optional<std::string> error;  // the server's error reply
  std::exception_ptr thrown;
};
thread_local PairStream* t_stream = nullptr;

// An element of the top-level aggregate, with its text.
void on_element(const redisReadTask* task, std::string_view text) {
  PairStream& s = *t_stream;
  if (s.bad) return;
  if (task->parent->parent != nullptr) {  // inside a nested aggregate
    s.bad = true;
    return;
  }
  if (task->idx % 2 == 0) {
    s.field.assign(text);
    return;
  }
  try {
    (*s.visit)(s.field, text);
    ++s.visits;
  } catch (...) {
    s.thrown = std::current_exception();
    s.bad = true;
  }
}

void* on_string(const redisReadTask* task, char* str, std::size_t len) {
  PairStream& s = *t_stream;
  if (task->parent == nullptr) {
    if (task->type == REDIS_REPLY_ERROR) s.error.emplace(str, len);
    else s.bad = true;
  } else if (task->type == REDIS_REPLY_ERROR) {
    s.bad = true;
  } else {
    on_element(task, {str, len});  // string, status, verbatim, big number
  }
  return &kObject;
}

void* on_integer(const redisReadTask* task, long long value) {
  if (task->parent == nullptr) t_stream->bad = true;
  else on_element(task, std::to_string(value));
  return &kObject;
}

void* on_nil(const redisReadTask* task) {
  if (task->parent != nullptr) t_stream->bad = true;
  return &kObject;
}

template <class Count>
void* on_array(const redisReadTask* task, Count elements) {
  PairStream& s = *t_stream;
  if (task->parent != nullptr) s.bad = true;
  else if (task->type != REDIS_REPLY_ARRAY
#if HIREDIS_MAJOR >= 1
           && task->type != REDIS_REPLY_MAP  // laid out flat: `elements` counts keys and values
#endif
           || elements % 2 != 0)
    s.bad = true;
  return &kObject;
}

void free_nothing(void*) {}

#if HIREDIS_MAJOR >= 1
void* on_double(const redisReadTask* task, double, char* str, std::size_t len) {
  return on_string(task, str, len);
}
void* on_bool(const redisReadTask* task, int) {
  t_stream->bad = true;
  (void)task;
  return &kObject;
}
const redisReplyObjectFunctions kStreamFunctions = {on_string, on_array<std::size_t>, on_integer, on_double,
                                                     on_nil, on_bool, free_nothing};
#else
const redisReplyObjectFunctions kStreamFunctions = {on_string, on_array<int>, on_integer, on_nil, free_nothing};
#endif

}  // namespace

std::variant<StoreStatus, WireError> Connection::command_pairs(const std::vector<std::string_view>& argv,
                                                               const EntryVisit& visit, std::size_t* visited) {
  NETROVE_ASSERT(ctx_ != nullptr && t_stream == nullptr);
  ArgvArrays a(argv);
  SigpipeGuard guard;
  PairStream stream;
  stream.visit = &visit;
  redisReader* reader = ctx_->reader;
  redisReplyObjectFunctions* const own = reader->fn;
  reader->fn = const_cast<redisReplyObjectFunctions*>(&kStreamFunctions);
  t_stream = &stream;
  errno = 0;
  void* raw = nullptr;
  const bool sent = redisAppendCommandArgv(ctx_, a.count(), a.args.data(), a.lens.data()) == REDIS_OK;
  const bool read = sent && redisGetReply(ctx_, &raw) == REDIS_OK && raw != nullptr;
  const int saved = errno;
  t_stream = nullptr;
  reader->fn = own;
  *visited = stream.visits;
  if (stream.thrown) std::rethrow_exception(stream.thrown);
  if (!read) return failure_of(ctx_, saved);
  if (stream.error) return WireError{WireError::Kind::reply, std::move(*stream.error)};
  if (stream.bad) return StoreStatus(StoreError::redis(kNotMap));
  return StoreStatus(std::monostate{});
}

StoreStatus visit_entries(const redisReply& reply, const EntryVisit& visit) {
  if (reply.type == REDIS_REPLY_NIL) return std::monostate{};
  bool flat = reply.type == REDIS_REPLY_ARRAY;
#if HIREDIS_MAJOR >= 1
  // hiredis lays a map out flat: `elements` counts keys and values.
  flat = flat || reply.type == REDIS_REPLY_MAP;
#endif
  if (!flat || reply.elements % 2 != 0) return StoreError::redis(kNotMap);
  std::string scratch;
  for (std::size_t i = 0; i < reply.elements; ++i)
    if (!text_of(reply.element[i], scratch)) return StoreError::redis(kNotMap);
  // An integer has no text of its own in the reply: it is written out.
  std::string field_text, value_text;
  auto view = [](const redisReply* r, std::string& text) -> std::string_view {
    if (r->type != REDIS_REPLY_INTEGER) return {r->str, r->len};
    text = std::to_string(r->integer);
    return text;
  };
  for (std::size_t i = 0; i < reply.elements; i += 2)
    visit(view(reply.element[i], field_text), view(reply.element[i + 1], value_text));
  return std::monostate{};
}

StoreResult<StoreEntries> entries_from_reply(const redisReply& reply) {
  StoreEntries out;
  out.reserve(reply.type == REDIS_REPLY_NIL ? 0 : reply.elements / 2);
  const StoreStatus s = visit_entries(reply, [&](std::string_view f, std::string_view v) { out.emplace_back(f, v); });
  if (!s.ok()) return s.error();
  return out;
}

}  // namespace netrove
