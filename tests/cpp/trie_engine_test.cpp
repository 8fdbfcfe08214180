// Trie engines over every node kind: engine operations and counters, the
// two families kept apart, trie shapes, and poisoned locks.
#include <gtest/gtest.h>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "sync/sync.hpp"
#include "trie/trie_engine.hpp"
#include "trie/trie_roots.hpp"
#include "trie_test_util.hpp"

using netrove::EngineStats;
using netrove::LocalEngine;
using netrove::NodeKind;
using netrove::TrieEngine;
using netrove::TrieForm;
using nt::md;
using nt::p4;
using nt::p6;
using nt::v4;
using nt::v6;

namespace {

/// An unsharded engine of node kind k (0-3 uncompressed, 4-7 compressed).
LocalEngine engine_of(int k) {
  return netrove::build_local(0, static_cast<std::uint8_t>(k % 4), k >= 4, std::nullopt);
}

class EveryKind : public ::testing::TestWithParam<int> {
 protected:
  LocalEngine e = engine_of(GetParam());
};

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind, ::testing::Range(0, 8),
                         [](const auto& info) { return "kind" + std::to_string(info.param); });

std::string value_of(const std::optional<netrove::Metadata>& m) { return m ? m->value : "<none>"; }

TEST_P(EveryKind, BuiltWithTheRightKindAndForm) {
  ASSERT_NE(e.trie(), nullptr);
  EXPECT_EQ(static_cast<int>(e.trie()->node_kind()), GetParam());
  EXPECT_EQ(e.tag(), GetParam() >= 4 ? netrove::LocalTag::compressed : netrove::LocalTag::uncompressed);
}

TEST_P(EveryKind, LongestMatchWins) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("/8")).ok());
  ASSERT_TRUE(e.insert(p4(10, 1, 0, 0, 16), md("/16")).ok());
  ASSERT_TRUE(e.insert(p4(192, 168, 0, 0, 16), md("192.168/16")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 2, 3))), "/16");
  EXPECT_EQ(value_of(e.lookup(v4(10, 2, 0, 1))), "/8");
  EXPECT_EQ(value_of(e.lookup(v4(11, 0, 0, 1))), "<none>");
  EXPECT_EQ(value_of(e.lookup(v4(192, 168, 5, 5))), "192.168/16");
  EXPECT_EQ(value_of(e.lookup(v4(172, 16, 0, 1))), "<none>");
  EXPECT_EQ(e.len(), 3u);
}

TEST_P(EveryKind, HostBitsDoNotMakeAnotherEntry) {
  ASSERT_TRUE(e.insert(p4(10, 1, 2, 3, 8), md("a")).ok());
  EXPECT_TRUE(e.contains_prefix(p4(10, 0, 0, 0, 8)));
  EXPECT_TRUE(e.contains_prefix(p4(10, 255, 0, 0, 8)));
  EXPECT_FALSE(e.contains_prefix(p4(10, 0, 0, 0, 9)));
  auto r = e.remove(p4(10, 0, 0, 0, 8));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, "a");
  EXPECT_EQ(e.len(), 0u);
  EXPECT_FALSE(e.lookup(v4(10, 1, 2, 3)));
}

TEST_P(EveryKind, ReinsertReplacesAndCountsOnce) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("old")).ok());
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("new", "k", "v")).ok());
  EXPECT_EQ(e.len(), 1u);
  EXPECT_EQ(*e.lookup(v4(10, 9, 9, 9)), md("new", "k", "v"));
  const EngineStats s = e.stats();
  EXPECT_EQ(s.inserts, 2u);
  EXPECT_EQ(s.size, 1u);
}

TEST_P(EveryKind, RemoveTakesOnlyTheExactEntry) {
  ASSERT_TRUE(e.insert(p4(10, 1, 0, 0, 16), md("/16")).ok());
  // Ends inside the edge, diverges from it, or runs past it: nothing removed.
  EXPECT_FALSE(e.remove(p4(10, 0, 0, 0, 8)));
  EXPECT_FALSE(e.remove(p4(10, 2, 0, 0, 16)));
  EXPECT_FALSE(e.remove(p4(10, 1, 0, 0, 24)));
  EXPECT_EQ(e.stats().removals, 0u);
  EXPECT_EQ(e.len(), 1u);
  auto r = e.remove(p4(10, 1, 0, 0, 16));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->value, "/16");
  EXPECT_FALSE(e.remove(p4(10, 1, 0, 0, 16)));
  EXPECT_FALSE(e.contains_prefix(p4(10, 1, 0, 0, 16)));
  const EngineStats s = e.stats();
  EXPECT_EQ(s.removals, 1u);
  EXPECT_EQ(s.size, 0u);
  // Removed then inserted again: a new entry again.
  ASSERT_TRUE(e.insert(p4(10, 1, 0, 0, 16), md("again")).ok());
  EXPECT_EQ(e.len(), 1u);
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 0, 1))), "again");
}

