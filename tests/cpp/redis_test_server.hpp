// redis_test_server.hpp - a private redis-server for one test.
//
// Listens on 127.0.0.1 at a free port (or not on TCP at all) and on a Unix
// socket in a fresh temporary folder; persistence off.  An admin client
// talks to it over the socket.  The destructor stops the server (resuming
// it first if it was stopped) and removes the folder.  Never any other
// address.
#pragma once

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace netrove::testing {

/// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
inline int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  ::close(fd);
  return ntohs(a.sin_port);
}

struct ReplyDeleter {
  void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

class RedisTestServer {
 public:
  struct Options {
    bool tcp = true;           ///< listen on 127.0.0.1:<free port> too
    std::string password;      ///< requirepass when not empty
    int port = 0;              ///< a fixed TCP port (0: pick one)
  };

  explicit RedisTestServer(Options options) : options_(std::move(options)) {
    char tmpl[] = "/tmp/netrove-redis-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    socket_ = dir_ + "/redis.sock";
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (options_.tcp) port_ = options_.port ? options_.port : free_port();
      if (launch()) return;
      if (options_.port) break;
    }
    std::filesystem::remove_all(dir_);
    throw std::runtime_error("redis-server did not start (is it installed?)");
  }
  RedisTestServer() : RedisTestServer(Options{}) {}

  ~RedisTestServer() {
    shut_down();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  RedisTestServer(const RedisTestServer&) = delete;
  RedisTestServer& operator=(const RedisTestServer&) = delete;

  int port() const { return port_; }
  const std::string& socket_path() const { return socket_; }
  const std::string& password() const { return options_.password; }

  /// "redis://[:password@]127.0.0.1:port[/db]"
  std::string tcp_url(const std::string& db = "") const {
    std::string u = "redis://";
    if (!options_.password.empty()) u += ":" + options_.password + "@";
    u += "127.0.0.1:" + std::to_string(port_);
    if (!db.empty()) u += "/" + db;
    return u;
  }

  /// Kills the server at once (SIGKILL); its socket file is removed.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
    admin_.reset();
    std::error_code ec;
    std::filesystem::remove(socket_, ec);
  }

  /// Starts the server again on the same port and socket.
  void restart() {
    kill();
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (launch()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // port may linger
    }
    throw std::runtime_error("redis-server did not restart");
  }

  /// SIGSTOP: the kernel still accepts connections, nothing answers.
  void pause() {
    admin_.reset();
    ::kill(pid_, SIGSTOP);
    paused_ = true;
  }
  void resume() {
    ::kill(pid_, SIGCONT);
    paused_ = false;
  }

  /// Runs one command on the admin connection (db 0 unless selected).
  Reply command(const std::vector<std::string>& argv) {
    redisContext* c = admin();
    std::vector<const char*> a;
    std::vector<size_t> l;
    for (const auto& s : argv) {
      a.push_back(s.data());
      l.push_back(s.size());
    }
    Reply r(static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(a.size()), a.data(), l.data())));
    if (!r) throw std::runtime_error(std::string("admin command failed: ") + c->errstr);
    return r;
  }

  /// The integer of an integer reply.
  long long integer(const std::vector<std::string>& argv) {
    Reply r = command(argv);
    if (r->type != REDIS_REPLY_INTEGER) throw std::runtime_error("not an integer reply");
    return r->integer;
  }

  /// The text of a bulk reply; "<nil>" for nil.
  std::string text(const std::vector<std::string>& argv) {
    Reply r = command(argv);
    if (r->type == REDIS_REPLY_NIL) return "<nil>";
    if (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_STATUS)
      throw std::runtime_error("not a text reply: " + std::string(r->str ? r->str : ""));
    return std::string(r->str, r->len);
  }

  /// INFO stats total_connections_received: connections accepted so far.
  long long connections_received() {
    const std::string info = text({"INFO", "stats"});
    const std::string key = "total_connections_received:";
    const auto at = info.find(key);
    if (at == std::string::npos) throw std::runtime_error("no connection count in INFO");
    return std::stoll(info.substr(at + key.size()));
  }

 private:
  redisContext* admin() {
    if (!admin_) {
      redisContext* c = redisConnectUnix(socket_.c_str());
      if (!c || c->err) {
        if (c) redisFree(c);
        throw std::runtime_error("admin connect failed");
      }
      admin_.reset(c);
      if (!options_.password.empty()) {
        Reply r(static_cast<redisReply*>(redisCommand(c, "AUTH %s", options_.password.c_str())));
        if (!r || r->type == REDIS_REPLY_ERROR) throw std::runtime_error("admin AUTH failed");
      }
    }
    return admin_.get();
  }

  // Spawns the server and waits until it answers PING; false when it exits
  // first (for example because its port was taken).
  bool launch() {
    std::vector<std::string> args = {"redis-server",  "--port",        std::to_string(options_.tcp ? port_ : 0),
                                     "--bind",        "127.0.0.1",     "--unixsocket",
                                     socket_,         "--unixsocketperm", "700",
                                     "--save",        "",              "--appendonly",
                                     "no",            "--dir",         dir_,
                                     "--daemonize",   "no",            "--logfile",
                                     dir_ + "/redis.log"};
    if (!options_.password.empty()) {
      args.push_back("--requirepass");
      args.push_back(options_.password);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string program = find_program("redis-server");
    if (program.empty()) return false;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      // The server dies with the test, even when the test crashes.  The
      // signal follows the spawning thread, so spawn from a long-lived one.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return false;
      }
      try {
        admin_.reset();
        Reply r = command({"PING"});
        if (r->type == REDIS_REPLY_STATUS) return true;
      } catch (const std::exception&) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
    return false;
  }

  static std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const auto colon = dirs.find(':', start);
      const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
    return {};
  }

  void shut_down() {
    if (pid_ <= 0) return;
    if (paused_) resume();
    admin_.reset();
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = 0;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill();
  }

  struct ContextFree {
    void operator()(redisContext* c) const noexcept { redisFree(c); }
  };

  Options options_;
  std::string dir_, socket_;
  int port_ = 0;
  pid_t pid_ = 0;
  bool paused_ = false;
  std::unique_ptr<redisContext, ContextFree> admin_;
};

}  // namespace netrove::testing
