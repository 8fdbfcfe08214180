// Stress: threads mixing inserts, removes, lookups and batch lookups on one
// engine.
//
// The prefixes are nested and crowded into a few ranges of both families so
// that writers keep splitting edges next to a set of stable prefixes that
// nobody changes.  Every lookup answer must be a record some thread stored,
// for a prefix that covers the address; and since stable prefixes never
// change, the answer may never be shorter than the longest stable prefix
// covering the address, nor a different stable prefix.  Afterwards the
// engine must hold exactly what each prefix's owning thread last did, and
// removing all but the stable prefixes must leave exactly their nodes.
// Readers also walk the entries (covering, all) beside the writers.
// Readers also walk the trie itself (contains_prefix) for stable prefixes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie_test_util.hpp"

using netrove::IpAddress;
using netrove::IpPrefix;
using netrove::LocalEngine;

namespace {

constexpr int kThreads = 4;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultOps = 1500;  // sanitizers slow every operation down ~10x
#else
constexpr int kDefaultOps = 4000;
#endif

/// Operations per thread; NETROVE_STRESS_OPS overrides (longer soak runs).
int ops_per_thread() {
  const char* env = std::getenv("NETROVE_STRESS_OPS");
  return env ? std::atoi(env) : kDefaultOps;
}

struct Universe {
  std::vector<IpPrefix> prefixes;  // distinct networks
  std::vector<int> owner;          // -1 stable, else the writing thread
  std::vector<IpAddress> probes;
  std::vector<int> stable_match;   // per probe: longest stable prefix, or -1

