// CachedEngine over a brute-force fake engine: what is served from the map,
// what each write drops, capacity, pass-through operations, and the race
// between a slow miss and a write.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "fake_engine.hpp"
#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"

namespace netrove {
namespace {

using testing::FakeEngine;
using testing::HeldLookup;
using testing::prefix;
using testing::record;
using testing::v4;
using testing::v6;

struct Fixture {
  std::shared_ptr<FakeEngine> fake = std::make_shared<FakeEngine>();
  CachedEngine cache{3600, 10000, fake};
};

TEST(Cache, RepeatedLookupIsAnsweredFromTheMap) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("allow", {{"asn", "AS1"}})).ok());
  const auto first = f.cache.lookup(v4(10, 1, 2, 3));
  const auto second = f.cache.lookup(v4(10, 1, 2, 3));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(*first, record("allow", {{"asn", "AS1"}}));
  EXPECT_EQ(*first, *second);
  EXPECT_EQ(f.fake->lookups(), 1u);
  EXPECT_EQ(f.cache.stats().lookups, 1u);
  EXPECT_EQ(f.cache.stats().hits, 1u);
  // A different address of the same prefix is its own entry.
  f.cache.lookup(v4(10, 1, 2, 4));
  EXPECT_EQ(f.fake->lookups(), 2u);
  EXPECT_EQ(f.cache.cached(), 2u);
}

TEST(Cache, NoMatchIsCachedAndDroppedByACoveringInsert) {
  Fixture f;
  EXPECT_FALSE(f.cache.lookup(v4(10, 1, 2, 3)));
  EXPECT_FALSE(f.cache.lookup(v4(10, 1, 2, 3)));
  EXPECT_EQ(f.fake->lookups(), 1u);
  EXPECT_EQ(f.fake->stats().misses, 1u);
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("new")).ok());
  EXPECT_FALSE(f.cache.is_cached(v4(10, 1, 2, 3)));
  const auto after = f.cache.lookup(v4(10, 1, 2, 3));
  ASSERT_TRUE(after);
  EXPECT_EQ(after->value, "new");
}

TEST(Cache, InvalidationDropsOnlyAddressesInsideThePrefix) {
  Fixture f;
  const IpAddress inside[] = {v4(10, 1, 2, 3), v4(10, 255, 0, 1), v4(10, 0, 0, 0)};
  const IpAddress outside[] = {v4(11, 0, 0, 1), v4(9, 255, 255, 255), v6({0, 0, 0, 0, 0, 0, 0x0a01, 0x0203}),
                               v6({0, 0, 0, 0, 0, 0xffff, 0x0a01, 0x0203}), v6({0x2001, 0xdb8})};
  for (auto& a : inside) f.cache.lookup(a);
  for (auto& a : outside) f.cache.lookup(a);
  // Host bits in the written prefix do not matter.
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 9, 9, 9), 8), record("x")).ok());
  for (auto& a : inside) EXPECT_FALSE(f.cache.is_cached(a));
  for (auto& a : outside) EXPECT_TRUE(f.cache.is_cached(a));
}

TEST(Cache, DefaultRoutesDropOnlyTheirOwnFamily) {
  Fixture f;
  const IpAddress a4[] = {v4(1, 2, 3, 4), v4(255, 255, 255, 255), v4(0, 0, 0, 0)};
  const IpAddress a6[] = {v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), v6({0, 0, 0, 0, 0, 0, 0, 0}),
                          v6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304})};
  auto fill = [&] {
    for (auto& a : a4) f.cache.lookup(a);
    for (auto& a : a6) f.cache.lookup(a);
  };
  fill();
  ASSERT_TRUE(f.cache.insert(prefix(v6({0}), 0), record("v6")).ok());
  for (auto& a : a4) EXPECT_TRUE(f.cache.is_cached(a));
  for (auto& a : a6) EXPECT_FALSE(f.cache.is_cached(a));
  fill();
  ASSERT_TRUE(f.cache.insert(prefix(v4(0, 0, 0, 0), 0), record("v4")).ok());
  for (auto& a : a4) EXPECT_FALSE(f.cache.is_cached(a));
  for (auto& a : a6) EXPECT_TRUE(f.cache.is_cached(a));
  EXPECT_EQ(f.cache.lookup(v4(1, 2, 3, 4))->value, "v4");
  EXPECT_EQ(f.cache.lookup(v6({0x2001}))->value, "v6");
}

