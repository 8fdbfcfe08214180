// support/redis_server.hpp - the test program's own redis-server.
//
// Started on first use: 127.0.0.1 at a port free a moment before, and a
// Unix socket in a fresh temporary folder; persistence off.  Stopped at
// exit (SIGTERM, SIGKILL after 5 s) and its folder removed; PR_SET_PDEATHSIG
// ends it with a crashed test too.  Tests reset it with flush().  Never any
// other address.
#pragma once

#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace netrove::testing {

struct ReplyFree {
  void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

/// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
inline int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("no free port");
  return ntohs(a.sin_port);
}

class RedisServer {
 public:
  /// The program's server, started on the first call.
  static RedisServer& get() {
    static RedisServer server;
    return server;
  }

  int port() const { return port_; }
  const std::string& socket_path() const { return socket_; }
  std::string tcp_url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

  /// Empties every database and drops every client but the admin one.
  void flush() {
    command({"FLUSHALL"});
    command({"CLIENT", "KILL", "TYPE", "normal"});
    command({"CLIENT", "KILL", "TYPE", "pubsub"});
  }

  /// SIGSTOP: the kernel still accepts connections, nothing answers.
  void pause() { ::kill(pid_, SIGSTOP); }
  void resume() { ::kill(pid_, SIGCONT); }

  /// One command on the admin connection (db 0 unless it selected another).
  Reply command(const std::vector<std::string>& argv) {
    std::vector<const char*> a;
    std::vector<size_t> l;
    for (const auto& s : argv) a.push_back(s.data()), l.push_back(s.size());
    Reply r(static_cast<redisReply*>(redisCommandArgv(admin_, static_cast<int>(a.size()), a.data(), l.data())));
    if (!r) throw std::runtime_error("admin command failed");
    return r;
  }
  long long integer(const std::vector<std::string>& argv) { return command(argv)->integer; }
  /// The text of a bulk or status reply; "<nil>" for nil.
  std::string text(const std::vector<std::string>& argv) {
    Reply r = command(argv);
    return r->type == REDIS_REPLY_NIL ? "<nil>" : std::string(r->str ? r->str : "", r->len);
  }
  /// INFO stats total_connections_received: connections accepted so far.
  long long connections() {
    const std::string info = text({"INFO", "stats"}), key = "total_connections_received:";
    return std::stoll(info.substr(info.find(key) + key.size()));
  }

 private:
  RedisServer() {
    char tmpl[] = "/tmp/netrove-redis-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    socket_ = dir_ + "/redis.sock";
    for (int attempt = 0; attempt < 5 && !admin_; ++attempt) launch(free_port());
    if (!admin_) throw std::runtime_error("redis-server did not start (is it installed?)");
  }
  ~RedisServer() {
    redisFree(admin_);
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 250 && ::waitpid(pid_, nullptr, WNOHANG) != pid_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Spawns the server on `port`; admin_ is set once it answers PING, and
  // stays null when it exits first (its port taken meanwhile).
  void launch(int port) {
    port_ = port;
    std::vector<std::string> args = {"redis-server", "--port", std::to_string(port), "--bind", "127.0.0.1",
                                     "--unixsocket", socket_, "--unixsocketperm", "700", "--save", "",
                                     "--appendonly", "no", "--dir", dir_, "--logfile", dir_ + "/redis.log"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() == parent) ::execvp("redis-server", argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      redisContext* c = redisConnectUnix(socket_.c_str());
      if (c && !c->err) {
        Reply r(static_cast<redisReply*>(redisCommand(c, "PING")));
        if (r && r->type == REDIS_REPLY_STATUS) {
          admin_ = c;
          return;
        }
      }
      if (c) redisFree(c);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  std::string dir_, socket_;
  int port_ = 0;
  pid_t pid_ = 0;
  redisContext* admin_ = nullptr;
};

}  // namespace netrove::testing
