// CachedEngine behaviour the differential test (which checks every answer,
// that each write drops exactly the cached answers inside its prefix, and
// the batch path's inner lookups) cannot reach: a miss racing a write never
// caches the older answer, under deterministic interleavings (the miss's
// inner lookup, or the write's inner change, held open) and under stress
// with every read path beside every write (run under ThreadSanitizer, and
// under AddressSanitizer, which catches a cached record freed too early);
// the eviction bound; an inner panic leaves the cache usable.
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
/// window between a miss's inner lookup and its store, held open; or whose
/// next insert, once armed, waits before it changes anything: a write's
/// inner change held open.
class Gate final : public Engine {
 public:
  netrove::InsertResult insert(const IpPrefix& p, Metadata r) override {
    std::unique_lock l(m_);
    if (armed_write_) hold(l, armed_write_);
    o_.insert(p, r);
    return {};
  }
  std::optional<Metadata> lookup(const IpAddress& a) const override {
    std::unique_lock l(m_);
    auto r = o_.lookup(a);
    if (armed_) hold(l, armed_);
    return r;
  }
  std::optional<Metadata> remove(const IpPrefix& p) override { std::lock_guard l(m_); return o_.remove(p); }
  bool contains_prefix(const IpPrefix& p) const override { std::lock_guard l(m_); return o_.exact(p).has_value(); }
  void clear() override { std::lock_guard l(m_); o_.clear(); }
  std::uint64_t len() const override { std::lock_guard l(m_); return o_.size(); }
  netrove::EngineStats stats() const override { return {}; }
  void arm(bool write = false) {
    std::lock_guard l(m_);
    (write ? armed_write_ : armed_) = true, entered_ = open_ = false;
  }
  void wait_entered() { std::unique_lock l(m_); cv_.wait(l, [&] { return entered_; }); }
  void release() { std::lock_guard l(m_); open_ = true; cv_.notify_all(); }

 private:
  void hold(std::unique_lock<std::mutex>& l, bool& armed) const {
    armed = false, entered_ = true;
    cv_.notify_all();
    cv_.wait(l, [&] { return open_; });
  }
  Oracle o_;
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  mutable bool armed_ = false, armed_write_ = false, entered_ = false, open_ = false;
};

/// The answer for `a` through one of the read paths: 0 lookup, 1
/// lookup_with, 2 lookup_many, 3 contains_many (the value or "<none>";
/// contains_many: "found" or "<none>").
std::string read(const CachedEngine& cache, const IpAddress& a, int path) {
  std::string seen = "<none>";
  if (path == 0) return show(cache.lookup(a));
  if (path == 1) cache.lookup_with(a, [&](const netrove::RecordView& r) noexcept { seen = std::string(r.value()); });
  if (path == 2) {
    netrove::HeldRecord h;
    cache.lookup_many(&a, 1, &h);
    if (h) seen = std::string(h.view().value());
  }
  if (path == 3) {
    bool found = false;
    cache.contains_many(&a, 1, &found);
    if (found) seen = "found";
  }
  return seen;
}