  static Universe make(std::uint64_t seed) {
    Universe u;
    std::mt19937_64 rng(seed);
    auto pick = [&](std::uint64_t n) { return rng() % n; };
    const IpAddress bases[] = {nt::v4(10, 0, 0, 0), nt::v6({0x2001, 0xdb8}), nt::v4_mapped(10, 0, 0, 0),
                               nt::v4_compat(10, 0, 0, 0)};
    const unsigned base_len[] = {8, 32, 104, 104};
    std::set<nt::Oracle::Key> seen;
    while (u.prefixes.size() < 160) {
      const unsigned which = static_cast<unsigned>(pick(4));
      IpPrefix p = nt::prefix(bases[which], 0);
      const unsigned width = netrove::family_bits(p.family);
      // Vary only a few bits below the base so that prefixes nest densely.
      for (unsigned i = base_len[which]; i < width; ++i)
        if (i < base_len[which] + 12 && pick(2)) p.address[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
      p.length = static_cast<std::uint8_t>(base_len[which] + pick(std::min(width - base_len[which], 14u) + 1));
      if (!seen.insert(nt::Oracle::key(p)).second) continue;
      u.prefixes.push_back(p);
      u.owner.push_back(u.prefixes.size() % 3 == 0 ? -1 : static_cast<int>(pick(kThreads)));
    }
    for (int i = 0; i < 3000; ++i) {
      IpPrefix p = u.prefixes[pick(u.prefixes.size())];
      for (unsigned b = p.length; b < netrove::family_bits(p.family); ++b)
        if (pick(2)) p.address[b / 8] ^= static_cast<std::uint8_t>(0x80u >> (b % 8));
      IpAddress a;
      a.family = p.family;
      a.bytes = p.address;
      if (i % 10 == 0) a.bytes[a.family == netrove::kIpv4 ? 0 : 15] ^= 0x40;  // sometimes outside
      u.probes.push_back(a);
      int best = -1;
      for (std::size_t k = 0; k < u.prefixes.size(); ++k)
        if (u.owner[k] < 0 && u.prefixes[k].contains(a) &&
            (best < 0 || u.prefixes[k].length > u.prefixes[best].length))
          best = static_cast<int>(k);
      u.stable_match.push_back(best);
    }
    return u;
  }
};

/// "id/thread/seq"; thread "s" for stable records.
std::string record_value(std::size_t id, int thread, int seq) {
  std::string s = std::to_string(id);
  s += '/';
  s += thread < 0 ? std::string("s") : std::to_string(thread);
  s += '/';
  s += std::to_string(seq);
  return s;
}

/// A fresh prefix nested below a universe prefix, written by thread t only
/// (its length is t modulo kThreads) and never equal to a universe prefix.
/// Its record value spells the prefix: "n/t/<32 hex digits>/<length>".
std::optional<IpPrefix> noise_prefix(const Universe& u, int t, std::mt19937_64& rng) {
  const IpPrefix& base = u.prefixes[rng() % u.prefixes.size()];
  const unsigned width = netrove::family_bits(base.family);
  IpPrefix p = base;
  const unsigned extra = 1 + static_cast<unsigned>(rng() % 16);
  unsigned len = std::min(width, base.length + extra);
  while (len % kThreads != static_cast<unsigned>(t) && len > base.length) --len;
  if (len % kThreads != static_cast<unsigned>(t)) return std::nullopt;
  for (unsigned b = base.length; b < width; ++b)
    if (rng() % 2) p.address[b / 8] ^= static_cast<std::uint8_t>(0x80u >> (b % 8));
  p.length = static_cast<std::uint8_t>(len);
  p = p.network();
  for (const IpPrefix& q : u.prefixes)
    if (q.same_network(p)) return std::nullopt;
  return p;
}

std::string noise_value(const IpPrefix& p, int t) {
  std::string s = "n/" + std::to_string(t) + "/";
  static const char* hex = "0123456789abcdef";
  for (std::uint8_t b : p.address) (s += hex[b >> 4]) += hex[b & 15];
  return s + "/" + std::to_string(p.length) + "/" + std::to_string(p.family);
}

std::optional<IpPrefix> parse_noise(const std::string& v) {
  char hexbuf[33];
  int t, len, fam;
  if (std::sscanf(v.c_str(), "n/%d/%32[0-9a-f]/%d/%d", &t, hexbuf, &len, &fam) != 4) return std::nullopt;
  if (t < 0 || t >= kThreads || len % kThreads != t) return std::nullopt;
  IpPrefix p;
  p.family = static_cast<std::uint8_t>(fam);
  p.length = static_cast<std::uint8_t>(len);
  for (int i = 0; i < 16; ++i) p.address[i] = static_cast<std::uint8_t>(std::stoi(std::string(hexbuf + 2 * i, 2), nullptr, 16));
  return p;
}

/// Why `answer` is not a possible lookup result for probe `i`, or "".
std::string check_answer(const Universe& u, std::size_t i, const std::optional<netrove::Metadata>& answer) {
  const int stable = u.stable_match[i];
  if (!answer) return stable < 0 ? "" : "missed a stable prefix";
  if (answer->value.rfind("n/", 0) == 0) {
    const auto p = parse_noise(answer->value);
    if (!p) return "malformed record " + answer->value;
    if (!p->contains(u.probes[i])) return "record " + answer->value + " of a prefix not covering the address";
    if (stable >= 0 && p->length <= u.prefixes[stable].length)
      return "record " + answer->value + " shorter than the stable match";
    return "";
  }
  std::size_t id;
  char who[16];
  int seq;
  if (std::sscanf(answer->value.c_str(), "%zu/%15[^/]/%d", &id, who, &seq) != 3 || id >= u.prefixes.size())
    return "unknown record " + answer->value;
  const int owner = u.owner[id];
  if (std::string(who) != (owner < 0 ? std::string("s") : std::to_string(owner)))
    return "record " + answer->value + " written by a thread that does not own it";
  if (!u.prefixes[id].contains(u.probes[i])) return "record " + answer->value + " of a prefix not covering the address";
  if (owner < 0 && static_cast<int>(id) != stable) return "stable record " + answer->value + " is not the longest stable one";
  if (owner >= 0 && stable >= 0 && u.prefixes[id].length <= u.prefixes[stable].length)
    return "record " + answer->value + " shorter than the stable match";
  return "";
}

struct Config {
  int kind;
  int shards;
};

class Stress : public ::testing::TestWithParam<Config> {
 protected:
  LocalEngine make() const {
    const Config c = GetParam();
    return netrove::build_local(5, static_cast<std::uint8_t>(c.kind % 4), c.kind >= 4,
                                c.shards ? std::optional<std::uint64_t>(c.shards) : std::optional<std::uint64_t>(1));
  }
};

INSTANTIATE_TEST_SUITE_P(Engines, Stress,
                         ::testing::Values(Config{5, 0}, Config{5, 4}, Config{4, 0}, Config{7, 3}, Config{6, 0},
                                           Config{1, 0}, Config{0, 3}, Config{3, 0}, Config{2, 2}),
                         [](const auto& info) {
                           return "kind" + std::to_string(info.param.kind) +
                                  (info.param.shards ? "_sharded" + std::to_string(info.param.shards) : "");
                         });

TEST_P(Stress, ConcurrentWritersAndReaders) {
  const Universe u = Universe::make(0xabcdef + static_cast<std::uint64_t>(GetParam().kind));
  LocalEngine e = make();
  std::uint64_t initial = 0;
  for (std::size_t k = 0; k < u.prefixes.size(); ++k) {
    if (u.owner[k] >= 0) continue;
    ASSERT_TRUE(e.insert(u.prefixes[k], nt::md(record_value(k, -1, 0))).ok());
    ++initial;
  }
  const std::size_t stable_nodes = nt::live_nodes();
  std::vector<std::size_t> stable;
  for (std::size_t k = 0; k < u.prefixes.size(); ++k)
    if (u.owner[k] < 0) stable.push_back(k);

  struct Result {
    std::uint64_t inserts = 0, removals = 0, lookups = 0;
    std::map<std::size_t, std::optional<std::string>> last;  // owned prefix -> final value
    std::vector<IpPrefix> noise;                             // stored noise prefixes
    std::vector<std::string> errors;
  };
  std::vector<Result> results(kThreads);
  std::atomic<int> ready{0};
  const int ops = ops_per_thread();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Result& r = results[t];
      std::vector<std::size_t> mine;
      for (std::size_t k = 0; k < u.prefixes.size(); ++k)
        if (u.owner[k] == t) mine.push_back(k);
      std::mt19937_64 rng(static_cast<std::uint64_t>(t) * 7919 + 1);
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < ops; ++i) {
        // Threads 0 and 1 mostly write, 2 and 3 mostly read: lookups then
        // keep running while a writer holds the writer lock.
        const std::uint64_t op = t < 2 ? rng() % 20 : (rng() % 100 < 5 ? 4 + rng() % 9 : 19);
        if (op < 3) {
          // A fresh prefix keeps splitting edges beside the stable ones.
          if (auto p = noise_prefix(u, t, rng)) {
            const bool fresh = std::find_if(r.noise.begin(), r.noise.end(), [&](const IpPrefix& q) {
                                 return q.same_network(*p);
                               }) == r.noise.end();
            if (!e.insert(*p, nt::md(noise_value(*p, t))).ok()) r.errors.push_back("insert failed");
            if (fresh) r.noise.push_back(*p);
            ++r.inserts;
          }
          continue;
        }
        if (op == 3 && !r.noise.empty()) {
          const std::size_t k = rng() % r.noise.size();
          if (e.remove(r.noise[k])) ++r.removals;
          else r.errors.push_back("a stored noise prefix was missing");
          r.noise.erase(r.noise.begin() + static_cast<std::ptrdiff_t>(k));
          continue;
        }
        if (op < 9 && !mine.empty()) {
          const std::size_t k = mine[rng() % mine.size()];
          const std::string v = record_value(k, t, i);
          if (!e.insert(u.prefixes[k], nt::md(v)).ok()) r.errors.push_back("insert failed");
          r.last[k] = v;
          ++r.inserts;
        } else if (op < 13 && !mine.empty()) {
          const std::size_t k = mine[rng() % mine.size()];
          const auto got = e.remove(u.prefixes[k]);
          const auto it = r.last.find(k);
          const std::optional<std::string> expect = it == r.last.end() ? std::nullopt : it->second;
          if ((got ? std::optional<std::string>(got->value) : std::nullopt) != expect)
            r.errors.push_back("remove of " + std::to_string(k) + " returned the wrong record");
          if (got) ++r.removals;
          r.last[k] = std::nullopt;
        } else if (op == 19 && i % 4 == 0) {
          // A batch of probes, each answer held past the batch's read sections.
          constexpr std::size_t kBatch = 8;
          std::size_t which[kBatch];
          IpAddress batch[kBatch];
          for (std::size_t j = 0; j < kBatch; ++j) batch[j] = u.probes[which[j] = rng() % u.probes.size()];
          netrove::HeldRecord held[kBatch];
          netrove::lookup_many(e, batch, kBatch, held);
          for (std::size_t j = 0; j < kBatch; ++j) {
            const auto answer = held[j] ? std::optional<netrove::Metadata>(held[j].view().to_metadata()) : std::nullopt;
            const std::string why = check_answer(u, which[j], answer);
            if (!why.empty() && r.errors.size() < 10) r.errors.push_back("batch probe: " + why);
          }
          r.lookups += kBatch;
        } else if (t >= 2 && i % 64 == 0) {
          // The entry walks beside the writers: the longest covering entry
          // is a possible lookup answer, and every stable prefix is listed.
          const std::size_t p = rng() % u.probes.size();
          const auto found = e.covering(u.probes[p], 1);
          const std::string why =
              check_answer(u, p, found.empty() ? std::nullopt : std::optional<netrove::Metadata>(found[0].record));
          if (!why.empty() && r.errors.size() < 10) r.errors.push_back("covering " + std::to_string(p) + ": " + why);
          const auto all = e.all();
          const auto stable = std::count_if(all.begin(), all.end(), [](const netrove::Entry& x) {
            return x.record.value.find("/s/") != std::string::npos;
          });
          if (static_cast<std::uint64_t>(stable) != initial) r.errors.push_back("all() lost a stable prefix");
        } else {
          // Trie walks beside the writers' in-place splits: stable prefixes stay.
          if (i % 2 == 0 && !stable.empty() && !e.contains_prefix(u.prefixes[stable[rng() % stable.size()]]))
            r.errors.push_back("contains_prefix missed a stable prefix");
          const std::size_t p = rng() % u.probes.size();
          const std::string why = check_answer(u, p, e.lookup(u.probes[p]));
          if (!why.empty() && r.errors.size() < 10) r.errors.push_back("probe " + std::to_string(p) + ": " + why);
          ++r.lookups;
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  netrove::EngineStats want;
  want.inserts = initial;
  nt::Oracle oracle;
  for (std::size_t k = 0; k < u.prefixes.size(); ++k)
    if (u.owner[k] < 0) oracle.insert(u.prefixes[k], nt::md(record_value(k, -1, 0)));
  for (const Result& r : results) {
    for (const std::string& err : r.errors) ADD_FAILURE() << err;
    want.inserts += r.inserts;
    want.removals += r.removals;
    want.lookups += r.lookups;
    for (const auto& [k, v] : r.last)
      if (v) oracle.insert(u.prefixes[k], nt::md(*v));
    for (const IpPrefix& p : r.noise) oracle.insert(p, nt::md(noise_value(p, static_cast<int>(&r - results.data()))));
  }

  // Contents equal the oracle of the writes.
  EXPECT_EQ(e.len(), oracle.size());
  for (std::size_t k = 0; k < u.prefixes.size(); ++k)
    EXPECT_EQ(e.contains_prefix(u.prefixes[k]), oracle.contains(u.prefixes[k])) << "prefix " << k;
  for (const IpAddress& a : u.probes) {
    const auto expect = oracle.lookup(a);
    const auto got = e.lookup(a);
    EXPECT_EQ(got ? got->value : "<none>", expect ? expect->value : "<none>");
    ++want.lookups;
  }
  const netrove::EngineStats s = e.stats();
  EXPECT_EQ(s.inserts, want.inserts);
  EXPECT_EQ(s.removals, want.removals);
  EXPECT_EQ(s.lookups, want.lookups);
  EXPECT_EQ(s.hits + s.misses, s.lookups);
  EXPECT_EQ(s.size, oracle.size());

  // The merges and unlinks of the concurrent removes leaked nothing: with
  // all but the stable prefixes removed, exactly their nodes are left.
  for (const auto& [key, entry] : oracle.entries()) {
    if (entry.record.value.rfind("/s/") == std::string::npos) {
      EXPECT_TRUE(e.remove(entry.prefix));
    }
  }
  EXPECT_EQ(e.len(), initial);
  EXPECT_EQ(nt::live_nodes(), stable_nodes);
}

// Clears racing lookups: answers stay well-formed and covering, and the
// engine ends empty or full as its writer last left it.
TEST_P(Stress, ClearRacesLookups) {
  const Universe u = Universe::make(0x1234 + static_cast<std::uint64_t>(GetParam().kind));
  LocalEngine e = make();
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kThreads - 1; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t) + 99);
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t p = rng() % u.probes.size();
        const auto got = e.lookup(u.probes[p]);
        if (!got) continue;
        std::size_t id;
        if (std::sscanf(got->value.c_str(), "%zu", &id) != 1 || id >= u.prefixes.size() ||
            !u.prefixes[id].contains(u.probes[p]))
          ++bad;
      }
    });
  }
  const int rounds = std::max(2, ops_per_thread() / 300);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < u.prefixes.size(); ++k)
      ASSERT_TRUE(e.insert(u.prefixes[k], nt::md(record_value(k, -1, round))).ok());
    EXPECT_EQ(e.len(), u.prefixes.size());
    if (round + 1 < rounds) e.clear();
  }
  stop = true;
  for (auto& th : readers) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(e.len(), u.prefixes.size());
  EXPECT_EQ(e.stats().size, u.prefixes.size());
  e.clear();
  EXPECT_EQ(e.len(), 0u);
  for (const IpAddress& a : u.probes) EXPECT_FALSE(e.lookup(a));
}

}  // namespace
