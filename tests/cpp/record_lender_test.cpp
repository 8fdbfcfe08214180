// RecordLender::lookup_with against Engine::lookup: the same answers and the
// same counter changes on every LocalEngine variant, the cache (hit, miss,
// capacity, the generation rule) and the hybrid engine without a store; the
// visitor's contract (called once per hit with the longest match, never on a
// miss, optional); and lending while writers replace and remove records.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_engine.hpp"
#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "store/hybrid_engine.hpp"
#include "engine/local_engine.hpp"

namespace netrove {
namespace {

using testing::FakeEngine;
using testing::HeldLookup;
using testing::prefix;
using testing::record;
using testing::v4;
using testing::v6;

EngineStats minus(const EngineStats& a, const EngineStats& b) {
  return EngineStats{a.inserts - b.inserts, a.lookups - b.lookups, a.hits - b.hits,
                     a.misses - b.misses,   a.removals - b.removals, a.size};
}

// What one lookup_with call produced: its result, how often `visit` ran and
// a copy of what it saw.
struct Lent {
  bool found = false;
  int visits = 0;
  std::optional<Metadata> seen;
};

Lent lend(const RecordLender& l, const IpAddress& a) {
  Lent out;
  out.found = l.lookup_with(a, [&](const netrove::RecordView& r) noexcept {
    ++out.visits;
    out.seen = r.to_metadata();
  });
  return out;
}

// A random table over both families, nested prefixes included, with records
// carrying several attributes.
struct Table {
  std::vector<std::pair<IpPrefix, Metadata>> entries;
  std::vector<IpAddress> probes;  // inside some prefix, or anywhere
};

Table random_table(std::uint64_t seed, int n) {
  std::mt19937_64 rng(seed);
  Table t;
  for (int i = 0; i < n; ++i) {
    IpAddress a = rng() % 4 ? v4(10 + rng() % 3, rng() % 4, rng() % 256, rng() % 256)
                            : v6({0x2001, 0xdb8, static_cast<int>(rng() % 4), static_cast<int>(rng() % 65536)});
    // At least /8 and /32: addresses outside 10.0.0.0/6 and 2001:db8::/32 miss.
    const int shortest = a.family == kIpv4 ? 8 : 32;
    const int width = a.family == kIpv4 ? 32 : 128;
    const int len = shortest + static_cast<int>(rng() % (width - shortest + 1));
    const std::string n_text = std::to_string(i);
    std::string value = "r", asn = "AS";
    value += n_text;
    asn += n_text;
    t.entries.emplace_back(prefix(a, len).network(),
                           record(value, {{"asn", asn}, {"k", "v"}, {"i", std::to_string(i % 7)}}));
  }
  for (int i = 0; i < 4 * n; ++i) {
    IpAddress a = rng() % 4 ? v4(rng() % 2 ? 10 + rng() % 3 : rng() % 256, rng() % 4, rng() % 256, rng() % 256)
                            : v6({0x2001, rng() % 2 ? 0xdb8 : 0xdb9, static_cast<int>(rng() % 4), static_cast<int>(rng() % 65536),
                                  static_cast<int>(rng() % 65536)});
    t.probes.push_back(a);
  }
  return t;
}

// Looks every probe up in two engines holding the same entries, with lookup
// in `copying` and lookup_with in `lending` (every third call with an empty
// visitor), and compares the answers and the counter changes of the calls.
void expect_agreement(const Engine& copying, const Engine& lending, const std::vector<IpAddress>& probes,
                      bool mixed = true) {
  const auto& l = dynamic_cast<const RecordLender&>(lending);
  int hits = 0, n = 0;
  for (const IpAddress& a : probes) {
    const EngineStats s0 = copying.stats();
    const std::optional<Metadata> copied = copying.lookup(a);
    const EngineStats s1 = copying.stats();
    const EngineStats t0 = lending.stats();
    if (++n % 3 == 0) {
      ASSERT_EQ(l.lookup_with(a, RecordVisitor{}), copied.has_value());
    } else {
      const Lent lent = lend(l, a);
      ASSERT_EQ(lent.found, copied.has_value());
      ASSERT_EQ(lent.visits, copied ? 1 : 0);
      ASSERT_EQ(lent.seen, copied);
    }
    ASSERT_EQ(minus(lending.stats(), t0), minus(s1, s0));
    hits += copied.has_value();
  }
  if (!mixed) return;
  // The table is built so that both answers occur often.
  EXPECT_GT(hits, static_cast<int>(probes.size()) / 10);
  EXPECT_LT(hits, static_cast<int>(probes.size()));
}

struct Variant {
  std::uint8_t type, style;
  bool compressed;
  std::optional<std::uint64_t> shards;
  LocalTag tag;
};

const Variant kVariants[] = {
    {0, 2, false, std::nullopt, LocalTag::uncompressed},
    {1, 0, false, 4, LocalTag::sharded_uncompressed},
    {0, 3, true, std::nullopt, LocalTag::compressed},
    {3, 3, true, 4, LocalTag::sharded_compressed},
    {4, 0, true, 1, LocalTag::adaptive},
    {4, 0, true, 3, LocalTag::sharded_adaptive},
};

TEST(RecordLender, AgreesWithLookupOnEveryLocalVariant) {
  const Table t = random_table(11, 300);
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(::testing::Message() << "tag " << int(v.tag));
    LocalEngine c = build_local(v.type, v.style, v.compressed, v.shards);
    LocalEngine e = build_local(v.type, v.style, v.compressed, v.shards);
    ASSERT_EQ(e.tag(), v.tag);
    // Empty engine: every lookup misses, visit never runs.
    expect_agreement(c, e, {v4(1, 2, 3, 4), v6({0x2001, 0xdb8})}, false);
    for (const auto& [p, m] : t.entries) {
      ASSERT_TRUE(c.insert(p, m).ok());
      ASSERT_TRUE(e.insert(p, m).ok());
    }
    expect_agreement(c, e, t.probes);
    // Replace half the records and remove a quarter: the lent records follow.
    for (LocalEngine* x : {&c, &e}) {
      for (std::size_t i = 0; i < t.entries.size(); i += 2) {
        ASSERT_TRUE(x->insert(t.entries[i].first, record("new" + std::to_string(i))).ok());
      }
      for (std::size_t i = 1; i < t.entries.size(); i += 4) (void)x->remove(t.entries[i].first);
    }
    expect_agreement(c, e, t.probes);
  }
}

TEST(RecordLender, VisitSeesTheLongestMatchOnly) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(::testing::Message() << "tag " << int(v.tag));
    LocalEngine e = build_local(v.type, v.style, v.compressed, v.shards);
    ASSERT_TRUE(e.insert(prefix(v4(10, 0, 0, 0), 8), record("eight")).ok());
    ASSERT_TRUE(e.insert(prefix(v4(10, 1, 0, 0), 16), record("sixteen", {{"a", "b"}})).ok());
    Lent in16 = lend(e, v4(10, 1, 2, 3));
    EXPECT_TRUE(in16.found);
    EXPECT_EQ(in16.visits, 1);
    EXPECT_EQ(in16.seen, record("sixteen", {{"a", "b"}}));
    Lent in8 = lend(e, v4(10, 2, 0, 0));
    EXPECT_EQ(in8.visits, 1);
    EXPECT_EQ(in8.seen, record("eight"));
    Lent none = lend(e, v4(11, 0, 0, 0));
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.visits, 0);
    Lent other_family = lend(e, v6({0x2001, 0xdb8}));
    EXPECT_FALSE(other_family.found);
    EXPECT_EQ(other_family.visits, 0);
  }
}

