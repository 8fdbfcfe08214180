// CachedEngine behaviour the differential test (which checks every answer
// and that each write drops exactly the cached answers inside its prefix)
// cannot reach: a miss racing a write never caches the older answer, under
// a deterministic interleaving and under stress; the eviction bound; an
// inner panic leaves the cache usable.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "art/adaptive_engine.hpp"
#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/panic.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::CachedEngine;
using netrove::Engine;

/// A brute-force engine (no read sections: a cache asks its inner engine
/// inside one, where a trie's writer would wait for it) whose next lookup,
/// once armed, computes its answer and then waits until released: the
/// window between a miss's inner lookup and its store, held open.
class Gate final : public Engine {
 public:
  netrove::InsertResult insert(const IpPrefix& p, Metadata r) override {
    std::lock_guard l(m_);
    o_.insert(p, r);
    return {};
  }
  std::optional<Metadata> lookup(const IpAddress& a) const override {
    std::unique_lock l(m_);
    auto r = o_.lookup(a);
    if (armed_) {
      armed_ = false, entered_ = true;
      cv_.notify_all();
      cv_.wait(l, [&] { return open_; });
    }
    return r;
  }
  std::optional<Metadata> remove(const IpPrefix& p) override { std::lock_guard l(m_); return o_.remove(p); }
  bool contains_prefix(const IpPrefix& p) const override { std::lock_guard l(m_); return o_.exact(p).has_value(); }
  void clear() override { std::lock_guard l(m_); o_.clear(); }
  std::uint64_t len() const override { std::lock_guard l(m_); return o_.size(); }
  netrove::EngineStats stats() const override { return {}; }
  void arm() { std::lock_guard l(m_); armed_ = true, entered_ = open_ = false; }
  void wait_entered() { std::unique_lock l(m_); cv_.wait(l, [&] { return entered_; }); }
  void release() { std::lock_guard l(m_); open_ = true; cv_.notify_all(); }

 private:
  Oracle o_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  mutable bool armed_ = false, entered_ = false, open_ = false;
};

// 1. insert covering the address, 2. remove of its match, 3. clear: each
// completes while a miss holds the older answer; the miss's caller still
// gets that answer (through lookup and lookup_with), the map does not keep it.
TEST(Cache, AMissRacingAWriteNeverCachesTheOlderAnswer) {
  for (int write = 0; write < 3; ++write)
    for (const bool lend : {false, true}) {
      SCOPED_TRACE(testing::Message() << "write " << write << " lend " << lend);
      auto gate = std::make_shared<Gate>();
      CachedEngine cache(3600, 100, gate);
      const IpAddress addr = v4(10, 1, 2, 3);
      if (write > 0) { ASSERT_TRUE(cache.insert(p4(10, 0, 0, 0, 8), md("old")).ok()); }
      gate->arm();
      auto slow = std::async(std::launch::async, [&] {
        if (!lend) return show(cache.lookup(addr));
        std::string seen = "<none>";
        cache.lookup_with(addr, [&](const netrove::RecordView& r) noexcept { seen = std::string(r.value()); });
        return seen;
      });
      gate->wait_entered();
      if (write == 0) { ASSERT_TRUE(cache.insert(p4(10, 1, 0, 0, 16), md("new")).ok()); }
      if (write == 1) { ASSERT_TRUE(cache.remove(p4(10, 0, 0, 0, 8))); }
      if (write == 2) cache.clear();
      gate->release();
      EXPECT_EQ(slow.get(), write == 0 ? "<none>" : "old");
      EXPECT_FALSE(cache.is_cached(addr)) << "an answer older than the write was cached";
      EXPECT_EQ(show(cache.lookup(addr)), write == 0 ? "new" : "<none>");
      EXPECT_TRUE(cache.is_cached(addr));
    }
}

// Readers never get an answer older than the last write completed before
// their lookup began: the writer replaces one prefix's record with rising
// versions (and churns a nested prefix beside it); a small capacity keeps
// eviction running.
TEST(Cache, StressNoAnswerOlderThanACompletedWrite) {
  CachedEngine cache(std::nullopt, 16, std::make_shared<netrove::LocalEngine>(netrove::build_local(5, 1, true, 2)));
  const IpPrefix p = p4(10, 0, 0, 0, 8);
  ASSERT_TRUE(cache.insert(p, md("0")).ok());
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::atomic<long> stale{0}, reads{0};
  std::vector<std::thread> readers;
  for (unsigned r = 0; r < 2; ++r)
    readers.emplace_back([&, r] {
      std::mt19937 rng(r);
      while (!stop.load(std::memory_order_acquire)) {
        const IpAddress a = v4(10, 0, 0, rng() % 24);
        const long floor = done.load(std::memory_order_acquire);
        const auto got = cache.lookup(a);
        if (!got || std::stol(got->value) < floor) ++stale;
        ++reads;
      }
    });
  while (reads.load() < 2) std::this_thread::yield();
  for (long v = 1; v <= 5000; ++v) {
    ASSERT_TRUE(cache.insert(p, md(std::to_string(v))).ok());
    done.store(v, std::memory_order_release);
    if (v % 97 == 0) {
      ASSERT_TRUE(cache.insert(p4(10, 0, 0, 0, 28), md(std::to_string(v))).ok());
      cache.remove(p4(10, 0, 0, 0, 28));
    }
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(stale.load(), 0);
  for (unsigned i = 0; i < 24; ++i) EXPECT_EQ(show(cache.lookup(v4(10, 0, 0, i))), "5000");
}

TEST(Cache, EvictionKeepsTheBoundAndTakesInANewWorkingSet) {
  auto inner = std::make_shared<netrove::AdaptiveEngine>();
  CachedEngine cache(std::nullopt, 64, inner);
  for (unsigned i = 0; i < 64; ++i) cache.lookup(v4(1, 0, 0, i));
  EXPECT_EQ(cache.cached(), 64u);
  for (unsigned round = 0; round < 20; ++round)
    for (unsigned i = 0; i < 40; ++i) {
      cache.lookup(v4(2, 0, 0, i));
      ASSERT_EQ(cache.cached(), 64u);
      ASSERT_TRUE(cache.is_cached(v4(2, 0, 0, i)));  // the new answer is the one kept
    }
  unsigned kept = 0;
  for (unsigned i = 0; i < 40; ++i) kept += cache.is_cached(v4(2, 0, 0, i));
  EXPECT_GE(kept, 38u);  // eviction does not keep picking the newest entry
  CachedEngine one(7, 0, inner);  // capacity 0 still keeps one answer
  one.lookup(v4(1, 1, 1, 1));
  one.lookup(v4(1, 1, 1, 2));
  EXPECT_EQ(one.cached(), 1u);
  EXPECT_TRUE(one.is_cached(v4(1, 1, 1, 2)));
}

// The inner engine is asked without the cache lock: its panic poisons nothing.
TEST(Cache, AnInnerPanicLeavesTheCacheUsable) {
  CachedEngine cache(std::nullopt, 8, std::make_shared<netrove::AdaptiveEngine>());
  IpAddress bad = v4(1, 2, 3, 4);
  bad.family = 9;
  EXPECT_THROW(cache.lookup(bad), netrove::Panic);
  EXPECT_FALSE(cache.is_cached(bad));
  ASSERT_TRUE(cache.insert(p4(1, 0, 0, 0, 8), md("a")).ok());
  EXPECT_EQ(show(cache.lookup(v4(1, 2, 3, 4))), "a");
}

}  // namespace
