// No thread of our own, and fork(): an engine built before fork() answers
// and frees memory in the child, even when other threads of the parent were
// reading and writing it at that instant.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"
#include "trie_test_util.hpp"

using netrove::LocalEngine;

namespace {

int threads_now() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

std::size_t live_nodes() {
  std::size_t n = 0;
  for (std::size_t size : {64, 128, 192}) n += netrove::trie::node_pool(size).live();
  return n;
}

/// One churn round: /25s and /23s of 10.round.0.0/16 in, every other one
/// out, then a clear.  Every write retires nodes (splits, records, roots).
void churn_round(LocalEngine& e, int round) {
  const auto r = static_cast<std::uint8_t>(round);
  for (int i = 0; i < 512; ++i) {
    const auto hi = static_cast<std::uint8_t>(i / 2), lo = static_cast<std::uint8_t>(i % 2 * 128);
    ASSERT_TRUE(e.insert(nt::p4(10, r, hi, lo, 25), nt::md("a")).ok());
    if (i % 7 == 0) {
      ASSERT_TRUE(e.insert(nt::p4(10, r, hi & 0xfe, 0, 23), nt::md("b")).ok());
    }
    ASSERT_TRUE(e.insert(nt::p6({0x2001, 0xdb8, r, static_cast<std::uint16_t>(i)}, 64), nt::md("c")).ok());
  }
  for (int i = 0; i < 512; i += 2)
    e.remove(nt::p4(10, r, static_cast<std::uint8_t>(i / 2), static_cast<std::uint8_t>(i % 2 * 128), 25));
  EXPECT_LT(netrove::rcu::pending(), netrove::rcu::kCollectAt);
  e.clear();
}

/// Every engine shape: all eight node kinds, sharded tries and the
/// adaptive radix tree.
std::vector<LocalEngine> every_engine() {
  std::vector<LocalEngine> out;
  for (std::uint8_t style = 0; style < 4; ++style)
    for (bool compressed : {false, true}) out.push_back(netrove::build_local(5, style, compressed, 1));
  out.push_back(netrove::build_local(5, 1, true, 3));
  out.push_back(netrove::build_local(4, 0, true, 1));
  out.push_back(netrove::build_local(4, 0, true, 2));
  return out;
}

}  // namespace

TEST(NoThread, BuildingChurningAndDroppingEveryEngineStartsNone) {
  const int before = threads_now();
  const std::size_t nodes = live_nodes();
  {
    std::vector<LocalEngine> engines = every_engine();
    EXPECT_EQ(threads_now(), before);
    for (LocalEngine& e : engines)
      for (int round = 0; round < 3; ++round) churn_round(e, round);
    EXPECT_EQ(threads_now(), before);
    for (LocalEngine& e : engines) ASSERT_TRUE(e.insert(nt::p4(192, 0, 2, 0, 24), nt::md("kept")).ok());
  }
  // Dropped engines have freed every node before their destructors returned.
  EXPECT_EQ(netrove::rcu::pending(), 0u);
  EXPECT_EQ(live_nodes(), nodes);
  EXPECT_EQ(threads_now(), before);
}

// The parent keeps readers and a writer running on two engines (one with
// hash-map children) while it forks.  Each child, alone with whatever
// locks and read sections the others held at that instant, churns the same
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
  for (LocalEngine& e : engines) ASSERT_TRUE(e.insert(nt::p4(172, 16, 0, 0, 12), nt::md("base")).ok());

  // Stops and joins the busy threads however the test ends.
  struct Busy {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    void halt() {
      stop = true;
      for (std::thread& t : threads) t.join();
      threads.clear();
    }
    ~Busy() { halt(); }
  } busy;
  std::atomic<bool>& stop = busy.stop;
  for (int t = 0; t < 3; ++t) {
    busy.threads.emplace_back([&, t] {
      for (std::uint32_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        LocalEngine& e = engines[i % 2];
        const auto x = static_cast<std::uint8_t>(i), y = static_cast<std::uint8_t>(i >> 8);
        if (t == 0) {
          EXPECT_TRUE(e.insert(nt::p4(172, 16 + x % 16, y, 0, 24), nt::md("w")).ok());
          if (i % 3 == 0) e.remove(nt::p4(172, 16 + (x + 7) % 16, y, 0, 24));
        } else {
          EXPECT_TRUE(e.lookup(nt::v4(172, 16 + x % 16, y, x)).has_value());
        }
      }
    });
  }

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
        ok = ok && e.insert(nt::p4(10, 0, 0, 0, 8), nt::md("eight")).ok();
        ok = ok && e.insert(nt::p4(10, 1, 0, 0, 16), nt::md("sixteen")).ok();
        const auto a = e.lookup(nt::v4(10, 1, 2, 3)), b = e.lookup(nt::v4(10, 2, 0, 1));
        ok = ok && a && a->value == "sixteen" && b && b->value == "eight" && !e.lookup(nt::v4(11, 0, 0, 1));
        ok = ok && e.len() == 2;
      }
      netrove::rcu::drain();
      ok = ok && netrove::rcu::pending() == 0 && !::testing::Test::HasFailure();
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  busy.halt();
  for (LocalEngine& e : engines) {
    const auto r = e.lookup(nt::v4(172, 20, 1, 1));
    ASSERT_TRUE(r.has_value());
    e.clear();
    EXPECT_EQ(e.len(), 0u);
  }
}