// The cache: a miss asks the inner engine once and stores the answer, a hit
// is lent from the map without asking it, and a twin cache driven through
// lookup ends in the same state.  Capacity 50 over 80 addresses evicts;
// eviction order depends on each map's own hash seed, so the twin is
// compared only with a capacity that never evicts.
TEST(RecordLender, CacheHitAndMissPathsMatchLookup) {
  for (const std::uint64_t capacity : {std::uint64_t{1000}, std::uint64_t{50}}) {
  const bool twin = capacity == 1000;
  const Table t = random_table(12, 200);
  auto fake_a = std::make_shared<FakeEngine>();
  auto fake_b = std::make_shared<FakeEngine>();
  CachedEngine lending(3600, capacity, fake_a);
  CachedEngine copying(3600, capacity, fake_b);
  for (const auto& [p, m] : t.entries) {
    ASSERT_TRUE(lending.insert(p, m).ok());
    ASSERT_TRUE(copying.insert(p, m).ok());
  }
  std::mt19937_64 rng(5);
  for (int i = 0; i < 3000; ++i) {
    const IpAddress& a = t.probes[rng() % 80];  // 80 addresses over capacity 50: hits, misses, evictions
    const bool was_cached = lending.is_cached(a);
    if (twin) {
      ASSERT_EQ(was_cached, copying.is_cached(a)) << "the twin caches diverged";
    }
    const std::uint64_t inner_before = fake_a->lookups();
    const Lent lent = i % 3 == 0 ? Lent{lending.lookup_with(a, RecordVisitor{}), 0, std::nullopt} : lend(lending, a);
    const std::optional<Metadata> copied = copying.lookup(a);
    ASSERT_EQ(lent.found, copied.has_value());
    if (i % 3 != 0) {
      ASSERT_EQ(lent.seen, copied);
      ASSERT_EQ(lent.visits, copied ? 1 : 0);
    }
    ASSERT_EQ(fake_a->lookups() - inner_before, was_cached ? 0u : 1u);
    ASSERT_TRUE(lending.is_cached(a));
    ASSERT_LE(lending.cached(), std::max<std::uint64_t>(capacity, 1));
    ASSERT_EQ(lending.cached(), copying.cached());
    if (twin) {
      ASSERT_EQ(lending.stats(), copying.stats());
    }
  }
  // A write drops the answers inside its prefix; the next lend misses once.
  const IpAddress a = t.probes[0];
  ASSERT_TRUE(lending.insert(prefix(a, a.family == kIpv4 ? 32 : 128), record("exact")).ok());
  EXPECT_FALSE(lending.is_cached(a));
  const Lent after = lend(lending, a);
  EXPECT_EQ(after.seen, record("exact"));
  EXPECT_TRUE(lending.is_cached(a));
  }
}

