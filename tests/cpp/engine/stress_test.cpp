// Readers beside writers on one engine (ThreadSanitizer- and ASan-clean by
// construction: bounded iteration counts, no timing).
//
//   universe: nested prefixes crowded under 10/8, 2001:db8::/32 and
//   ::ffff:10.0.0.0/104; a third are stable (stored first, never written
//   again), the others each owned by one writer, which inserts, replaces
//   and removes them.  A record's value is its prefix's index.
//
// The trie variants run with and without a root table (whose entries the
// writers rewrite under the readers).
//
// Readers (lookup, the batch calls lookup_many, lookup_many_with and
// contains_many, covering, contains_prefix) check that every answer is a
// prefix covering the address, the longest stable one or a longer owned
// one (contains_many: found wherever a stable prefix covers).  Afterwards the engine holds exactly what the writers
// left, the counters add up, and removing the owned prefixes leaves exactly
// the stable set's nodes (nothing leaked by the concurrent merges).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "art/adaptive_engine.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "support/oracle.hpp"
#include "support/root_table.hpp"

namespace {

using namespace nt;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kOps = 1000;
#else
constexpr int kOps = 3000;
#endif
constexpr int kWriters = 2, kReaders = 2;

struct Universe {
  std::vector<IpPrefix> prefixes;
  std::vector<int> owner;         // -1: stable
  std::vector<IpAddress> probes;
  std::vector<int> stable_match;  // per probe: the longest stable prefix covering it, or -1
  std::vector<bool> coverable;    // per probe: some prefix of the universe covers it

  explicit Universe(std::uint64_t seed) {
    Generator gen(seed);
    const IpPrefix bases[] = {p4(10, 0, 0, 0, 8), p6({0x2001, 0xdb8}, 32), p6({0, 0, 0, 0, 0, 0xffff, 0x0a00}, 104)};
    Oracle seen;
    while (prefixes.size() < 300) {
      IpPrefix p = bases[gen.pick(3)];
      gen.randomise(p, p.length, std::min(p.length + 12u, netrove::family_bits(p.family)));
      p.length = static_cast<std::uint8_t>(p.length + gen.pick(std::min(netrove::family_bits(p.family) - p.length, 14u) + 1));
      if (!seen.insert(p, {})) continue;
      prefixes.push_back(masked(p));
      owner.push_back((prefixes.size() - 1) % 3 == 0 ? -1 : static_cast<int>(gen.pick(kWriters)));
    }
    for (int i = 0; i < 1500; ++i) {
      IpPrefix p = prefixes[gen.pick(prefixes.size())];
      gen.randomise(p, p.length, netrove::family_bits(p.family));
      if (i % 10 == 0) p.address[1] ^= 0x40;  // sometimes outside every prefix
      probes.push_back(address_of(p));
      int best = -1;
      for (std::size_t k = 0; k < prefixes.size(); ++k)
        if (owner[k] < 0 && covers(prefixes[k], probes.back()) && (best < 0 || prefixes[k].length > prefixes[best].length))
          best = static_cast<int>(k);
      stable_match.push_back(best);
      coverable.push_back(std::any_of(prefixes.begin(), prefixes.end(), [&](const IpPrefix& q) { return covers(q, probes.back()); }));
    }
  }