// A write drops exactly the cached addresses of its range, at every depth
// of nesting and at the range's first and last address; a prefix with no
// cached address inside drops nothing.
TEST(Cache, NestedRangesDropExactlyTheirAddresses) {
  Fixture f;
  const IpAddress all[] = {v4(10, 0, 0, 1), v4(10, 1, 0, 0),   v4(10, 1, 2, 0),  v4(10, 1, 2, 255),
                           v4(10, 1, 3, 0), v4(10, 1, 255, 255), v4(10, 2, 0, 0), v4(9, 255, 255, 255),
                           v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}), v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}),
                           v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 2})};
  for (const IpAddress& a : all) f.cache.lookup(a);
  // Each write lists the addresses it must drop, in the order of `all`.
  const std::pair<IpPrefix, std::vector<int>> writes[] = {
      {prefix(v4(192, 168, 0, 0), 16), {}},
      {prefix(v4(10, 1, 2, 0), 24), {2, 3}},
      {prefix(v4(10, 1, 2, 0), 24), {}},  // again: nothing left inside
      {prefix(v4(10, 1, 0, 0), 16), {1, 4, 5}},
      {prefix(v4(10, 2, 0, 0), 32), {6}},
      {prefix(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0}), 127), {8, 9}},
      {prefix(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 4}), 126), {}},
      {prefix(v4(0, 0, 0, 0), 1), {0, 7}},
  };
  std::set<int> dropped;
  for (const auto& [p, drops] : writes) {
    ASSERT_TRUE(f.cache.insert(p, record("w")).ok());
    dropped.insert(drops.begin(), drops.end());
    for (int i = 0; i < static_cast<int>(std::size(all)); ++i)
      EXPECT_EQ(f.cache.is_cached(all[i]), !dropped.count(i)) << i;
    EXPECT_EQ(f.cache.cached(), std::size(all) - dropped.size());
  }
}

// Cached engines against uncached ones under interleaved writes, lookups
// and clears on nested prefixes of both families; a small capacity keeps
// eviction busy.  Every answer must equal the uncached engine's.
TEST(Cache, DifferentialAgainstTheUncachedEngine) {
  for (const std::uint8_t type : {0, 1, 5}) {
    SCOPED_TRACE(int(type));
    auto inner = std::make_shared<LocalEngine>(build_local(type, 1, true, 3));
    LocalEngine plain = build_local(type, 1, true, 3);
    CachedEngine cache(std::nullopt, 48, inner);
    std::mt19937 rng(type);
    auto address = [&] {
      return rng() % 4 ? v4(10, rng() % 4, rng() % 4, rng() % 3)
                       : v6({0x2001, 0xdb8, static_cast<int>(rng() % 4), 0, 0, 0, 0, static_cast<int>(rng() % 3)});
    };
    for (int step = 0; step < 6000; ++step) {
      const IpAddress a = address();
      const unsigned op = rng() % 16;
      if (op < 3) {
        const int len = a.family == kIpv4 ? static_cast<int>(rng() % 33) : static_cast<int>(rng() % 129);
        const Metadata m = record(std::to_string(step), {{"len", std::to_string(len)}});
        ASSERT_TRUE(cache.insert(prefix(a, len), m).ok() && plain.insert(prefix(a, len), m).ok());
      } else if (op < 5) {
        const int len = a.family == kIpv4 ? 8 * static_cast<int>(rng() % 5) : static_cast<int>(rng() % 129);
        ASSERT_EQ(cache.remove(prefix(a, len)), plain.remove(prefix(a, len)));
      } else if (op == 5 && rng() % 50 == 0) {
        cache.clear();
        plain.clear();
      } else {
        ASSERT_EQ(cache.lookup(a), plain.lookup(a)) << step;
      }
    }
    EXPECT_LE(cache.cached(), 48u);
  }
}