// The generation rule on the lending miss path: a write completing between
// the inner lookup and the store keeps the older answer out of the map, and
// the racing caller is still lent the answer it got.
TEST(RecordLender, CacheMissRacingAWriteIsLentButNotStored) {
  for (const bool use_remove : {false, true}) {
    auto fake = std::make_shared<FakeEngine>();
    CachedEngine cache(3600, 10000, fake);
    const IpAddress addr = v4(10, 1, 2, 3);
    if (use_remove) {
      ASSERT_TRUE(cache.insert(prefix(v4(10, 0, 0, 0), 8), record("old")).ok());
    }

    HeldLookup held(*fake);
    auto slow = std::async(std::launch::async, [&] { return lend(cache, addr); });
    held.wait_entered();  // the miss has its (old) answer in hand, no cache lock held
    if (use_remove) ASSERT_TRUE(cache.remove(prefix(v4(10, 0, 0, 0), 8)));
    else ASSERT_TRUE(cache.insert(prefix(v4(10, 0, 0, 0), 8), record("new")).ok());
    held.release();
    const Lent raced = slow.get();
    EXPECT_EQ(raced.found, use_remove);
    EXPECT_EQ(raced.visits, use_remove ? 1 : 0);
    if (use_remove) {
      EXPECT_EQ(raced.seen, record("old"));
    }

    EXPECT_FALSE(cache.is_cached(addr)) << "an answer older than the write was cached";
    const Lent now = lend(cache, addr);
    EXPECT_EQ(now.found, !use_remove);
    if (!use_remove) {
      EXPECT_EQ(now.seen, record("new"));
    }
    EXPECT_TRUE(cache.is_cached(addr));
  }
}

