// AdaptiveRadixTree: placement of entries, splits, replacement, removal,
// and the three properties the layout exists for: nested prefixes,
// prefixes ending inside a byte, and families kept apart.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "art_test_util.hpp"
#include "art/prefix_set.hpp"
#include "art/tree.hpp"
#include "sync/panic.hpp"

namespace {

using namespace art_test;

std::string label(unsigned len) {
  std::string s = "L";
  s += std::to_string(len);
  return s;
}
using netrove::art::AdaptiveRadixTree;
using netrove::art::ArtNode;
using netrove::art::as_inner;
using netrove::art::as_leaf;
using netrove::art::find_child;
using netrove::art::is_leaf;
using netrove::art::NodeType;

struct Tree {
  AdaptiveRadixTree t;

  bool insert(const IpPrefix& p, const std::string& value) {
    return t.insert(p.family, p.address.data(), p.length, netrove::RecordRef::intern(rec(value)));
  }
  /// The value found for `a`, or "-" for none.
  std::string search(const IpAddress& a) const {
    const netrove::StoredRecord* m = t.search(a.family, a.bytes.data());
    return m == nullptr ? "-" : std::string(netrove::RecordView(*m).value());
  }
  std::string remove(const IpPrefix& p) {
    auto m = t.remove(p.family, p.address.data(), p.length);
    return m ? std::string(m.view().value()) : "-";
  }
  bool has(const IpPrefix& p) const { return t.find_exact(p.family, p.address.data(), p.length) != nullptr; }
  const ArtNode* root4() const { return t.root(kIpv4); }
};

// ---- Placement and splits --------------------------------------------------

TEST(ArtTree, FirstPrefixHangsAsALeafUnderItsRootByte) {
  Tree tr;
  EXPECT_TRUE(tr.insert(v4p(10, 0, 0, 0, 8), "ten"));
  const ArtNode* root = tr.root4();
  ASSERT_EQ(root->node_type, NodeType::node4);
  EXPECT_EQ(as_inner(root)->num_children, 1);
  const ArtNode* c = find_child(*root, 10);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(is_leaf(c));
  EXPECT_EQ(as_leaf(c)->prefix_len, 8);
  EXPECT_EQ(tr.search(v4(10, 200, 1, 1)), "ten");
  EXPECT_EQ(tr.search(v4(11, 0, 0, 1)), "-");
}

TEST(ArtTree, LeafInTheWaySplitsOneLevelDown) {
  Tree tr;
  tr.insert(v4p(10, 1, 2, 0, 24), "a");
  tr.insert(v4p(10, 2, 0, 0, 16), "b");
  const ArtNode* n1 = find_child(*tr.root4(), 10);
  ASSERT_NE(n1, nullptr);
  ASSERT_EQ(n1->node_type, NodeType::node4);
  const auto* n = static_cast<const netrove::art::Node4*>(n1);
  ASSERT_EQ(n->num_children, 2);
  EXPECT_EQ(n->keys[0], 1);  // the /24 leaf that was in the way
  EXPECT_EQ(n->keys[1], 2);  // the new /16
  EXPECT_EQ(as_leaf(n->children[0])->prefix_len, 24);
  EXPECT_EQ(as_leaf(n->children[1])->prefix_len, 16);
  EXPECT_EQ(tr.search(v4(10, 1, 2, 99)), "a");
  EXPECT_EQ(tr.search(v4(10, 2, 77, 1)), "b");
  EXPECT_EQ(tr.search(v4(10, 3, 0, 0)), "-");
}

TEST(ArtTree, EqualBytesRetryTheSplitDeeper) {
  Tree tr;
  tr.insert(v4p(10, 1, 2, 0, 24), "a");
  tr.insert(v4p(10, 1, 3, 0, 24), "b");
  const ArtNode* d1 = find_child(*tr.root4(), 10);
  ASSERT_FALSE(is_leaf(d1));
  EXPECT_EQ(netrove::art::child_count(*d1), 1u);
  const ArtNode* d2 = find_child(*d1, 1);
  ASSERT_FALSE(is_leaf(d2));
  EXPECT_EQ(netrove::art::child_count(*d2), 2u);
  EXPECT_TRUE(is_leaf(find_child(*d2, 2)));
  EXPECT_TRUE(is_leaf(find_child(*d2, 3)));
  EXPECT_EQ(tr.search(v4(10, 1, 2, 1)), "a");
  EXPECT_EQ(tr.search(v4(10, 1, 3, 255)), "b");
  EXPECT_EQ(tr.search(v4(10, 1, 4, 0)), "-");
}

TEST(ArtTree, SamePrefixTwiceReplacesTheRecord) {
  Tree tr;
  EXPECT_TRUE(tr.insert(v4p(10, 1, 2, 3, 8), "old"));
  EXPECT_FALSE(tr.insert(v4p(10, 0, 0, 0, 8), "new"));  // host bits ignored
  EXPECT_EQ(tr.search(v4(10, 9, 9, 9)), "new");
  EXPECT_EQ(tr.t.census().leaves, 1u);
  // The same inside a prefix set.
  tr.insert(v4p(10, 5, 0, 0, 24), "deep");
  EXPECT_TRUE(tr.insert(v4p(10, 5, 0, 0, 12), "set"));
  EXPECT_FALSE(tr.insert(v4p(10, 15, 1, 1, 12), "set2"));
  EXPECT_EQ(tr.search(v4(10, 0, 1, 1)), "set2");
}

TEST(ArtTree, RemoveNeedsTheExactLength) {
  Tree tr;
  tr.insert(v4p(10, 0, 0, 0, 9), "nine");
  const auto before = tr.t.census();
  EXPECT_EQ(tr.remove(v4p(10, 0, 0, 0, 8)), "-");
  EXPECT_EQ(tr.remove(v4p(10, 0, 0, 0, 10)), "-");
  EXPECT_EQ(tr.t.census().bytes, before.bytes);
  EXPECT_EQ(tr.search(v4(10, 1, 1, 1)), "nine");
  EXPECT_EQ(tr.remove(v4p(10, 127, 0, 0, 9)), "nine");
  EXPECT_EQ(tr.search(v4(10, 1, 1, 1)), "-");
}

TEST(ArtTree, RemovalCollapsesTheNodesItLeavesWithOneEntry) {
  Tree tr;
  tr.insert(v4p(10, 1, 2, 0, 24), "a");
  const auto alone = tr.t.census();
  tr.insert(v4p(10, 1, 3, 0, 24), "b");  // splits twice: Node4s at depths 1 and 2
  ASSERT_FALSE(is_leaf(find_child(*find_child(*tr.root4(), 10), 1)));
  EXPECT_EQ(tr.remove(v4p(10, 1, 3, 0, 24)), "b");
  // Both Node4s are gone: the leaf hangs under the root again.
  const ArtNode* ten = find_child(*tr.root4(), 10);
  ASSERT_TRUE(is_leaf(ten));
  EXPECT_EQ(tr.search(v4(10, 1, 2, 9)), "a");
  EXPECT_EQ(tr.t.census().bytes, alone.bytes);
  // A set entry left alone moves up as well.
  tr.insert(v4p(10, 1, 0, 0, 16), "set");
  tr.insert(v4p(10, 1, 0, 0, 20), "twenty");
  EXPECT_EQ(tr.remove(v4p(10, 1, 2, 0, 24)), "a");
  EXPECT_EQ(tr.remove(v4p(10, 1, 0, 0, 20)), "twenty");
  ASSERT_TRUE(is_leaf(find_child(*tr.root4(), 10)));
  EXPECT_EQ(tr.search(v4(10, 1, 200, 1)), "set");
  EXPECT_EQ(tr.remove(v4p(10, 1, 0, 0, 16)), "set");
  EXPECT_EQ(child_count(*tr.root4()), 0u);
  EXPECT_EQ(tr.t.census().bytes, Tree().t.census().bytes);
}

TEST(ArtTree, ClearLeavesEmptyNode4Roots) {
  Tree tr;
  for (int i = 0; i < 300; ++i) tr.insert(v4p(static_cast<std::uint8_t>(i), 1, 0, 0, 16), "x");
  tr.insert(v6p({0x20, 1}, 16), "six");
  tr.t.clear();
  for (auto fam : {kIpv4, kIpv6}) {
    EXPECT_EQ(tr.t.root(fam)->node_type, NodeType::node4);
    EXPECT_EQ(netrove::art::child_count(*tr.t.root(fam)), 0u);
    EXPECT_EQ(as_inner(tr.t.root(fam))->prefixes, nullptr);
  }
  EXPECT_EQ(tr.search(v4(1, 1, 0, 0)), "-");
  EXPECT_EQ(tr.t.census().leaves, 0u);
}

TEST(ArtTree, BadKeysPanicAndChangeNothing) {
  Tree tr;
  tr.insert(v4p(10, 0, 0, 0, 8), "ten");
  EXPECT_THROW(tr.insert(v4p(10, 0, 0, 0, 33), "bad"), netrove::Panic);
  EXPECT_THROW(tr.insert(v6p({1}, 129), "bad"), netrove::Panic);
  IpPrefix odd = v4p(10, 0, 0, 0, 8);
  odd.family = 7;
  EXPECT_THROW(tr.insert(odd, "bad"), netrove::Panic);
  EXPECT_THROW(tr.remove(odd), netrove::Panic);
  EXPECT_THROW((void)tr.has(odd), netrove::Panic);
  IpAddress a = v4(10, 0, 0, 1);
  a.family = 2;
  EXPECT_THROW(tr.search(a), netrove::Panic);
  EXPECT_EQ(tr.t.census().leaves, 1u);
  EXPECT_EQ(tr.search(v4(10, 0, 0, 1)), "ten");
}

// ---- Nested prefixes ----------------------------------------------------

TEST(ArtTreeNested, EveryContainerAndContainedPrefixIsKeptInAnyOrder) {
  const std::vector<std::pair<IpPrefix, std::string>> chain = {
      {v4p(0, 0, 0, 0, 0), "/0"},       {v4p(10, 0, 0, 0, 7), "/7"},     {v4p(10, 0, 0, 0, 8), "/8"},
      {v4p(10, 1, 0, 0, 16), "/16"},    {v4p(10, 1, 0, 0, 17), "/17"},   {v4p(10, 1, 2, 0, 24), "/24"},
      {v4p(10, 1, 2, 128, 25), "/25"},  {v4p(10, 1, 2, 200, 32), "/32"},
  };
  const std::vector<std::pair<IpAddress, std::string>> probes = {
      {v4(10, 1, 2, 200), "/32"}, {v4(10, 1, 2, 201), "/25"}, {v4(10, 1, 2, 1), "/24"}, {v4(10, 1, 3, 1), "/17"},
      {v4(10, 1, 200, 1), "/16"}, {v4(10, 2, 0, 0), "/8"},    {v4(11, 0, 0, 0), "/7"},  {v4(12, 0, 0, 0), "/0"},
      {v4(255, 255, 255, 255), "/0"},
  };
  std::vector<int> order(chain.size());
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 rng(5);
  for (int round = 0; round < 40; ++round) {
    std::shuffle(order.begin(), order.end(), rng);
    Tree tr;
    for (int i : order) EXPECT_TRUE(tr.insert(chain[i].first, chain[i].second));
    for (const auto& [a, want] : probes) EXPECT_EQ(tr.search(a), want);
    for (const auto& [p, v] : chain) EXPECT_TRUE(tr.has(p)) << v;
    // Removing any one entry exposes exactly the next shorter one.
    const int gone = order[0];
    EXPECT_EQ(tr.remove(chain[gone].first), chain[gone].second);
    for (const auto& [a, want] : probes) {
      std::string expect = want;
      if (want == chain[gone].second) expect = gone == 0 ? "-" : chain[gone - 1].second;
      // /25 falls back to /24, /24 to /17 and so on, skipping nothing.
      if (gone > 0 && want == chain[gone].second) {
        for (int j = gone - 1; j >= 0; --j) {
          IpPrefix p = chain[j].first;
          if (p.contains(a)) {
            expect = chain[j].second;
            break;
          }
        }
      }
      EXPECT_EQ(tr.search(a), expect);
    }
  }
}

TEST(ArtTreeNested, ContainedPrefixInsertedFirstSurvivesItsContainer) {
  Tree tr;
  tr.insert(v4p(10, 1, 0, 0, 16), "inner");
  EXPECT_TRUE(tr.insert(v4p(10, 0, 0, 0, 8), "outer"));  // must not replace the /16
  EXPECT_EQ(tr.search(v4(10, 1, 5, 5)), "inner");
  EXPECT_EQ(tr.search(v4(10, 2, 5, 5)), "outer");
  EXPECT_EQ(tr.remove(v4p(10, 1, 0, 0, 16)), "inner");
  EXPECT_EQ(tr.search(v4(10, 1, 5, 5)), "outer");
}

TEST(ArtTreeNested, ZeroLengthPrefixLivesInTheRootAndMatchesEverything) {
  Tree tr;
  tr.insert(v4p(1, 2, 3, 4, 0), "all");
  EXPECT_NE(as_inner(tr.root4())->prefixes, nullptr);
  std::mt19937 rng(9);
  for (int i = 0; i < 1000; ++i) {
    const IpAddress a = v4(static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
    EXPECT_EQ(tr.search(a), "all");
  }
  EXPECT_TRUE(tr.has(v4p(0, 0, 0, 0, 0)));
  EXPECT_EQ(tr.remove(v4p(9, 9, 9, 9, 0)), "all");
  EXPECT_EQ(as_inner(tr.root4())->prefixes, nullptr);
  EXPECT_EQ(tr.search(v4(1, 2, 3, 4)), "-");
}

TEST(ArtTreeNested, HostRoutesUnderAShortPrefixSplitDownToTheLastByte) {
  Tree tr;
  tr.insert(v4p(192, 168, 1, 1, 32), "h1");
  tr.insert(v4p(192, 168, 1, 2, 32), "h2");
  tr.insert(v4p(192, 168, 1, 0, 31), "p31");
  tr.insert(v4p(192, 168, 1, 0, 24), "p24");
  EXPECT_EQ(tr.search(v4(192, 168, 1, 1)), "h1");
  EXPECT_EQ(tr.search(v4(192, 168, 1, 2)), "h2");
  EXPECT_EQ(tr.search(v4(192, 168, 1, 0)), "p31");
  EXPECT_EQ(tr.search(v4(192, 168, 1, 3)), "p24");
  EXPECT_EQ(tr.search(v4(192, 168, 2, 3)), "-");
}

// ---- Prefixes ending inside a byte ----------------------------------------

TEST(ArtTreeMidByte, TwentyBitPrefixMatchesEveryAddressInsideIt) {
  // Alone (a leaf hanging high), and with neighbours that force a node at
  // the depth where it ends (it then sits in that node's set).
  for (int variant = 0; variant < 3; ++variant) {
    Tree tr;
    if (variant >= 1) tr.insert(v4p(10, 0, 17, 0, 24), "n24");
    tr.insert(v4p(10, 0, 16, 0, 20), "p20");
    if (variant == 2) tr.insert(v4p(10, 0, 200, 0, 24), "m24");
    for (unsigned third = 0; third < 256; ++third) {
      for (std::uint8_t last : {0, 77, 255}) {
        const IpAddress a = v4(10, 0, static_cast<std::uint8_t>(third), last);
        std::string want = third >= 16 && third < 32 ? "p20" : "-";
        if (variant >= 1 && third == 17) want = "n24";
        if (variant == 2 && third == 200) want = "m24";
        ASSERT_EQ(tr.search(a), want) << "variant " << variant << " 10.0." << third << "." << int(last);
      }
    }
    EXPECT_TRUE(tr.has(v4p(10, 0, 31, 9, 20)));
    EXPECT_FALSE(tr.has(v4p(10, 0, 16, 0, 21)));
  }
}

TEST(ArtTreeMidByte, EveryLengthWithinOneByteIsKeptApart) {
  Tree tr;
  tr.insert(v4p(10, 1, 0, 0, 24), "keep-a-node-at-depth-2");
  tr.insert(v4p(10, 2, 0, 0, 24), "and-another");
  // Lengths 16..23 all end inside byte 2 of 10.1.x.x or just before it.
  for (unsigned len = 16; len < 24; ++len) tr.insert(v4p(10, 1, 0xAA, 0, static_cast<std::uint8_t>(len)), label(len));
  for (unsigned third = 0; third < 256; ++third) {
    std::string want = "L16";
    for (unsigned len = 23; len > 16; --len) {
      const unsigned r = len - 16;
      if ((third >> (8 - r)) == (0xAAu >> (8 - r))) {
        want = label(len);
        break;
      }
    }
    if (third == 0) want = "keep-a-node-at-depth-2";
    ASSERT_EQ(tr.search(v4(10, 1, static_cast<std::uint8_t>(third), 5)), want) << third;
  }
}

// ---- Families ----------------------------------------------------------

TEST(ArtTreeFamilies, SameLeadingBytesInBothFamiliesAreTwoEntries) {
  Tree tr;
  EXPECT_TRUE(tr.insert(v4p(10, 0, 0, 0, 8), "v4"));
  EXPECT_TRUE(tr.insert(v6p({10}, 8), "v6"));  // 0a00::/8
  EXPECT_EQ(tr.search(v4(10, 1, 1, 1)), "v4");
  EXPECT_EQ(tr.search(v6({10, 1, 1, 1})), "v6");
  EXPECT_EQ(tr.remove(v6p({10}, 8)), "v6");
  EXPECT_EQ(tr.search(v4(10, 1, 1, 1)), "v4");
  EXPECT_EQ(tr.search(v6({10, 1, 1, 1})), "-");
}

TEST(ArtTreeFamilies, ZeroLengthPrefixMatchesOnlyItsOwnFamily) {
  Tree tr;
  tr.insert(v4p(0, 0, 0, 0, 0), "any4");
  EXPECT_EQ(tr.search(v6({0x20, 1, 0xd, 0xb8})), "-");
  EXPECT_EQ(tr.search(v6({})), "-");  // ::
  tr.insert(v6p({}, 0), "any6");
  EXPECT_EQ(tr.search(v6({0x20, 1})), "any6");
  EXPECT_EQ(tr.search(v4(1, 2, 3, 4)), "any4");
}

TEST(ArtTreeFamilies, MappedAndCompatibleIpv6NeverMatchIpv4Prefixes) {
  Tree tr;
  tr.insert(v4p(1, 2, 3, 0, 24), "v4");
  // ::1.2.3.4 and ::ffff:1.2.3.4 carry the IPv4 bytes at the end only; an
  // IPv6 prefix with the IPv4 bytes in front is a different entry too.
  EXPECT_EQ(tr.search(v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4})), "-");
  EXPECT_EQ(tr.search(v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 2, 3, 4})), "-");
  EXPECT_EQ(tr.search(v6({1, 2, 3, 4})), "-");
  tr.insert(v6p({1, 2, 3}, 24), "v6");
  EXPECT_EQ(tr.search(v6({1, 2, 3, 4})), "v6");
  EXPECT_EQ(tr.search(v4(1, 2, 3, 4)), "v4");
  EXPECT_TRUE(tr.has(v4p(1, 2, 3, 0, 24)));
  EXPECT_TRUE(tr.has(v6p({1, 2, 3}, 24)));
  EXPECT_EQ(tr.t.census().leaves, 2u);
}

}  // namespace