TEST_P(EveryKind, EveryLookupCountsOnce) {
  EXPECT_FALSE(e.lookup(v4(1, 2, 3, 4)));
  EngineStats s = e.stats();
  EXPECT_EQ(s, (EngineStats{.inserts = 0, .lookups = 1, .hits = 0, .misses = 1, .removals = 0, .size = 0}));
  ASSERT_TRUE(e.insert(p4(1, 0, 0, 0, 8), md("x")).ok());
  EXPECT_TRUE(e.lookup(v4(1, 2, 3, 4)));
  EXPECT_FALSE(e.lookup(v6({0x100})));
  EXPECT_FALSE(e.contains_prefix(p4(2, 0, 0, 0, 8)));  // counts nothing
  s = e.stats();
  EXPECT_EQ(s, (EngineStats{.inserts = 1, .lookups = 3, .hits = 1, .misses = 2, .removals = 0, .size = 1}));
}

TEST_P(EveryKind, ClearKeepsCountersButSize) {
  ASSERT_TRUE(e.insert(p4(0, 0, 0, 0, 0), md("v4 default")).ok());
  ASSERT_TRUE(e.insert(p6({}, 0), md("v6 default")).ok());
  ASSERT_TRUE(e.insert(p6({0x2001, 0xdb8}, 32), md("doc")).ok());
  EXPECT_TRUE(e.lookup(v4(8, 8, 8, 8)));
  ASSERT_TRUE(e.remove(p6({0x2001, 0xdb8}, 32)));
  const EngineStats before = e.stats();
  e.clear();
  EXPECT_EQ(e.len(), 0u);
  for (auto a : {v4(0, 0, 0, 0), v4(8, 8, 8, 8), v4(255, 255, 255, 255), v6({}), v6({0x2001, 0xdb8, 1})})
    EXPECT_FALSE(e.lookup(a));
  EXPECT_FALSE(e.contains_prefix(p4(0, 0, 0, 0, 0)));
  const EngineStats after = e.stats();
  EXPECT_EQ(after.size, 0u);
  EXPECT_EQ(after.inserts, before.inserts);
  EXPECT_EQ(after.removals, before.removals);
  EXPECT_EQ(after.hits, before.hits);
  EXPECT_EQ(after.misses, before.misses + 5);
  // The trie is usable after a clear.
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("after")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 0, 0, 1))), "after");
  EXPECT_EQ(e.len(), 1u);
}

// ---------------------------------------------------------------------------
// Families never mix.

TEST_P(EveryKind, Ipv4PrefixNeverAnswersIpv6Addresses) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("v4")).ok());
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 2, 3))), "v4");
  EXPECT_FALSE(e.lookup(nt::v4_compat(10, 1, 2, 3)));  // ::a01:203
  EXPECT_FALSE(e.lookup(nt::v4_mapped(10, 1, 2, 3)));  // ::ffff:10.1.2.3
  EXPECT_FALSE(e.lookup(v6({0x0a01, 0x0203})));         // a01:203::
}

TEST_P(EveryKind, CompatiblePrefixAndIpv4PrefixCoexist) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("v4")).ok());
  ASSERT_TRUE(e.insert(nt::prefix(nt::v4_compat(10, 0, 0, 0), 104), md("compat")).ok());  // ::a00:0/104
  ASSERT_TRUE(e.insert(nt::prefix(nt::v4_mapped(10, 0, 0, 0), 104), md("mapped")).ok());  // ::ffff:a00:0/104
  EXPECT_EQ(e.len(), 3u);
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 2, 3))), "v4");
  EXPECT_EQ(value_of(e.lookup(nt::v4_compat(10, 1, 2, 3))), "compat");
  EXPECT_EQ(value_of(e.lookup(nt::v4_mapped(10, 1, 2, 3))), "mapped");
  ASSERT_TRUE(e.remove(p4(10, 0, 0, 0, 8)));
  EXPECT_EQ(value_of(e.lookup(nt::v4_compat(10, 1, 2, 3))), "compat");
  EXPECT_FALSE(e.lookup(v4(10, 1, 2, 3)));
  EXPECT_EQ(e.len(), 2u);
}