TEST(RecordLender, CacheOverEveryLocalVariantMatchesLookup) {
  const Table t = random_table(13, 150);
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(::testing::Message() << "tag " << int(v.tag));
    CachedEngine c(3600, 10000, std::make_shared<LocalEngine>(build_local(v.type, v.style, v.compressed, v.shards)));
    CachedEngine e(3600, 10000, std::make_shared<LocalEngine>(build_local(v.type, v.style, v.compressed, v.shards)));
    for (const auto& [p, m] : t.entries) {
      ASSERT_TRUE(c.insert(p, m).ok());
      ASSERT_TRUE(e.insert(p, m).ok());
    }
    // Twice over: the first pass mostly misses, the second mostly hits.
    expect_agreement(c, e, t.probes);
    expect_agreement(c, e, t.probes);
    EXPECT_EQ(c.cached(), e.cached());
  }
}

TEST(RecordLender, HybridWithoutStoreLendsFromTheReadEngine) {
  const Table t = random_table(14, 200);
  for (const bool read_compressed : {false, true}) {
    EngineConfig config;
    config.path_compression = read_compressed;
    config.write_path_compression = !read_compressed;
    std::string error;
    std::unique_ptr<HybridEngine> g = HybridEngine::start(config, error);
    std::unique_ptr<HybridEngine> h = HybridEngine::start(config, error);
    ASSERT_TRUE(g && h) << error;
    for (HybridEngine* x : {g.get(), h.get()}) {
      for (const auto& [p, m] : t.entries) ASSERT_TRUE(x->insert(p, m).ok());
    }
    expect_agreement(*g, *h, t.probes);
    for (HybridEngine* x : {g.get(), h.get()}) {
      for (std::size_t i = 0; i < t.entries.size(); i += 3) (void)x->remove(t.entries[i].first);
    }
    expect_agreement(*g, *h, t.probes);
    // The counters that moved are the read engine's.
    EXPECT_GT(h->read_engine().stats().lookups, 0u);
    EXPECT_EQ(h->write_engine().stats().lookups, 0u);
  }
}

// Readers lend records while writers replace and remove them: every lent
// record is one that was stored, read whole (the sanitizers check that no
// freed record is touched).
TEST(RecordLender, LendingWhileWritersReplaceAndRemove) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(::testing::Message() << "tag " << int(v.tag));
    auto local = std::make_shared<LocalEngine>(build_local(v.type, v.style, v.compressed, v.shards));
    CachedEngine cached(3600, 16, local);
    for (const bool through_cache : {false, true}) {
      Engine& e = through_cache ? static_cast<Engine&>(cached) : *local;
      const RecordLender& l = through_cache ? static_cast<const RecordLender&>(cached) : *local;
      std::atomic<bool> stop{false};
      std::atomic<int> bad{0}, lent{0};
      std::vector<std::thread> readers;
      for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
          std::mt19937 rng(static_cast<unsigned>(r));
          while (!stop.load(std::memory_order_relaxed)) {
            const IpAddress a = v4(10, static_cast<int>(rng() % 4), static_cast<int>(rng() % 8), 1);
            (void)l.lookup_with(a, [&](const netrove::RecordView& r) noexcept {
              const bool whole = r.size() == 1 && (*r.begin()).first == "copy" && (*r.begin()).second == r.value();
              if (r.value().rfind("gen", 0) != 0 || !whole) ++bad;
              ++lent;
            });
          }
        });
      }
      // At least 300 rounds, and on until the readers have lent enough.
      for (int round = 0; round < 300 || (lent.load() < 2000 && round < 3'000'000); ++round) {
        std::string value(48, 'x');  // long enough to live on the heap
        value.replace(0, 3, "gen");
        value[3] = static_cast<char>('a' + round % 26);
        for (int b = 0; b < 4; ++b) {
          (void)e.insert(prefix(v4(10, b, 0, 0), 16), record(value, {{"copy", value}}));
          (void)e.insert(prefix(v4(10, b, round % 8, 0), 24), record(value, {{"copy", value}}));
        }
        if (round % 3 == 0) (void)e.remove(prefix(v4(10, round % 4, 0, 0), 16));
        if (round % 50 == 49) e.clear();
      }
      stop = true;
      for (auto& t : readers) t.join();
      EXPECT_EQ(bad.load(), 0);
      EXPECT_GT(lent.load(), 0);
    }
  }
}

}  // namespace
}  // namespace netrove