TEST(Cache, CapacityIsNeverExceeded) {
  auto fake = std::make_shared<FakeEngine>();
  CachedEngine cache(std::nullopt, 64, fake);
  for (int i = 0; i < 64; ++i) cache.lookup(v4(1, 0, 0, i));
  EXPECT_EQ(cache.cached(), 64u);
  for (int i = 0; i < 200; ++i) {
    cache.lookup(v4(2, 0, i / 256, i % 256));
    ASSERT_EQ(cache.cached(), 64u);
    EXPECT_TRUE(cache.is_cached(v4(2, 0, i / 256, i % 256)));  // the new answer is the one kept
  }
  // Looking up a cached address at capacity evicts nothing.
  cache.lookup(v4(2, 0, 0, 199));
  EXPECT_EQ(cache.cached(), 64u);
  EXPECT_EQ(cache.capacity(), 64u);
  EXPECT_FALSE(cache.ttl().has_value());
}

// Once full, the cache must still take in a new working set: eviction must
// not keep picking the entry stored last.
TEST(Cache, FullCacheAdoptsANewWorkingSet) {
  auto fake = std::make_shared<FakeEngine>();
  CachedEngine cache(std::nullopt, 100, fake);
  for (int i = 0; i < 100; ++i) cache.lookup(v4(1, 0, 0, i));  // old set fills it
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 50; ++i) cache.lookup(v4(2, 0, 0, i));  // new set, used from now on
  }
  int cached = 0;
  for (int i = 0; i < 50; ++i) cached += cache.is_cached(v4(2, 0, 0, i));
  EXPECT_GE(cached, 48) << "cached " << cached;
  EXPECT_EQ(cache.cached(), 100u);
}

TEST(Cache, ZeroCapacityKeepsOneAnswer) {
  auto fake = std::make_shared<FakeEngine>();
  CachedEngine cache(7, 0, fake);
  cache.lookup(v4(1, 1, 1, 1));
  cache.lookup(v4(1, 1, 1, 2));
  EXPECT_EQ(cache.cached(), 1u);
  EXPECT_TRUE(cache.is_cached(v4(1, 1, 1, 2)));
  EXPECT_EQ(cache.ttl(), 7u);
}

TEST(Cache, RemoveDropsAnswersEvenWhenNothingWasRemoved) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("eight")).ok());
  f.cache.lookup(v4(10, 1, 1, 1));
  f.cache.lookup(v4(10, 2, 2, 2));
  f.cache.lookup(v4(11, 1, 1, 1));
  EXPECT_FALSE(f.cache.remove(prefix(v4(10, 1, 0, 0), 16)));  // not stored
  EXPECT_FALSE(f.cache.is_cached(v4(10, 1, 1, 1)));
  EXPECT_TRUE(f.cache.is_cached(v4(10, 2, 2, 2)));
  EXPECT_TRUE(f.cache.is_cached(v4(11, 1, 1, 1)));
  const auto removed = f.cache.remove(prefix(v4(10, 0, 0, 0), 8));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->value, "eight");
  EXPECT_FALSE(f.cache.lookup(v4(10, 2, 2, 2)));
  EXPECT_FALSE(f.cache.remove(prefix(v4(10, 0, 0, 0), 8)));
}