TEST_P(EveryKind, DefaultRoutesOfBothFamiliesCoexist) {
  ASSERT_TRUE(e.insert(p4(0, 0, 0, 0, 0), md("v4 default")).ok());
  ASSERT_TRUE(e.insert(p6({}, 0), md("v6 default")).ok());
  EXPECT_EQ(e.len(), 2u);
  EXPECT_EQ(value_of(e.lookup(v4(10, 1, 2, 3))), "v4 default");
  EXPECT_EQ(value_of(e.lookup(v4(0, 0, 0, 0))), "v4 default");
  EXPECT_EQ(value_of(e.lookup(v6({0x2001}))), "v6 default");
  EXPECT_EQ(value_of(e.lookup(nt::v4_mapped(10, 1, 2, 3))), "v6 default");
  ASSERT_TRUE(e.remove(p6({}, 0)));
  EXPECT_FALSE(e.lookup(v6({0x2001})));
  EXPECT_EQ(value_of(e.lookup(v4(1, 1, 1, 1))), "v4 default");
}

TEST_P(EveryKind, SameLeadingBitsInBothFamiliesCoexist) {
  ASSERT_TRUE(e.insert(p4(10, 0, 0, 0, 8), md("10/8")).ok());
  ASSERT_TRUE(e.insert(p6({0x0a00}, 8), md("a00::/8")).ok());
  EXPECT_EQ(e.len(), 2u);
  EXPECT_EQ(value_of(e.lookup(v4(10, 9, 9, 9))), "10/8");
  EXPECT_EQ(value_of(e.lookup(v6({0x0a99, 1}))), "a00::/8");
  ASSERT_TRUE(e.remove(p6({0x0a00}, 8)));
  EXPECT_EQ(value_of(e.lookup(v4(10, 9, 9, 9))), "10/8");
  EXPECT_FALSE(e.lookup(v6({0x0a99, 1})));
  EXPECT_EQ(e.len(), 1u);
}

// ---------------------------------------------------------------------------
// Trie shapes.

netrove::EdgeLabel label_of(const nt::IpAddress& a) { return a.bytes; }

class CompressedKind : public ::testing::TestWithParam<int> {
 protected:
  TrieEngine t{static_cast<NodeKind>(GetParam())};
  netrove::NodeRef root6() const { return t.roots()->root_ref(netrove::kIpv6); }
  netrove::NodeRef root4() const { return t.roots()->root_ref(netrove::kIpv4); }
};
INSTANTIATE_TEST_SUITE_P(Kinds, CompressedKind, ::testing::Range(4, 8),
                         [](const auto& info) { return "kind" + std::to_string(info.param); });

TEST_P(CompressedKind, EdgesSplitAsPrefixesArrive) {
  constexpr auto C = TrieForm::compressed;
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb8}, 32), md("/32")).ok());
  // Stored on the root's edge.
  EXPECT_EQ(root6().edge_len(), 32u);
  EXPECT_EQ(root6().edge(), label_of(v6({0x2001, 0xdb8})));
  EXPECT_EQ(value_of(root6().value()), "/32");

  // Descends on bit 32 (0) and hangs a leaf with a 15-bit edge (bits 33..47).
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb8, 1}, 48), md("/48")).ok());
  auto leaf = root6().left();
  ASSERT_TRUE(leaf);
  EXPECT_FALSE(root6().right());
  EXPECT_EQ(leaf->edge_len(), 15u);
  EXPECT_EQ(leaf->edge(), label_of(v6({0x0002})));  // bits 33..47 of ...:0001 -> 000 0000 0000 0001
  EXPECT_EQ(value_of(leaf->value()), "/48");

  // Splits the root edge at bit 16; the entry goes to the shortened root.
  ASSERT_TRUE(t.insert<C>(p6({0x2001}, 16), md("/16")).ok());
  EXPECT_EQ(root6().edge_len(), 16u);
  EXPECT_EQ(root6().edge(), label_of(v6({0x2001})));
  EXPECT_EQ(value_of(root6().value()), "/16");
  auto b = root6().left();  // bit 16 of 0db8 is 0
  ASSERT_TRUE(b);
  EXPECT_FALSE(root6().right());
  EXPECT_EQ(b->edge_len(), 15u);  // bits 17..31
  EXPECT_EQ(value_of(b->value()), "/32");
  EXPECT_EQ(b->prefix(), p6({0x2001, 0xdb8}, 32));
  auto c = b->left();
  ASSERT_TRUE(c);
  EXPECT_EQ(value_of(c->value()), "/48");
  EXPECT_EQ(t.len(), 3u);

  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb8, 1, 5}))), "/48");
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb8, 2}))), "/32");
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb9}))), "/16");
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2002}))), "<none>");
}

