// Differential test: every engine variant against one brute-force oracle.
//
//   variants: trie node kinds 0-7, unsharded and over 3 shards; the adaptive
//   radix tree alone, through LocalEngine, over 4 shards; CachedEngine (a
//   small capacity, so eviction runs) over a trie, a sharded trie and a
//   sharded adaptive engine; every trie variant again with its read index
//   answering through a root table from the first prefix on.
//
// One seeded sequence of operations on random nested prefixes of both
// families (host bits set) per variant:
//   1. insert / replace (single, a third of them near the last one;
//      insert_many and insert_records, bulk loads with repeats inside one
//      call, load), remove (of a stored prefix written with other host
//      bits, or a random one), clear;
//   2. lookup, lookup_with, lookup_many / contains_many / lookup_many_with
//      (with repeated addresses, sometimes over several chunks; through a
//      cache, the inner engine asked once per distinct address not cached),
//      contains_prefix;
//   3. covering (all, and the longest), covered, exact, and all();
// after each: len() equals the oracle's size, the first and last address of
// every prefix written (so a remove shows the next covering prefix), and a
// cache forgot exactly the cached answers inside the written prefix.  The
// trie engines load in chunks of a few sorted items, so that chunk ends fall
// inside every stride and trie level.  Every 500 steps a snapshot of the
// engine loads into a fresh one of the same variant with the same entries,
// and a cut one is rejected with nothing stored.  At the end the counters
// add up, and removing every entry gives back every node.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "art/adaptive_engine.hpp"
#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "netrove/snapshot.hpp"
#include "support/oracle.hpp"
#include "support/root_table.hpp"
#include "trie/trie_engine.hpp"