TEST(Cache, ClearEmptiesTheMapAndEveryAddressMissesOnce) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("a")).ok());
  ASSERT_TRUE(f.cache.insert(prefix(v6({0x2001, 0xdb8}), 32), record("b")).ok());
  f.cache.lookup(v4(10, 0, 0, 1));
  f.cache.lookup(v6({0x2001, 0xdb8, 1}));
  EXPECT_EQ(f.cache.len(), 2u);
  f.cache.clear();
  EXPECT_EQ(f.cache.len(), 0u);
  EXPECT_EQ(f.cache.stats().size, 0u);
  EXPECT_EQ(f.cache.cached(), 0u);
  const auto before = f.fake->lookups();
  EXPECT_FALSE(f.cache.lookup(v4(10, 0, 0, 1)));
  EXPECT_FALSE(f.cache.lookup(v6({0x2001, 0xdb8, 1})));
  EXPECT_EQ(f.fake->lookups(), before + 2);
  EXPECT_FALSE(f.cache.lookup(v4(10, 0, 0, 1)));
  EXPECT_EQ(f.fake->lookups(), before + 2);
}

TEST(Cache, ContainsPrefixBypassesTheMap) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("a")).ok());
  EXPECT_TRUE(f.cache.contains_prefix(prefix(v4(10, 1, 2, 3), 8)));
  EXPECT_FALSE(f.cache.contains_prefix(prefix(v4(10, 0, 0, 0), 9)));
  EXPECT_EQ(f.cache.cached(), 0u);
  EXPECT_EQ(f.fake->lookups(), 0u);
}

TEST(Cache, FailedInsertReturnsTheInnerErrorAndDropsNothing) {
  Fixture f;
  f.cache.lookup(v4(10, 1, 2, 3));
  f.fake->fail_insert = "Redis error: gone";
  const InsertResult r = f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("a"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error->message, "Redis error: gone");
  EXPECT_TRUE(f.cache.is_cached(v4(10, 1, 2, 3)));
}

TEST(Cache, InnerPanicPropagatesAndLeavesTheCacheUsable) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("a")).ok());
  f.fake->panic_lookup = "broken invariant";
  try {
    f.cache.lookup(v4(10, 1, 2, 3));
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "broken invariant");
  }
  EXPECT_FALSE(f.cache.is_cached(v4(10, 1, 2, 3)));
  f.fake->panic_lookup.reset();
  // The inner engine was called without the cache lock, so nothing is poisoned.
  ASSERT_TRUE(f.cache.lookup(v4(10, 1, 2, 3)));
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 1, 0, 0), 16), record("b")).ok());
  EXPECT_EQ(f.cache.lookup(v4(10, 1, 2, 3))->value, "b");
}

TEST(Cache, StatsAndLenAreTheInnerOnes) {
  Fixture f;
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("a")).ok());
  ASSERT_TRUE(f.cache.insert(prefix(v4(10, 0, 0, 0), 8), record("b")).ok());
  for (int i = 0; i < 5; ++i) f.cache.lookup(v4(10, 0, 0, 1));
  f.cache.lookup(v4(11, 0, 0, 1));
  EXPECT_EQ(f.cache.stats(), f.fake->stats());
  EXPECT_EQ(f.cache.stats(), (EngineStats{.inserts = 2, .lookups = 2, .hits = 1, .misses = 1, .removals = 0, .size = 1}));
  EXPECT_EQ(f.cache.len(), 1u);
}

// The stale-answer race, made deterministic: a miss computes its answer
// before an insert, is held inside the inner engine until the insert (and
// its invalidation) has completed, and then tries to store the old answer.
TEST(Cache, MissRacingAWriteNeverCachesTheOlderAnswer) {
  for (const bool use_remove : {false, true}) {
    auto fake = std::make_shared<FakeEngine>();
    CachedEngine cache(3600, 10000, fake);
    const IpAddress addr = v4(10, 1, 2, 3);
    if (use_remove) {
      ASSERT_TRUE(cache.insert(prefix(v4(10, 0, 0, 0), 8), record("old")).ok());
    }

    HeldLookup held(*fake);
    auto slow = std::async(std::launch::async, [&] { return cache.lookup(addr); });
    held.wait_entered();  // the miss has its (old) answer in hand
    if (use_remove) ASSERT_TRUE(cache.remove(prefix(v4(10, 0, 0, 0), 8)));
    else ASSERT_TRUE(cache.insert(prefix(v4(10, 0, 0, 0), 8), record("new")).ok());
    held.release();
    const auto raced = slow.get();
    EXPECT_EQ(raced.has_value(), use_remove);  // the slow caller still gets its answer

    EXPECT_FALSE(cache.is_cached(addr)) << "an answer older than the write was cached";
    const auto now = cache.lookup(addr);
    if (use_remove) {
      EXPECT_FALSE(now);
    } else {
      ASSERT_TRUE(now && now->value == "new");
    }
  }
}