  /// Why `answer` cannot be a lookup result for probe i, or "".
  std::string why_not(std::size_t i, const std::optional<Metadata>& answer) const {
    const int stable = stable_match[i];
    if (!answer) return stable < 0 ? "" : "missed a stable prefix";
    const std::size_t id = std::stoul(answer->value);
    if (id >= prefixes.size() || !covers(prefixes[id], probes[i])) return "record " + answer->value + " does not cover";
    if (owner[id] < 0 && static_cast<int>(id) != stable) return "stable " + answer->value + " is not the longest";
    if (owner[id] >= 0 && stable >= 0 && prefixes[id].length <= prefixes[stable].length) return "shorter than stable";
    return "";
  }
};

struct Variant {
  std::string name;
  std::function<std::shared_ptr<netrove::Engine>()> make;
  bool trie;
  bool root_table = false;  // the read index answers through its root table
};

std::shared_ptr<netrove::Engine> local(std::uint8_t type, std::uint8_t style, bool pc, std::uint64_t shards) {
  return std::make_shared<netrove::LocalEngine>(netrove::build_local(type, style, pc, shards));
}

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class Stress : public ::testing::TestWithParam<Variant> {};
INSTANTIATE_TEST_SUITE_P(Engines, Stress,
                         ::testing::Values(Variant{"kind5_sharded4", [] { return local(5, 1, true, 4); }, true},
                                           Variant{"kind7_sharded3", [] { return local(5, 3, true, 3); }, true},
                                           Variant{"kind1", [] { return local(5, 1, false, 1); }, true},
                                           Variant{"kind2_sharded2", [] { return local(5, 2, false, 2); }, true},
                                           Variant{"kind5_sharded4_root_table", [] { return local(5, 1, true, 4); }, true, true},
                                           Variant{"kind1_root_table", [] { return local(5, 1, false, 1); }, true, true},
                                           Variant{"art", [] { return std::make_shared<netrove::AdaptiveEngine>(); }, false},
                                           Variant{"art_sharded3", [] { return local(4, 0, true, 3); }, false}),
                         [](const auto& i) { return i.param.name; });

TEST_P(Stress, ReadersBesideWriters) {
  const RootTableMin table(GetParam().root_table);
  const Universe u(0xabcdef + GetParam().name.size());
  std::shared_ptr<netrove::Engine> shared = GetParam().make();
  netrove::Engine& e = *shared;
  const auto& reader = dynamic_cast<const netrove::EntryReader&>(e);
  Oracle want;
  for (std::size_t k = 0; k < u.prefixes.size(); ++k)
    if (u.owner[k] < 0) {
      ASSERT_TRUE(e.insert(u.prefixes[k], md(std::to_string(k))).ok());
      want.insert(u.prefixes[k], md(std::to_string(k)));
    }
  const std::size_t stable_count = want.size();
  const std::size_t stable_nodes = live_nodes();
  std::atomic<int> writers_left{kWriters}, started{0};
  std::vector<std::map<std::size_t, bool>> left(kWriters);  // owned prefix -> stored at the end
  std::vector<std::uint64_t> inserts(kWriters), removals(kWriters);
  std::vector<std::vector<std::string>> errors(kWriters + kReaders);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      std::mt19937_64 rng(w + 1);
      std::vector<std::size_t> mine;
      for (std::size_t k = 0; k < u.prefixes.size(); ++k)
        if (u.owner[k] == w) mine.push_back(k);
      ++started;
      while (started.load() < kWriters + kReaders) std::this_thread::yield();
      for (int i = 0; i < kOps; ++i) {
        const std::size_t k = mine[rng() % mine.size()];
        IpPrefix p = u.prefixes[k];
        if (const unsigned hb = p.family == kIpv4 ? 3 : 15; p.length <= 8 * hb) p.address[hb] ^= static_cast<std::uint8_t>(rng());
        if (rng() % 3) {
          if (!e.insert(p, md(std::to_string(k))).ok()) errors[w].push_back("insert failed");
          left[w][k] = true, ++inserts[w];
        } else {
          const bool had = e.remove(p).has_value();
          if (had != left[w][k]) errors[w].push_back("remove of " + std::to_string(k) + " answered " + std::to_string(had));
          left[w][k] = false, removals[w] += had;
        }
      }
      --writers_left;
    });
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&, r] {
      std::mt19937_64 rng(r + 100);
      auto& err = errors[kWriters + r];
      ++started;
      for (int n = 0; (writers_left.load() > 0 || n < 500) && err.size() < 5; ++n) {
        const std::size_t i = rng() % u.probes.size();
        if (n % 16 == 0) {
          const auto c = reader.covering(u.probes[i], 1);
          if (auto why = u.why_not(i, c.empty() ? std::nullopt : copy_of(c[0].record)); !why.empty())
            err.push_back("covering: " + why);
        } else if (n % 2 == 0) {
          // A batch: the index walks of several addresses interleave, in
          // groups and with the root read once per call (80 addresses:
          // more than one group of 64, and above the root-table threshold).
          const std::size_t len = n % 6 == 0 ? 80 : 16;
          IpAddress batch[80];
          netrove::HeldRecord held[80];
          bool found[80];
          std::optional<Metadata> lent[80];
          for (std::size_t j = 0; j < len; ++j) batch[j] = u.probes[(i + j) % u.probes.size()];
          switch (n / 2 % 3) {
            case 0: netrove::lookup_many(e, batch, len, held); break;
            case 1:
              netrove::lookup_many_with(e, batch, len, found,
                                        [&](std::size_t j, const netrove::RecordView& r) { lent[j] = r.to_metadata(); });
              break;
            default: netrove::contains_many(e, batch, len, found); break;
          }
          for (std::size_t j = 0; j < len; ++j) {
            const std::size_t probe = (i + j) % u.probes.size();
            std::string why;
            switch (n / 2 % 3) {
              case 0: why = u.why_not(probe, held[j] ? std::optional<Metadata>(held[j].view().to_metadata()) : std::nullopt); break;
              case 1: why = found[j] != lent[j].has_value() ? "found and visited differ" : u.why_not(probe, lent[j]); break;
              default:  // found alone: no stable covering prefix missed, nothing found where none can cover
                if (!found[j] && u.stable_match[probe] >= 0) why = "contains missed a stable prefix";
                if (found[j] && !u.coverable[probe]) why = "contains found what no prefix covers";
            }
            if (!why.empty()) err.push_back("batch: " + why);
          }
        } else if (auto why = u.why_not(i, e.lookup(u.probes[i])); !why.empty()) {
          err.push_back("lookup: " + why);
        }
        if (n % 4 == 0 && !e.contains_prefix(u.prefixes[3 * (rng() % (u.prefixes.size() / 3))])) err.push_back("stable prefix lost");
      }
    });
  for (auto& t : threads) t.join();
  for (const auto& es : errors)
    for (const auto& s : es) ADD_FAILURE() << s;

  std::uint64_t total_inserts = stable_count, total_removals = 0;
  for (int w = 0; w < kWriters; ++w) {
    total_inserts += inserts[w], total_removals += removals[w];
    for (auto [k, stored] : left[w])
      if (stored) want.insert(u.prefixes[k], md(std::to_string(k)));
  }
  ASSERT_EQ(e.len(), want.size());
  for (const IpPrefix& p : u.prefixes) ASSERT_EQ(e.contains_prefix(p), want.exact(p).has_value());
  for (const IpAddress& a : u.probes) ASSERT_EQ(show(e.lookup(a)), show(want.lookup(a)));
  if (GetParam().trie) {
    const auto s = e.stats();
    EXPECT_EQ(s.inserts, total_inserts);
    EXPECT_EQ(s.removals, total_removals);
    EXPECT_EQ(s.hits + s.misses, s.lookups);
  }
  for (const Entry& x : want.entries())
    if (u.owner[std::stoul(x.record.value)] >= 0) { ASSERT_TRUE(e.remove(x.prefix)); }
  EXPECT_EQ(e.len(), stable_count);
  if (GetParam().trie) { EXPECT_EQ(live_nodes(), stable_nodes); }
}

