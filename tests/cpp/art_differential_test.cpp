// Differential test: the adaptive radix tree engines against a brute-force
// longest-prefix oracle, on random nested prefixes of both families with
// host bits set, removals, clears and lookups - including IPv6 addresses in
// ::/96 and ::ffff:0:0/96 and IPv6 prefixes whose leading bytes equal IPv4
// ones; at the end, the entry enumerations against the oracle's list.  Run
// over AdaptiveEngine itself and over engine_type 4 unsharded
// and sharded (shard count derived, 1 and 4).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "art_test_util.hpp"
#include "entry_check.hpp"
#include "art/adaptive_engine.hpp"
#include "engine/factory_internal.hpp"

namespace {

using namespace art_test;
using netrove::Engine;

/// Random keys that share leading bits often: each is a base address with
/// the bits from a random pivot on replaced by random ones.
class KeyGen {
 public:
  explicit KeyGen(std::uint32_t seed) : rng_(seed) {
    const std::vector<std::array<std::uint8_t, 16>> fixed6 = {
        {},                                                         // ::
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 1, 2, 3},    // ::ffff:10.1.2.3
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3},          // ::10.1.2.3
        {0x20, 0x01, 0x0d, 0xb8},                                   // 2001:db8::
        {0xfe, 0x80},                                               // fe80::
        {10, 1, 2, 3},                                              // 0a01:0203:: (IPv4 bytes in front)
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
    };
    bases6_ = fixed6;
    bases4_ = {{10, 1, 2, 3}, {0, 0, 0, 0}, {255, 255, 255, 255}, {192, 168, 0, 1}, {172, 16, 5, 4}};
    for (int i = 0; i < 4; ++i) {
      std::array<std::uint8_t, 16> b{};
      for (auto& x : b) x = byte();
      bases6_.push_back(b);
      bases4_.push_back({b[0], b[1], b[2], b[3]});
    }
  }

  std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }

  /// Bits of `base` kept up to a random pivot, random after it.
  std::array<std::uint8_t, 16> near(std::uint8_t family) {
    const unsigned width = family == kIpv4 ? 32 : 128;
    std::array<std::uint8_t, 16> a{};
    if (family == kIpv4) {
      const auto& b = bases4_[below(static_cast<unsigned>(bases4_.size()))];
      std::copy(b.begin(), b.end(), a.begin());
    } else {
      a = bases6_[below(static_cast<unsigned>(bases6_.size()))];
    }
    // Pivots cluster at the end so that many keys nest deeply.
    const unsigned pivot = below(3) == 0 ? below(width + 1) : width - below(width / 4 + 1);
    for (unsigned bit = pivot; bit < width; ++bit)
      if (below(2)) a[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    return a;
  }

  IpPrefix prefix() {
    IpPrefix p;
    p.family = below(2) == 0 ? kIpv4 : kIpv6;
    const unsigned width = p.family == kIpv4 ? 32 : 128;
    p.address = near(p.family);
    switch (below(4)) {
      case 0: p.length = static_cast<std::uint8_t>(below(width + 1)); break;
      case 1: p.length = static_cast<std::uint8_t>(8 * below(width / 8 + 1)); break;  // byte boundaries
      case 2: p.length = static_cast<std::uint8_t>(below(9)); break;                 // short, incl. /0
      default: p.length = static_cast<std::uint8_t>(width - below(width / 4 + 1)); break;
    }
    return p;
  }

  IpAddress address() {
    IpAddress a;
    a.family = below(2) == 0 ? kIpv4 : kIpv6;
    a.bytes = near(a.family);
    if (a.family == kIpv6 && below(4) == 0) {
      // ::/96 and ::ffff:0:0/96 with random low 32 bits.
      a.bytes = {};
      if (below(2)) a.bytes[10] = a.bytes[11] = 0xff;
      for (unsigned i = 12; i < 16; ++i) a.bytes[i] = byte();
    }
    if (a.family == kIpv4) std::fill(a.bytes.begin() + 4, a.bytes.end(), 0);
    return a;
  }

 private:
  std::mt19937 rng_;
  std::vector<std::array<std::uint8_t, 16>> bases6_;
  std::vector<std::array<std::uint8_t, 4>> bases4_;
};

struct Target {
  const char* name;
  std::function<std::unique_ptr<Engine>()> make;
};

std::vector<Target> targets() {
  return {
      {"AdaptiveEngine", [] { return std::make_unique<netrove::AdaptiveEngine>(); }},
      {"Type4Derived", [] { return std::make_unique<netrove::LocalEngine>(netrove::build_local(4, 0, true, std::nullopt)); }},
      {"Type4Shards1", [] { return std::make_unique<netrove::LocalEngine>(netrove::build_local(4, 0, true, 1)); }},
      {"Type4Shards4", [] { return std::make_unique<netrove::LocalEngine>(netrove::build_local(4, 0, true, 4)); }},
  };
}

class ArtDifferential : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Engines, ArtDifferential, ::testing::Range(0, 4),
                         [](const auto& info) { return std::string(targets()[static_cast<std::size_t>(info.param)].name); });

std::string show(const std::optional<Metadata>& m) { return m ? m->value : "<none>"; }

