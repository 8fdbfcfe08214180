// No thread of our own, and fork(): an engine built before fork() answers
// and frees memory in the child, even when other threads of the parent were
// reading and writing it at that instant.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;

namespace {

IpPrefix p4(int a, int b, int c, int d, int len) {
  IpPrefix p;
  p.address = {std::uint8_t(a), std::uint8_t(b), std::uint8_t(c), std::uint8_t(d)};
  p.length = std::uint8_t(len);
  return p;
}
IpAddress v4(int a, int b, int c, int d) { return IpAddress{netrove::kIpv4, p4(a, b, c, d, 32).address}; }
netrove::Metadata md(std::string value) { return netrove::Metadata{std::move(value), {}}; }

int threads_now() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

std::size_t live_nodes() { return netrove::trie::live_node_blocks(); }

/// One churn round: /25s and /23s of 10.round.0.0/16 and /64s of IPv6 in,
/// every other /25 out, then a clear.  Every write retires something.
void churn_round(LocalEngine& e, int round) {
  for (int i = 0; i < 512; ++i) {
    ASSERT_TRUE(e.insert(p4(10, round, i / 2, i % 2 * 128, 25), md("a")).ok());
    if (i % 7 == 0) {
      ASSERT_TRUE(e.insert(p4(10, round, (i / 2) & 0xfe, 0, 23), md("b")).ok());
    }
    IpPrefix six{netrove::kIpv6, {0x20, 0x01, 0x0d, 0xb8, 0, std::uint8_t(round), std::uint8_t(i >> 8), std::uint8_t(i)}, 64};
    ASSERT_TRUE(e.insert(six, md("c")).ok());
  }
  for (int i = 0; i < 512; i += 2) e.remove(p4(10, round, i / 2, i % 2 * 128, 25));
  EXPECT_LT(netrove::rcu::pending(), netrove::rcu::kCollectAt);
  e.clear();
}

}  // namespace

TEST(NoThread, BuildingChurningAndDroppingEveryEngineStartsNone) {
  const int before = threads_now();
  const std::size_t nodes = live_nodes();
  {
    std::vector<LocalEngine> engines;  // every node kind, a sharded trie, the adaptive radix tree
    for (std::uint8_t style = 0; style < 4; ++style)
      for (bool compressed : {false, true}) engines.push_back(netrove::build_local(5, style, compressed, 1));
    engines.push_back(netrove::build_local(5, 1, true, 3));
    engines.push_back(netrove::build_local(4, 0, true, 2));
    for (LocalEngine& e : engines)
      for (int round = 0; round < 3; ++round) churn_round(e, round);
    EXPECT_EQ(threads_now(), before);
    for (LocalEngine& e : engines) ASSERT_TRUE(e.insert(p4(192, 0, 2, 0, 24), md("kept")).ok());
  }
  // Dropped engines have freed every node before their destructors returned.
  EXPECT_EQ(netrove::rcu::pending(), 0u);
  EXPECT_EQ(live_nodes(), nodes);
  EXPECT_EQ(threads_now(), before);
}

// The parent keeps readers and a writer running on two engines (one with
// hash-map children) while it forks.  Each child, alone with whatever locks
// and read sections the others held at that instant, churns the same
// engines: it must not hang, its node count must stay flat from round to
// round, and its answers must be right.
TEST(Fork, ChildOfABusyParentAnswersAndFrees) {
#if defined(__SANITIZE_ADDRESS__)
  // The address sanitizer's allocator does not take its own locks around
  // fork(): a child forked while a parent thread allocates waits on that
  // thread's allocator lock forever.  The test runs in every other build,
  // ThreadSanitizer's included.
  GTEST_SKIP() << "the address sanitizer's allocator is not fork-safe";
#endif
  std::vector<LocalEngine> engines;
  engines.push_back(netrove::build_local(5, 1, true, 1));  // kind 5
  engines.push_back(netrove::build_local(5, 3, true, 1));  // kind 7
  for (LocalEngine& e : engines) ASSERT_TRUE(e.insert(p4(172, 16, 0, 0, 12), md("base")).ok());
  struct Busy {  // stops and joins the busy threads however the test ends
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    void halt() {
      stop = true;
      for (std::thread& t : threads) t.join();
      threads.clear();
    }
    ~Busy() { halt(); }
  } busy;
  for (int t = 0; t < 3; ++t)
    busy.threads.emplace_back([&, t] {
      for (std::uint32_t i = 0; !busy.stop.load(std::memory_order_relaxed); ++i) {
        LocalEngine& e = engines[i % 2];
        const int x = i & 255, y = (i >> 8) & 255;
        if (t == 0) {
          EXPECT_TRUE(e.insert(p4(172, 16 + x % 16, y, 0, 24), md("w")).ok());
          if (i % 3 == 0) e.remove(p4(172, 16 + (x + 7) % 16, y, 0, 24));
        } else {
          EXPECT_TRUE(e.lookup(v4(172, 16 + x % 16, y, x)).has_value());
        }
      }
    });
  for (int f = 0; f < 4; ++f) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(20);  // a deadlock ends the child, and the parent sees the signal
      bool ok = true;
      for (LocalEngine& e : engines) {
        std::size_t after_first = 0;
        for (int round = 0; round < 12; ++round) {
          churn_round(e, round);
          if (round == 0) after_first = live_nodes();
        }
        ok = ok && live_nodes() <= after_first + 64;
        ok = ok && e.insert(p4(10, 0, 0, 0, 8), md("eight")).ok() && e.insert(p4(10, 1, 0, 0, 16), md("sixteen")).ok();
        const auto a = e.lookup(v4(10, 1, 2, 3)), b = e.lookup(v4(10, 2, 0, 1));
        ok = ok && a && a->value == "sixteen" && b && b->value == "eight" && !e.lookup(v4(11, 0, 0, 1)) && e.len() == 2;
      }
      netrove::rcu::drain();
      _exit(ok && netrove::rcu::pending() == 0 && !::testing::Test::HasFailure() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  busy.halt();
  for (LocalEngine& e : engines) EXPECT_TRUE(e.lookup(v4(172, 20, 1, 1)).has_value());
}