// Clears racing lookups: every answer covers its address, the engine ends
// as the writer left it.
TEST_P(Stress, ClearsRaceLookups) {
  const RootTableMin table(GetParam().root_table);
  const Universe u(0x1234);
  std::shared_ptr<netrove::Engine> shared = GetParam().make();
  netrove::Engine& e = *shared;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    std::mt19937_64 rng(9);
    while (!stop.load()) {
      const std::size_t i = rng() % u.probes.size();
      if (const auto got = e.lookup(u.probes[i]); got && !covers(u.prefixes[std::stoul(got->value)], u.probes[i])) ++bad;
    }
  });
  for (int round = 0; round < 8; ++round) {
    e.clear();
    for (std::size_t k = 0; k < u.prefixes.size(); ++k) ASSERT_TRUE(e.insert(u.prefixes[k], md(std::to_string(k))).ok());
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(e.len(), u.prefixes.size());
}

// Lookup counts from more threads than there are owned counter slots, in
// waves (later threads reuse the slots of exited ones), through every read
// call: stats() counts each lookup once, none lost or doubled.
TEST(StressStats, EveryThreadsLookupsCounted) {
  std::shared_ptr<netrove::Engine> shared = local(5, 1, true, 1);
  netrove::Engine& e = *shared;
  const auto& lender = dynamic_cast<const netrove::RecordLender&>(e);
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("ten")).ok());
  const IpAddress hit = v4(10, 1, 2, 3), miss = v4(11, 1, 2, 3);
  const std::vector<IpAddress> batch{hit, miss, hit};  // 2 hits, 1 miss
  constexpr int kThreads = 24, kRounds = 2000;
  auto work = [&] {
    for (int r = 0; r < kRounds; ++r) {
      (void)e.lookup(r % 2 ? hit : miss);                      // 1 lookup
      (void)lender.lookup_with(hit, netrove::RecordVisitor{});  // 1 hit
      bool found[3];
      netrove::contains_many(e, batch.data(), batch.size(), found);  // 2 hits, 1 miss
    }
  };
  for (int wave = 0; wave < 2; ++wave) {
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads / 2; ++t) ts.emplace_back(work);
    for (auto& t : ts) t.join();
  }
  // A 13th..24th thread alive at once as well: more than the owned slots.
  {
    std::atomic<int> ready{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
      ts.emplace_back([&] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        work();
      });
    for (auto& t : ts) t.join();
  }
  // Per thread and round pair: lookup 1 hit + 1 miss, lookup_with 2 hits,
  // contains_many 4 hits + 2 misses.
  const std::uint64_t pairs = std::uint64_t{2 * (kThreads / 2) + kThreads} * (kRounds / 2);
  const auto s = e.stats();
  EXPECT_EQ(s.hits, pairs * 7);
  EXPECT_EQ(s.misses, pairs * 3);
  EXPECT_EQ(s.lookups, pairs * 10);
}

}  // namespace