namespace {

using namespace nt;
using netrove::Engine;
using netrove::EngineStats;

enum class Counts { all, size_only, through_cache };

struct Variant {
  std::string name;
  std::function<std::shared_ptr<Engine>()> make;
  Counts counts;
  bool adaptive;
  bool root_table = false;  // every read index answers through its root table
};

std::shared_ptr<Engine> local(std::uint8_t type, std::uint8_t style, bool pc, std::optional<std::uint64_t> shards) {
  return std::make_shared<netrove::LocalEngine>(netrove::build_local(type, style, pc, shards));
}
std::shared_ptr<Engine> cached(std::shared_ptr<Engine> inner) {
  return std::make_shared<netrove::CachedEngine>(std::nullopt, 24, std::move(inner));
}

std::vector<Variant> variants() {
  std::vector<Variant> v;
  for (int k = 0; k < 8; ++k) {
    const auto style = static_cast<std::uint8_t>(k % 4);
    v.push_back({"kind" + std::to_string(k), [=] { return local(0, style, k >= 4, std::nullopt); }, Counts::all, false});
    v.push_back({"kind" + std::to_string(k) + "_sharded", [=] { return local(5, style, k >= 4, 3); }, Counts::all, false});
  }
  v.push_back({"art", [] { return std::make_shared<netrove::AdaptiveEngine>(); }, Counts::size_only, true});
  v.push_back({"art_local", [] { return local(4, 0, true, 1); }, Counts::size_only, true});
  v.push_back({"art_sharded", [] { return local(4, 0, true, 4); }, Counts::size_only, true});
  v.push_back({"cached_kind1", [] { return cached(local(0, 1, false, std::nullopt)); }, Counts::through_cache, false});
  v.push_back({"cached_kind5_sharded", [] { return cached(local(5, 1, true, 3)); }, Counts::through_cache, false});
  v.push_back({"cached_art_sharded", [] { return cached(local(4, 0, true, 3)); }, Counts::size_only, true});
  // The trie variants again with a root table however few prefixes there are.
  for (std::size_t i = 0, n = v.size(); i < n; ++i)
    if (!v[i].adaptive) {
      v.push_back(v[i]);
      v.back().name += "_root_table";
      v.back().root_table = true;
    }
  return v;
}

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class Differential : public ::testing::TestWithParam<Variant> {};
INSTANTIATE_TEST_SUITE_P(All, Differential, ::testing::ValuesIn(variants()), [](const auto& i) { return i.param.name; });

/// Nodes the engine holds: the adaptive trees' census, or the trie nodes
/// alive in the process (one trie engine alive at a time in this program).
std::size_t nodes(const Engine& e, bool adaptive) {
  if (!adaptive) return live_nodes();
  const auto* c = dynamic_cast<const netrove::CachedEngine*>(&e);
  const auto* l = dynamic_cast<const netrove::LocalEngine*>(c ? c->inner().get() : &e);
  std::size_t n = 0;
  auto add = [&](const netrove::AdaptiveEngine& a) {
    const auto t = a.census();
    n += t.node4 + t.node16 + t.node48 + t.node256 + t.leaves + t.prefix_sets;
  };
  if (!l) add(dynamic_cast<const netrove::AdaptiveEngine&>(e));
  else
    for (std::size_t s = 0; l->adaptive_engine(s); ++s) add(*l->adaptive_engine(s));
  return n;
}

/// Makes the bulk loads of every trie engine inside `e` run in chunks of
/// `chunk` sorted items.
void set_bulk_chunk(Engine& e, std::size_t chunk) {
  const auto* c = dynamic_cast<const netrove::CachedEngine*>(&e);
  const auto* l = dynamic_cast<const netrove::LocalEngine*>(c ? c->inner().get() : &e);
  for (std::size_t s = 0; l && l->trie(s); ++s) const_cast<netrove::TrieEngine*>(l->trie(s))->set_bulk_chunk(chunk);
}

TEST_P(Differential, MatchesTheOracle) {
  const Variant& var = GetParam();
  const std::uint64_t seed = 0x5eed + std::hash<std::string>{}(var.name) % 997;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  Generator gen(seed);
  const RootTableMin table(var.root_table);
  std::shared_ptr<Engine> shared = var.make();
  Engine& e = *shared;
  set_bulk_chunk(e, 1 + seed % 5);
  const auto& lender = dynamic_cast<const netrove::RecordLender&>(e);
  const auto& reader = dynamic_cast<const netrove::EntryReader&>(e);
  auto* cache = dynamic_cast<netrove::CachedEngine*>(&e);
  const std::size_t empty_nodes = nodes(e, var.adaptive);
  Oracle oracle;
  EngineStats want;
  std::uint64_t serial = 0, hits = 0, removed = 0;
  std::vector<IpAddress> probes(32, v4(10, 1, 2, 3));
  std::size_t next_probe = 0;
  std::optional<IpPrefix> last_single;

  auto check_lookup = [&](const IpAddress& a) {
    const auto expect = oracle.lookup(a);
    const auto got = e.lookup(a);
    ASSERT_EQ(show(got), show(expect));
    if (expect) { ASSERT_EQ(*got, *expect); }
    std::optional<Metadata> lent;
    const bool found = lender.lookup_with(a, [&](const netrove::RecordView& r) noexcept { lent = r.to_metadata(); });
    ASSERT_EQ(found, expect.has_value());
    ASSERT_EQ(lent, expect);
    want.lookups += 2;
    (expect ? want.hits : want.misses) += 2;
    hits += expect.has_value();
  };
  // A write: the addresses at both ends of its prefix become probes, and a
  // cache must have dropped exactly the cached answers inside the prefix.
  auto write = [&](const IpPrefix& p, const std::function<void()>& op) {
    std::vector<bool> was(probes.size());
    if (cache) for (std::size_t i = 0; i < probes.size(); ++i) was[i] = cache->is_cached(probes[i]);
    op();
    for (std::size_t i = 0; cache && i < probes.size(); ++i)
      ASSERT_EQ(cache->is_cached(probes[i]), was[i] && !covers(p, probes[i])) << i;
    if (cache) { ASSERT_TRUE(cache->consistent()); }
    probes[next_probe++ % probes.size()] = address_of(masked(p));
    probes[next_probe++ % probes.size()] = last_of(p);
  };
  auto check_entries = [&](const IpAddress& a, const IpPrefix& p) {
    const auto all = oracle.covering(a);
    ASSERT_EQ(texts(reader.covering(a, SIZE_MAX)), texts(all));
    ASSERT_EQ(texts(reader.covering(a, 1)), texts(std::vector<Entry>(all.begin(), all.begin() + std::min<std::size_t>(all.size(), 1))));
    ASSERT_EQ(texts(reader.covered(p)), texts(oracle.covered(p)));
    ASSERT_EQ(copy_of(reader.exact(p)), oracle.exact(p));
  };

  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE(step);
    const std::uint64_t op = gen.pick(100);
    if (op < 30) {
      // A third of them near the last single insert (a few of its final
      // bits redrawn, the length moved by a few), as in a sorted table: the
      // insert walk then starts deep down the last one's path.
      IpPrefix p = gen.prefix();
      if (last_single && gen.pick(3) == 0) {
        p = *last_single;
        const unsigned width = netrove::family_bits(p.family);
        gen.randomise(p, p.length - std::min<unsigned>(p.length, gen.pick(6)), width);
        p.length = static_cast<std::uint8_t>(std::min<unsigned>(width, p.length + gen.pick(7) - std::min<unsigned>(p.length, 3)));
      }
      last_single = p;
      const Metadata m = md("v" + std::to_string(serial++), "step", std::to_string(step));
      // A load (restoring a saved table) stores alike but counts nothing.
      auto* loader = op < 5 ? dynamic_cast<netrove::EntryLoader*>(&e) : nullptr;
      ASSERT_NO_FATAL_FAILURE(write(p, [&] { ASSERT_TRUE((loader ? loader->load(p, m) : e.insert(p, m)).ok()); }));
      oracle.insert(p, m);
      want.inserts += loader == nullptr;
    } else if (op < 33) {
      // A bulk load: repeats inside the call (written with other host
      // bits, a later one winning), records shared by several prefixes.
      std::vector<IpPrefix> ps(1 + gen.pick(16));
      std::vector<Metadata> ms;
      for (std::size_t i = 0; i < ps.size(); ++i) {
        ps[i] = gen.prefix();
        if (i > 0 && gen.pick(4) == 0) {
          ps[i] = ps[gen.pick(i)];
          gen.randomise(ps[i], ps[i].length, netrove::family_bits(ps[i].family));
        }
        ms.push_back(md("b" + std::to_string(gen.pick(3) == 0 ? serial % 4 : serial)));
        ++serial;
        oracle.insert(ps[i], ms.back());
      }
      std::size_t done = 0;
      if (op == 32) {
        std::vector<netrove::RecordRef> rs;
        for (const Metadata& m : ms) rs.push_back(netrove::RecordRef::intern(m));
        ASSERT_TRUE(netrove::insert_records(e, ps.data(), rs.data(), ps.size(), &done).ok());
      } else {
        ASSERT_TRUE(netrove::insert_many(e, ps.data(), ms.data(), ps.size(), &done).ok());
      }
      ASSERT_EQ(done, ps.size());
      for (const IpPrefix& p : ps) write(p, [] {});
      want.inserts += ps.size();
    } else if (op < 48) {
      IpPrefix p = gen.prefix();
      if (oracle.size() && gen.pick(2)) {  // a stored one, written with other host bits
        p = oracle.entries()[gen.pick(oracle.size())].prefix;
        gen.randomise(p, p.length, netrove::family_bits(p.family));
      }
      const auto expect = oracle.remove(p);
      ASSERT_NO_FATAL_FAILURE(write(p, [&] {
        const auto got = e.remove(p);
        ASSERT_EQ(show(got), show(expect));
        if (expect) { ASSERT_EQ(*got, *expect); }
      }));
      removed += expect.has_value();
    } else if (op < 80) {
      const IpAddress a = gen.pick(3) ? gen.address() : probes[gen.pick(probes.size())];
      ASSERT_NO_FATAL_FAILURE(check_lookup(a));
      if (op < 60) { ASSERT_NO_FATAL_FAILURE(check_entries(a, gen.prefix())); }
    } else if (op < 84) {
      std::vector<IpAddress> as(probes.begin(), probes.begin() + gen.pick(probes.size()));
      for (int i = 0; i < 8; ++i) as.push_back(gen.address());
      for (std::size_t i = 0, n = as.size(); i < n / 3; ++i) as.push_back(as[gen.pick(n)]);  // repeats
      constexpr std::size_t kChunk = netrove::CachedEngine::kChunk;
      while (gen.pick(8) == 0 && as.size() < 2 * kChunk + 7) as.push_back(gen.pick(2) ? gen.address() : as[gen.pick(as.size())]);
      std::vector<netrove::HeldRecord> held(as.size());
      std::unique_ptr<bool[]> found(new bool[as.size()]), lent(new bool[as.size()]);
      std::vector<std::optional<Metadata>> seen(as.size());
      std::size_t visits = 0, last_visit = 0;
      // A cache asks its inner engine, in one batch, once per distinct
      // address it does not hold when the chunk starts.
      const bool exact = cache && var.counts == Counts::through_cache && as.size() <= kChunk;
      // The last one it asks about is then cached (no later store evicts it).
      std::optional<IpAddress> last;
      auto asked = [&] {
        std::set<std::pair<std::uint8_t, std::array<std::uint8_t, 16>>> missing;
        for (const IpAddress& a : as)
          if (!cache->is_cached(a) && missing.insert({a.family, a.bytes}).second) last = a;
        return missing.size();
      };
      std::uint64_t before = e.stats().lookups, expect_asked = exact ? asked() : 0;
      netrove::lookup_many(e, as.data(), as.size(), held.data());
      if (exact) { ASSERT_EQ(e.stats().lookups - before, expect_asked); }
      if (exact && last) { ASSERT_TRUE(cache->is_cached(*last)); }
      last.reset();
      before = e.stats().lookups, expect_asked = exact ? asked() : 0;
      netrove::contains_many(e, as.data(), as.size(), found.get());
      if (exact) { ASSERT_EQ(e.stats().lookups - before, expect_asked); }
      if (exact && last) { ASSERT_TRUE(cache->is_cached(*last)); }
      netrove::lookup_many_with(e, as.data(), as.size(), lent.get(), [&](std::size_t i, const netrove::RecordView& r) {
        if (visits++ && i <= last_visit) seen.clear();  // out of order or twice: fails below
        last_visit = i;
        if (i < seen.size()) seen[i] = r.to_metadata();
      });
      ASSERT_EQ(seen.size(), as.size()) << "visited out of order";
      for (std::size_t i = 0; i < as.size(); ++i) {
        const auto expect = oracle.lookup(as[i]);
        ASSERT_EQ(held[i] ? std::optional<Metadata>(held[i].view().to_metadata()) : std::nullopt, expect);
        ASSERT_EQ(found[i], expect.has_value());
        ASSERT_EQ(lent[i], expect.has_value());
        ASSERT_EQ(seen[i], expect);
        want.lookups += 3;
        (expect ? want.hits : want.misses) += 3;
      }
    } else if (op < 99) {
      IpPrefix p = gen.prefix();
      if (oracle.size() && gen.pick(2)) p = oracle.entries()[gen.pick(oracle.size())].prefix;
      ASSERT_EQ(e.contains_prefix(p), oracle.exact(p).has_value());
      ASSERT_NO_FATAL_FAILURE(check_entries(address_of(p), p));
    }
    if (step == 1500) {
      e.clear();
      oracle.clear();
      if (cache) { ASSERT_EQ(cache->cached(), 0u); }
    }
    ASSERT_EQ(e.len(), oracle.size());
    if (step % 500 == 499) {
      ASSERT_EQ(texts(reader.all()), texts([&] {
                  auto v = oracle.covered(p4(0, 0, 0, 0, 0)), w = oracle.covered(prefix(v6({}), 0));
                  v.insert(v.end(), w.begin(), w.end());
                  return v;
                }()));
      for (const IpAddress& a : probes) ASSERT_NO_FATAL_FAILURE(check_lookup(a));
      // The snapshot loads into a fresh engine of the variant as the same
      // entries, counting nothing; a cut one stores nothing.
      const std::string bytes = netrove::save_snapshot(e);
      std::shared_ptr<Engine> copy = var.make(), cut = var.make();
      ASSERT_EQ(netrove::load_snapshot(*copy, bytes), std::nullopt);
      ASSERT_EQ(texts(dynamic_cast<const netrove::EntryReader&>(*copy).all()), texts(reader.all()));
      ASSERT_EQ(copy->stats().inserts, 0u);
      ASSERT_NE(netrove::load_snapshot(*cut, std::string_view(bytes).substr(0, gen.pick(bytes.size()))), std::nullopt);
      ASSERT_EQ(cut->len(), 0u);
    }
  }
  // The mix exercised both answers and real removals.
  EXPECT_GT(hits, 100u);
  EXPECT_GT(removed, 30u);
  EXPECT_GT(oracle.size(), 150u);
  // Counters: exact where the engine counts, the writes' where a cache
  // answers some lookups itself, only the size for the adaptive engines.
  want.size = oracle.size();
  want.removals = removed;
  const EngineStats s = e.stats();
  EXPECT_EQ(s.hits + s.misses, s.lookups);
  if (var.counts == Counts::all) { EXPECT_EQ(s, want); }
  if (var.counts == Counts::through_cache) {
    EXPECT_EQ(s.inserts, want.inserts);
    EXPECT_EQ(s.removals, want.removals);
    EXPECT_EQ(s.size, want.size);
    EXPECT_LT(s.lookups, want.lookups);
  }
  if (var.counts == Counts::size_only) { EXPECT_EQ(s, (EngineStats{0, 0, 0, 0, 0, want.size})); }
  // Removing every entry gives back every node and restores emptiness.
  const std::vector<Entry> left = oracle.entries();
  for (const Entry& x : left) {
    IpPrefix p = x.prefix;
    gen.randomise(p, p.length, netrove::family_bits(p.family));
    ASSERT_EQ(e.remove(p), x.record);
  }
  EXPECT_EQ(e.len(), 0u);
  if (var.counts == Counts::all) { EXPECT_EQ(e.stats().removals, removed + left.size()); }
  for (const IpAddress& a : probes) EXPECT_FALSE(e.lookup(a));
  EXPECT_EQ(nodes(e, var.adaptive), empty_nodes);
}

}  // namespace