TEST_P(ArtDifferential, AnswersExactlyLikeTheOracle) {
  const Target t = targets()[static_cast<std::size_t>(GetParam())];
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    KeyGen gen(seed * 7919u + static_cast<std::uint32_t>(GetParam()));
    std::unique_ptr<Engine> e = t.make();
    Oracle oracle;
    std::vector<IpPrefix> inserted;  // prefixes ever inserted, for removals
    std::uint64_t serial = 0;
    std::uint64_t hits = 0, lookups = 0;

    auto check_lookups = [&](int n) {
      for (int i = 0; i < n; ++i) {
        IpAddress a = gen.address();
        // Half the probes aim inside a stored prefix.
        if (i % 2 == 0 && !inserted.empty()) {
          const IpPrefix& p = inserted[gen.below(static_cast<unsigned>(inserted.size()))];
          a.family = p.family;
          a.bytes = p.address;
          const unsigned width = p.family == kIpv4 ? 32 : 128;
          for (unsigned bit = p.length; bit < width; ++bit)
            if (gen.below(2)) a.bytes[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
        const auto want = oracle.lookup(a);
        const auto got = e->lookup(a);
        ++lookups;
        hits += want.has_value();
        ASSERT_EQ(show(got), show(want));
        if (want) {
          ASSERT_EQ(*got, *want);
        }
      }
    };

    for (int op = 0; op < 4000; ++op) {
      const unsigned dice = gen.below(1000);
      if (dice < 600) {
        const IpPrefix p = gen.prefix();
        Metadata m = rec(std::to_string(serial++));
        if (gen.below(3) == 0) m.attributes.emplace("asn", std::to_string(gen.below(65536)));
        oracle.insert(p, m);
        ASSERT_TRUE(e->insert(p, m).ok());
        inserted.push_back(p);
      } else if (dice < 800 && !inserted.empty()) {
        // Remove something inserted before (maybe already gone), written
        // with other host bits.
        IpPrefix p = inserted[gen.below(static_cast<unsigned>(inserted.size()))];
        const unsigned width = p.family == kIpv4 ? 32 : 128;
        for (unsigned bit = p.length; bit < width; ++bit)
          if (gen.below(2)) p.address[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        ASSERT_EQ(show(e->remove(p)), show(oracle.remove(p)));
      } else if (dice < 900) {
        const IpPrefix p = gen.prefix();
        ASSERT_EQ(show(e->remove(p)), show(oracle.remove(p)));
      } else {
        const IpPrefix p = !inserted.empty() && gen.below(2) ? inserted[gen.below(static_cast<unsigned>(inserted.size()))]
                                                            : gen.prefix();
        ASSERT_EQ(e->contains_prefix(p), oracle.contains_prefix(p));
      }
      if (op == 1500) {  // one clear half-way, then the set is rebuilt
        e->clear();
        oracle.clear();
      }
      ASSERT_EQ(e->len(), oracle.size()) << "after op " << op;
      ASSERT_EQ(e->stats().size, oracle.size());
      if (op % 25 == 0) check_lookups(60);
    }
    // Every stored entry is still there and answers for its own address.
    for (const auto& [k, m] : oracle.entries()) {
      const IpPrefix p{std::get<0>(k), std::get<1>(k), std::get<2>(k)};
      ASSERT_TRUE(e->contains_prefix(p));
      const IpAddress a = addr_of(p);
      ASSERT_EQ(show(e->lookup(a)), show(oracle.lookup(a)));
    }
    check_lookups(2000);
    {
      std::vector<netrove::Entry> stored;
      for (const auto& [k, m] : oracle.entries())
        stored.push_back({IpPrefix{std::get<0>(k), std::get<1>(k), std::get<2>(k)}, m});
      std::vector<IpAddress> addresses;
      std::vector<IpPrefix> subnets{IpPrefix{kIpv4, {}, 0}, IpPrefix{kIpv6, {}, 0}};
      for (int i = 0; i < 200; ++i) addresses.push_back(gen.address()), subnets.push_back(gen.prefix());
      for (const auto& [k, m] : oracle.entries())
        if (subnets.size() < 400) subnets.push_back(IpPrefix{std::get<0>(k), std::get<1>(k), std::get<2>(k)});
      const auto* reader = dynamic_cast<const netrove::EntryReader*>(e.get());
      ASSERT_NE(reader, nullptr);
      ASSERT_NO_FATAL_FAILURE(nt::check_enumeration(*reader, std::move(stored), addresses, subnets));
    }
    // The final set really nests: some stored prefix contains another one
    // of its family (the case a plain one-leaf-per-path tree cannot hold).
    std::uint64_t nested = 0;
    for (const auto& [k1, m1] : oracle.entries())
      for (const auto& [k2, m2] : oracle.entries()) {
        const IpPrefix outer{std::get<0>(k1), std::get<1>(k1), std::get<2>(k1)};
        if (std::get<2>(k2) > outer.length && outer.contains(IpAddress{std::get<0>(k2), std::get<1>(k2)})) ++nested;
      }
    EXPECT_GT(nested, oracle.size() / 4);
    EXPECT_GT(oracle.size(), 500u);
    // The probes must have exercised both answers.
    EXPECT_GT(hits, lookups / 10);
    EXPECT_LT(hits, lookups);
  }
}

}  // namespace