// A miss whose inner lookup is held open while a write completes (0 insert
// covering the address, 1 remove of its match, 2 clear), through each read
// path: the miss's caller gets the older answer, the cache does not keep it.
TEST(Cache, AMissRacingAWriteNeverCachesTheOlderAnswer) {
  for (int write = 0; write < 3; ++write)
    for (int path = 0; path < 3; ++path) {
      SCOPED_TRACE(testing::Message() << "write " << write << " path " << path);
      auto gate = std::make_shared<Gate>();
      CachedEngine cache(3600, 100, gate);
      const IpAddress addr = v4(10, 1, 2, 3);
      if (write > 0) { ASSERT_TRUE(cache.insert(p4(10, 0, 0, 0, 8), md("old")).ok()); }
      gate->arm();
      auto slow = std::async(std::launch::async, [&] { return read(cache, addr, path); });
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

// A write whose inner change is held open (its entries already dropped)
// while misses ask and store: none of them keeps the answer from before the
// change, and a hit during the write never shows a dropped answer.
TEST(Cache, AMissDuringAWriteNeverCachesTheOlderAnswer) {
  for (int path = 0; path < 4; ++path) {
    SCOPED_TRACE(path);
    auto gate = std::make_shared<Gate>();
    CachedEngine cache(3600, 100, gate);
    const IpAddress addr = v4(10, 1, 2, 3), other = v4(11, 0, 0, 1);
    ASSERT_TRUE(cache.insert(p4(10, 0, 0, 0, 8), md("old")).ok());
    ASSERT_EQ(read(cache, addr, path), path == 3 ? "found" : "old");
    ASSERT_TRUE(cache.is_cached(addr));
    gate->arm(true);
    auto write = std::async(std::launch::async, [&] { return cache.insert(p4(10, 1, 0, 0, 16), md("new")).ok(); });
    gate->wait_entered();
    EXPECT_FALSE(cache.is_cached(addr));  // dropped before the inner change
    EXPECT_EQ(read(cache, addr, path), path == 3 ? "found" : "old");  // the inner engine still says so
    EXPECT_EQ(read(cache, other, path), "<none>");
    EXPECT_FALSE(cache.is_cached(addr)) << "a miss stored while a write was under way";
    EXPECT_FALSE(cache.is_cached(other));
    gate->release();
    EXPECT_TRUE(write.get());
    EXPECT_EQ(read(cache, addr, path), path == 3 ? "found" : "new");
    EXPECT_TRUE(cache.is_cached(addr));
  }
}

// Readers never get an answer older than the last write completed before
// their lookup began, whichever read path they take.  The writer replaces
// one prefix's record with rising versions, by insert and by insert_many
// (each version a new record, retired while readers may still hold it from
// the cache), and churns a nested prefix beside it; a small capacity keeps
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
      IpAddress batch[8];
      netrove::HeldRecord held[8];
      bool found[8];
      for (long k = 0; !stop.load(std::memory_order_acquire); ++k) {
        const long floor = done.load(std::memory_order_acquire);
        auto fresh = [&](std::string_view v) { return std::stol(std::string(v)) >= floor; };
        for (IpAddress& a : batch) a = v4(10, 0, 0, rng() % 24);
        switch (k % 4) {
          case 0: {
            const auto got = cache.lookup(batch[0]);
            stale += !got || !fresh(got->value);
            break;
          }
          case 1: {
            bool ok = false;
            cache.lookup_with(batch[0], [&](const netrove::RecordView& v) noexcept { ok = fresh(v.value()); });
            stale += !ok;
            break;
          }
          case 2:
            cache.lookup_many(batch, 8, held);
            for (auto& h : held) stale += !h || !fresh(h.view().value()), h = netrove::HeldRecord();
            break;
          default:
            cache.contains_many(batch, 8, found);
            for (bool f : found) stale += !f;
        }
        ++reads;
      }
    });
  while (reads.load() < 8) std::this_thread::yield();
  for (long v = 1; v <= 5000; ++v) {
    if (v % 5 == 0) {
      IpPrefix ps[2] = {p4(192, 168, 0, 0, 16), p};
      Metadata ms[2] = {md("x"), md(std::to_string(v))};
      std::size_t n = 0;
      ASSERT_TRUE(cache.insert_many(ps, ms, 2, &n).ok());
    } else {
      ASSERT_TRUE(cache.insert(p, md(std::to_string(v))).ok());
    }
    done.store(v, std::memory_order_release);
    if (v % 97 == 0) {
      ASSERT_TRUE(cache.insert(p4(10, 0, 0, 0, 28), md(std::to_string(v))).ok());
      cache.remove(p4(10, 0, 0, 0, 28));
    }
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(stale.load(), 0);
  EXPECT_GT(reads.load(), 100);
  for (unsigned i = 0; i < 24; ++i) EXPECT_EQ(show(cache.lookup(v4(10, 0, 0, i))), "5000");
  EXPECT_TRUE(cache.consistent());
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