TEST_P(CompressedKind, SplitWithANewSiblingLeaf) {
  constexpr auto C = TrieForm::compressed;
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb8}, 32), md("db8")).ok());
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb9}, 32), md("db9")).ok());  // differs at bit 31
  EXPECT_EQ(root6().edge_len(), 31u);
  EXPECT_FALSE(root6().value());
  ASSERT_TRUE(root6().left() && root6().right());
  EXPECT_EQ(root6().left()->edge_len(), 0u);
  EXPECT_EQ(value_of(root6().left()->value()), "db8");
  EXPECT_EQ(value_of(root6().right()->value()), "db9");
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb9, 7}))), "db9");
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb8, 7}))), "db8");
}

TEST_P(CompressedKind, Ipv4KeysStartWith96ZeroBitsInTheirOwnTrie) {
  constexpr auto C = TrieForm::compressed;
  ASSERT_TRUE(t.insert<C>(p4(10, 0, 0, 0, 8), md("v4")).ok());
  EXPECT_EQ(root4().edge_len(), 104u);
  netrove::EdgeLabel want{};
  want[12] = 10;
  EXPECT_EQ(root4().edge(), want);
  EXPECT_EQ(value_of(root4().value()), "v4");
  // The IPv6 trie is untouched.
  EXPECT_EQ(root6().edge_len(), 0u);
  EXPECT_FALSE(root6().value());
  EXPECT_FALSE(root6().left());
}

TEST_P(CompressedKind, RemovesLeaveTheTrieAsIfNeverInserted) {
  constexpr auto C = TrieForm::compressed;
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb8}, 32), md("a")).ok());
  ASSERT_TRUE(t.insert<C>(p6({0x2001}, 16), md("s")).ok());  // splits the root at bit 16
  ASSERT_EQ(root6().edge_len(), 16u);
  // The /16 goes: the root folds into its only child again.
  ASSERT_TRUE(t.remove<C>(p6({0x2001}, 16)));
  EXPECT_EQ(root6().edge_len(), 32u);
  EXPECT_EQ(value_of(root6().value()), "a");
  EXPECT_FALSE(root6().left() || root6().right());
  // The last prefix goes: an empty root, as in a new trie.
  ASSERT_TRUE(t.remove<C>(p6({0x2001, 0xdb8}, 32)));
  EXPECT_EQ(root6().edge_len(), 0u);
  EXPECT_FALSE(root6().value());
  EXPECT_FALSE(t.lookup<C>(v6({0x2001, 0xdb8})));
  ASSERT_TRUE(t.insert<C>(p6({0x2001, 0xdb8}, 32), md("b")).ok());
  EXPECT_EQ(t.len(), 1u);
  EXPECT_EQ(value_of(t.lookup<C>(v6({0x2001, 0xdb8, 1}))), "b");
}

TEST(UncompressedTrie, DefaultRoutesSitAtTheirFamilysRoot) {
  constexpr auto U = TrieForm::uncompressed;
  TrieEngine t(NodeKind::uncompressed_locked);
  ASSERT_TRUE(t.insert<U>(p4(0, 0, 0, 0, 0), md("v4")).ok());
  ASSERT_TRUE(t.insert<U>(p6({}, 0), md("v6")).ok());
  EXPECT_EQ(value_of(t.roots()->root_ref(netrove::kIpv4).value()), "v4");
  EXPECT_EQ(value_of(t.roots()->root_ref(netrove::kIpv6).value()), "v6");
  EXPECT_EQ(t.len(), 2u);
}

TEST(UncompressedTrie, OneNodePerKeyBit) {
  constexpr auto U = TrieForm::uncompressed;
  TrieEngine t(NodeKind::uncompressed_atomic);
  ASSERT_TRUE(t.insert<U>(p4(10, 0, 0, 0, 8), md("10/8")).ok());  // 0000 1010
  netrove::NodeRef n = t.roots()->root_ref(netrove::kIpv4);
  for (int bit : {0, 0, 0, 0, 1, 0, 1, 0}) {
    EXPECT_FALSE(n.value());
    auto next = bit ? n.right() : n.left();
    ASSERT_TRUE(next);
    EXPECT_FALSE(bit ? n.left() : n.right());
    n = *next;
  }
  EXPECT_EQ(value_of(n.value()), "10/8");
  EXPECT_EQ(n.prefix(), p4(10, 0, 0, 0, 8));
  EXPECT_FALSE(n.left());
  EXPECT_FALSE(n.right());
}