// Same race for clear.
TEST(Cache, MissRacingAClearNeverCachesTheOlderAnswer) {
  auto fake = std::make_shared<FakeEngine>();
  CachedEngine cache(3600, 10000, fake);
  ASSERT_TRUE(cache.insert(prefix(v4(0, 0, 0, 0), 0), record("all")).ok());
  HeldLookup held(*fake);
  auto slow = std::async(std::launch::async, [&] { return cache.lookup(v4(8, 8, 8, 8)); });
  held.wait_entered();
  cache.clear();
  held.release();
  EXPECT_TRUE(slow.get().has_value());
  EXPECT_FALSE(cache.lookup(v4(8, 8, 8, 8)));
}

// Readers check that no answer is older than the last write completed before
// their lookup started: the writer bumps the record's version of one prefix
// and publishes the version after each insert returns.
TEST(Cache, StressNoAnswerOlderThanACompletedWrite) {
  auto fake = std::make_shared<FakeEngine>();
  fake->after_lookup = [](const IpAddress& a) {
    if (a.bytes[3] % 3 == 0) std::this_thread::yield();  // widen the window
  };
  CachedEngine cache(3600, 16, fake);  // small: eviction runs too
  const IpPrefix p = prefix(v4(10, 0, 0, 0), 8);
  ASSERT_TRUE(cache.insert(p, record("0")).ok());
  std::atomic<long> done{0};
  std::atomic<bool> stop{false};
  std::atomic<long> violations{0}, checked{0};
  constexpr long kWrites = 20000;

  auto reader = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop.load(std::memory_order_acquire)) {
      const IpAddress a = v4(10, 0, 0, static_cast<int>(rng() % 24));
      const long floor = done.load(std::memory_order_acquire);
      const auto got = cache.lookup(a);
      if (!got || std::stol(got->value) < floor) violations.fetch_add(1);
      checked.fetch_add(1, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < 3; ++i) readers.emplace_back(reader, i + 1);
  while (checked.load() < 3) std::this_thread::yield();
  for (long v = 1; v <= kWrites; ++v) {
    if (v % 8 == 0) std::this_thread::yield();
    ASSERT_TRUE(cache.insert(p, record(std::to_string(v))).ok());
    done.store(v, std::memory_order_release);
    if (v % 97 == 0) {  // a remove and a re-insert of a nested prefix on the side
      ASSERT_TRUE(cache.insert(prefix(v4(10, 0, 0, 0), 28), record(std::to_string(v))).ok());
      cache.remove(prefix(v4(10, 0, 0, 0), 28));
    }
  }
  stop.store(true, std::memory_order_release);
  for (auto& t : readers) t.join();
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GT(checked.load(), 0);
  // Quiescent: every cached answer is the inner engine's current one.
  for (int i = 0; i < 24; ++i) EXPECT_EQ(cache.lookup(v4(10, 0, 0, i)), fake->lookup(v4(10, 0, 0, i)));
}

