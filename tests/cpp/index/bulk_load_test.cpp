// Batch loading: ReadIndex::insert_batch against the brute-force oracle and
// against the same prefixes inserted one by one (the index's shape is a
// function of its prefixes, so both must have the same nodes and bytes),
// and readers beside a running insert_many (a bulk load in many chunks):
// lookups must always answer a record of a covering prefix, never shorter
// than what was there before, and walks of the trie (contains_prefix,
// covered) must always see whole chunks: stored prefixes present, every
// entry its own record, never fewer entries than a walk saw before.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <tuple>

#include "index/read_index.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "support/oracle.hpp"
#include "trie/trie_engine.hpp"

namespace {

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::index::ReadIndex;
namespace trie = netrove::trie;

/// Random prefixes crowded under a few bases of both families, so that
/// batches nest, share nodes and repeat prefixes.
struct Gen {
  std::mt19937_64 rng;
  explicit Gen(std::uint64_t seed) : rng(seed) {}
  std::uint64_t pick(std::uint64_t n) { return rng() % n; }

  IpPrefix prefix() {
    const bool v6 = pick(3) == 0;
    IpAddress a = v6 ? nt::v6({0x2001, 0xdb8}) : nt::v4(10, 0, 0, 0);
    const unsigned base = v6 ? 32 : 8, width = v6 ? 128 : 32;
    // Mostly near the base, some deep: every stride end gets prefixes.
    const unsigned len = pick(8) == 0 ? static_cast<unsigned>(pick(base + 1))
                                      : base + static_cast<unsigned>(pick(std::min(width - base, v6 ? 40u : 24u) + 1));
    for (unsigned i = base; i < width; ++i)
      if (pick(4) == 0) a.bytes[i / 8] ^= static_cast<std::uint8_t>(0x80u >> (i % 8));
    return nt::prefix(a, static_cast<std::uint8_t>(len));
  }
  IpAddress inside(const IpPrefix& p) {
    IpAddress a{p.family, p.network_address()};
    for (unsigned i = p.length; i < netrove::family_bits(p.family); ++i)
      if (pick(2)) a.bytes[i / 8] ^= static_cast<std::uint8_t>(0x80u >> (i % 8));
    return a;
  }
};

trie::Record* record(const std::string& value) { return netrove::RecordRef::intern(nt::md(value)).release(); }

std::string find(const ReadIndex& ix, const IpAddress& a) {
  netrove::rcu::ReadSection rs;
  const trie::Record* r = ix.lookup(a);
  return r ? std::string(netrove::RecordView(*r).value()) : "<none>";
}

TEST(InsertBatch, MatchesOracleAndOneByOneInserts) {
  Gen gen(0xb0b);
  ReadIndex batched, single;
  nt::Oracle oracle;
  std::vector<IpAddress> probes;
  int next = 0;
  for (int round = 0; round < 12; ++round) {
    // Batch sizes from one to several thousand, duplicates included.
    const std::size_t n = round % 3 == 0 ? 1 + gen.pick(4) : 1 + gen.pick(round < 6 ? 300 : 4000);
    std::vector<ReadIndex::BatchItem> items(n);
    std::vector<trie::Record*> held(n);
    for (std::size_t i = 0; i < n; ++i) {
      const IpPrefix p = gen.pick(5) == 0 && i > 0 ? items[gen.pick(i)].prefix : gen.prefix();
      const std::string value = "v" + std::to_string(next++);
      held[i] = record(value);
      items[i] = {p, held[i]};
      oracle.insert(p, nt::md(value));
      probes.push_back(gen.inside(p));
      netrove::rcu::ReadSection rs;
      single.insert(p, held[i]);
    }
    {
      netrove::rcu::ReadSection rs;
      batched.insert_batch(items.data(), n);
    }
    for (trie::Record* r : held) trie::release(r);  // the indexes keep theirs
    // Some removes between batches, so batches also meet pruned paths.
    for (int k = 0; k < 20 && oracle.size() > 0; ++k) {
      const IpPrefix p = oracle.entries()[gen.pick(oracle.size())].prefix;
      netrove::rcu::ReadSection rs;
      ASSERT_TRUE(batched.remove(p));
      ASSERT_TRUE(single.remove(p));
      oracle.remove(p);
    }
    for (unsigned fam = 0; fam < 2; ++fam) {
      const auto b = batched.footprint(fam), s = single.footprint(fam);
      ASSERT_EQ(b.nodes, s.nodes) << "round " << round;
      ASSERT_EQ(b.bytes, s.bytes) << "round " << round;
      ASSERT_EQ(b.prefixes, s.prefixes) << "round " << round;
    }
    ASSERT_EQ(batched.footprint(0).prefixes + batched.footprint(1).prefixes, oracle.size());
    for (int k = 0; k < 400; ++k) {  // a sample: the oracle scans every entry
      const IpAddress& a = probes[gen.pick(probes.size())];
      const auto m = oracle.lookup(a);
      ASSERT_EQ(find(batched, a), m ? m->value : "<none>") << "round " << round;
    }
  }
}

/// Readers beside insert_many, into a table that holds base prefixes and
/// into an empty one.  With the bases, every probe is covered by one before
/// the batch, which adds longer prefixes under them: a reader must always
/// find a record whose prefix (its value) covers the address and is at
/// least as long as the base.  Without, a reader may find nothing, and what
/// it finds must cover the address.  Many chunks, so that the index of each
/// is built on a second thread beside the trie's.
TEST(InsertMany, ReadersSeeCoveringRecordsThroughout) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kBatch = 6000;
#else
  constexpr std::size_t kBatch = 60000;
#endif
  for (const auto& [kind, empty] : {std::pair{5, false}, {4, false}, {5, true}}) {
    SCOPED_TRACE("kind " + std::to_string(kind) + (empty ? ", empty" : ""));
    netrove::LocalEngine e = netrove::build_local(0, static_cast<std::uint8_t>(kind % 4), true, 1);
    const_cast<netrove::TrieEngine*>(e.trie())->set_bulk_chunk(97);  // many chunks, ends anywhere
    const IpPrefix bases[] = {nt::p4(10, 0, 0, 0, 8), nt::p6({0x2001, 0xdb8}, 32)};
    for (const IpPrefix& b : bases) {
      if (!empty) {
        ASSERT_TRUE(e.insert(b, nt::md(std::to_string(b.length))).ok());
      }
    }
    Gen gen(0x5eed + static_cast<std::uint64_t>(kind));
    std::vector<IpPrefix> ps(kBatch);
    std::vector<netrove::Metadata> ms(kBatch);
    std::vector<IpAddress> probes;
    for (std::size_t i = 0; i < kBatch; ++i) {
      do ps[i] = gen.prefix();
      while (ps[i].length < (ps[i].family == netrove::kIpv4 ? 8 : 32));
      // The value names the prefix: its index in ps, or the base's length.
      ms[i] = nt::md("p" + std::to_string(i));
      if (i % 16 == 0) probes.push_back(gen.inside(ps[i]));
    }
    const std::vector<IpPrefix> named = ps;
    std::atomic<bool> done{false};
    std::atomic<std::size_t> wrong{0}, answered{0};
    auto reader = [&] {
      do {
        for (const IpAddress& a : probes) {
          const auto m = e.lookup(a);
          answered.fetch_add(1, std::memory_order_relaxed);
          if (!m) {
            if (!empty) wrong.fetch_add(1);
            continue;
          }
          if (m->value[0] != 'p') continue;  // a base (it covers every probe of its family)
          const IpPrefix& p = named[std::stoul(m->value.substr(1))];
          if (!p.contains(a)) wrong.fetch_add(1);
        }
      } while (!done.load(std::memory_order_acquire));
    };
    // Walks of the trie under one base (the IPv4 one): the base is there,
    // every entry found is a batch prefix with its own record (or the
    // base), in order, and their number never shrinks.
    std::atomic<std::size_t> walks{0};
    auto walker = [&] {
      std::size_t seen = 0;
      do {
        if (!empty && !e.contains_prefix(bases[0])) wrong.fetch_add(1);
        const std::vector<netrove::Entry> found = e.covered(bases[0]);
        if (found.size() < seen) wrong.fetch_add(1);
        seen = found.size();
        for (std::size_t i = 0; i < found.size(); ++i) {
          const std::string v(found[i].record.view().value());
          const IpPrefix want = v[0] == 'p' ? named[std::stoul(v.substr(1))].network() : bases[0].network();
          if (!(found[i].prefix == want)) wrong.fetch_add(1);
          if (i > 0 && std::make_tuple(found[i].prefix.address, found[i].prefix.length) <=
                           std::make_tuple(found[i - 1].prefix.address, found[i - 1].prefix.length))
            wrong.fetch_add(1);
        }
        walks.fetch_add(1, std::memory_order_relaxed);
      } while (!done.load(std::memory_order_acquire));
    };
    std::thread r1(reader), r2(reader), w1(walker);
    std::size_t n_done = 0;
    ASSERT_TRUE(netrove::insert_many(e, ps.data(), ms.data(), kBatch, &n_done).ok());
    done.store(true, std::memory_order_release);
    r1.join();
    r2.join();
    w1.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_GT(answered.load(), 0u);
    EXPECT_GT(walks.load(), 0u);
    // Afterwards: the longest batch prefix covering each probe answers.
    nt::Oracle oracle;
    if (!empty)
      for (const IpPrefix& b : bases) oracle.insert(b, nt::md(std::to_string(b.length)));
    for (std::size_t i = 0; i < kBatch; ++i) oracle.insert(named[i], nt::md("p" + std::to_string(i)));
    EXPECT_EQ(e.len(), oracle.size());
    for (std::size_t k = 0; k < probes.size(); k += 7) {
      const auto want = oracle.lookup(probes[k]);
      const auto got = e.lookup(probes[k]);
      ASSERT_TRUE(want && got);
      ASSERT_EQ(got->value, want->value);
    }
  }
}

}  // namespace