// ---------------------------------------------------------------------------
// Engines sharing one trie, and poisoned locks.

TEST(TrieEngineTest, SharingATrieNeedsTheSameKind) {
  TrieEngine a(NodeKind::compressed_atomic);
  EXPECT_THROW(TrieEngine(NodeKind::compressed_locked, a.roots()), netrove::Panic);
  TrieEngine b(NodeKind::compressed_atomic, a.roots());
  ASSERT_TRUE(a.insert<TrieForm::compressed>(p4(1, 0, 0, 0, 8), md("x")).ok());
  EXPECT_EQ(value_of(b.lookup<TrieForm::compressed>(v4(1, 2, 3, 4))), "x");
  EXPECT_EQ(b.len(), 1u);
  EXPECT_EQ(a.stats().lookups, 0u);  // statistics stay per engine
  EXPECT_EQ(b.stats().lookups, 1u);
  EXPECT_EQ(b.stats().inserts, 0u);
}

std::string panic_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const netrove::Panic& p) {
    return p.what();
  }
  return "<no panic>";
}

TEST(PoisonedLocks, GuardReleasedByUnwindingPoisons) {
  netrove::PoisonMutex m;
  EXPECT_EQ(panic_text([&] {
              netrove::PoisonMutex::Guard g(m);
              netrove::panic("inside");
            }),
            "inside");
  EXPECT_TRUE(m.poisoned());
  EXPECT_EQ(panic_text([&] { netrove::PoisonMutex::Guard g(m); }), netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { netrove::PoisonMutex::Guard g(m); }), netrove::kPoisonedMessage);

  netrove::PoisonSharedMutex rw;
  EXPECT_EQ(panic_text([&] {
              netrove::PoisonSharedMutex::ReadGuard g(rw);
              netrove::panic("reader");
            }),
            "reader");
  EXPECT_FALSE(rw.poisoned());  // a reader changes nothing
  EXPECT_EQ(panic_text([&] {
              netrove::PoisonSharedMutex::WriteGuard g(rw);
              netrove::panic("writer");
            }),
            "writer");
  EXPECT_TRUE(rw.poisoned());
  EXPECT_EQ(panic_text([&] { netrove::PoisonSharedMutex::ReadGuard g(rw); }), netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { netrove::PoisonSharedMutex::WriteGuard g(rw); }), netrove::kPoisonedMessage);
}

// The compressed algorithms on an uncompressed node kind reach set_edge and
// panic with the writer lock held: the trie's writer lock stays poisoned.
TEST(PoisonedLocks, PanicInsideAWriterPoisonsTheTrie) {
  constexpr auto C = TrieForm::compressed;
  TrieEngine t(NodeKind::uncompressed_locked);
  TrieEngine other_shard(NodeKind::uncompressed_locked, t.roots());
  EXPECT_EQ(panic_text([&] { (void)t.insert<C>(p4(10, 0, 0, 0, 8), md("x")); }),
            "set_edge called on an uncompressed node");
  EXPECT_EQ(panic_text([&] { (void)t.insert<C>(p4(10, 0, 0, 0, 8), md("x")); }), netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { (void)t.insert<TrieForm::uncompressed>(p4(1, 0, 0, 0, 8), md("x")); }),
            netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { (void)t.remove<TrieForm::uncompressed>(p4(1, 0, 0, 0, 8)); }),
            netrove::kPoisonedMessage);
  EXPECT_EQ(panic_text([&] { t.clear<TrieForm::uncompressed>(); }), netrove::kPoisonedMessage);
  // The lock belongs to the trie, so every engine over it is affected.
  EXPECT_EQ(panic_text([&] { (void)other_shard.insert<TrieForm::uncompressed>(p4(1, 0, 0, 0, 8), md("x")); }),
            netrove::kPoisonedMessage);
  // Lookups never take the writer lock.
  EXPECT_FALSE(t.lookup<TrieForm::uncompressed>(v4(10, 1, 1, 1)));
  EXPECT_FALSE(t.contains_prefix<TrieForm::uncompressed>(p4(10, 0, 0, 0, 8)));
  EXPECT_EQ(t.len(), 0u);
  EXPECT_EQ(t.stats().inserts, 0u);
}

}  // namespace