// Many writers over nested prefixes of both families and many readers; once
// everyone has stopped, the cache must agree with the inner engine.
TEST(Cache, StressConvergesToTheInnerAnswers) {
  auto fake = std::make_shared<FakeEngine>();
  CachedEngine cache(std::nullopt, 40, fake);
  std::vector<IpAddress> addrs;
  for (int i = 0; i < 32; ++i) {
    addrs.push_back(v4(10, i % 4, i, 1));
    addrs.push_back(v6({0x2001, 0xdb8, i % 4, i}));
  }
  auto prefixes_of = [](const IpAddress& a) {
    std::vector<IpPrefix> out;
    for (int len : {0, 8, 16, 24, 32}) out.push_back(prefix(a, a.family == kIpv4 ? len : len * 2));
    return out;
  };
  std::atomic<bool> stop{false};
  auto writer = [&](unsigned seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < 2000; ++i) {
      const auto ps = prefixes_of(addrs[rng() % addrs.size()]);
      const IpPrefix& p = ps[rng() % ps.size()];
      switch (rng() % 8) {
        case 0: cache.remove(p); break;
        case 1: if (i % 50 == 0) cache.clear(); break;
        default: (void)cache.insert(p, record(std::to_string(i))); break;
      }
    }
  };
  auto reader = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop.load(std::memory_order_acquire)) cache.lookup(addrs[rng() % addrs.size()]);
  };
  std::vector<std::thread> ts;
  for (unsigned i = 0; i < 2; ++i) ts.emplace_back(reader, 100 + i);
  std::vector<std::thread> ws;
  for (unsigned i = 0; i < 2; ++i) ws.emplace_back(writer, 200 + i);
  for (auto& t : ws) t.join();
  stop.store(true, std::memory_order_release);
  for (auto& t : ts) t.join();
  for (const auto& a : addrs) EXPECT_EQ(cache.lookup(a), fake->lookup(a));
  EXPECT_LE(cache.cached(), 40u);
}

// The same over the engine the factory builds for "standard", readers racing
// writers on nested prefixes; afterwards the cache agrees with a fresh
// uncached lookup of the inner engine.
TEST(Cache, StressOverTheFactoryEngine) {
  EngineConfig c;
  c.enable_cache = true;
  c.cache_capacity = 32;
  c.cache_ttl_secs = 3600;
  c.node_style = netrove::NodeStyle(1);
  std::unique_ptr<Engine> e = create_engine(std::move(c));
  auto& cache = dynamic_cast<CachedEngine&>(*e);
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  auto reader = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop.load(std::memory_order_acquire)) {
      cache.lookup(v4(10, rng() % 4, rng() % 4, 1));
      reads.fetch_add(1, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> readers;
  for (unsigned i = 0; i < 2; ++i) readers.emplace_back(reader, i + 7);
  while (reads.load() < 10) std::this_thread::yield();
  std::mt19937 rng(99);
  for (int i = 0; i < 800; ++i) {
    if (i % 8 == 0) std::this_thread::yield();
    const int len = 8 * static_cast<int>(1 + rng() % 3);
    const IpPrefix p = prefix(v4(10, rng() % 4, rng() % 4, 0), len);
    if (rng() % 3 == 0) cache.remove(p);
    else ASSERT_TRUE(cache.insert(p, record(std::to_string(i))).ok());
  }
  stop.store(true, std::memory_order_release);
  for (auto& t : readers) t.join();
  for (int a = 0; a < 4; ++a) {
    for (int b = 0; b < 4; ++b) EXPECT_EQ(cache.lookup(v4(10, a, b, 1)), cache.inner()->lookup(v4(10, a, b, 1)));
  }
}

TEST(Cache, SeededHashDiffersBetweenSeeds) {
  const SeededAddressHash h1{1}, h2{2};
  int same = 0;
  for (int i = 0; i < 64; ++i) same += h1(v4(10, 0, 0, i)) == h2(v4(10, 0, 0, i));
  EXPECT_LT(same, 4);
  // Family is part of the key: equal bytes of different families hash apart.
  IpAddress a = v4(1, 2, 3, 4), b = a;
  b.family = kIpv6;
  EXPECT_NE(h1(a), h1(b));
}

}  // namespace
}  // namespace netrove
