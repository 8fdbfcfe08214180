// Node level of the adaptive radix tree: growth and shrink points, slot
// disciplines, the 8-bit child count, leaves, prefix sets, and the three
// Node16 search paths (every node test runs once per path the processor
// supports, with that path forced).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <array>
#include <numeric>
#include <random>
#include <vector>

#include "art/node16_paths.hpp"
#include "art_test_util.hpp"
#include "art/node.hpp"
#include "art/node16_simd.hpp"
#include "art/prefix_set.hpp"
#include "sync/panic.hpp"

namespace {

using namespace netrove::art;

/// A leaf whose key byte 0 names the byte it was added under, so a found
/// child can be checked against the byte that found it.
Leaf* tagged_leaf(std::uint8_t byte) {
  const std::uint8_t addr[4] = {byte, 0, 0, 0};
  return make_leaf(addr, 4, 32, netrove::RecordRef::intern(art_test::rec(std::to_string(byte))));
}

std::uint8_t tag_of(const ArtNode* child) { return as_leaf(child)->key[0]; }

/// Owns a node under test and releases it with its children.
struct Owned {
  ArtNode* node = new_node4();
  ~Owned() { release(node); }
  void add(std::uint8_t b) { node = add_child(node, b, tagged_leaf(b)); }
  void remove(std::uint8_t b) {
    ArtNode* child = find_child(*node, b);
    ASSERT_NE(child, nullptr);
    node = remove_child(node, b);
    free_leaf(as_leaf(child));
  }
  NodeType type() const { return node->node_type; }
  unsigned recorded() const { return as_inner(node)->num_children; }
};

/// Every byte in `present` leads to its own leaf; every other byte to none.
void expect_children(const ArtNode* node, const std::vector<std::uint8_t>& present) {
  std::array<bool, 256> in{};
  for (auto b : present) in[b] = true;
  for (unsigned b = 0; b < 256; ++b) {
    const ArtNode* c = find_child(*node, static_cast<std::uint8_t>(b));
    if (in[b]) {
      ASSERT_NE(c, nullptr) << "byte " << b;
      EXPECT_EQ(tag_of(c), b);
    } else {
      EXPECT_EQ(c, nullptr) << "byte " << b;
    }
  }
  EXPECT_EQ(child_count(*node), present.size());
}

std::vector<std::uint8_t> shuffled_bytes(unsigned n, unsigned seed) {
  std::vector<std::uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  std::mt19937 rng(seed);
  std::shuffle(all.begin(), all.end(), rng);
  all.resize(n);
  return all;
}

class NodePaths : public ::testing::TestWithParam<Node16Path> {
 protected:
  void SetUp() override {
    if (!node16_path_supported(GetParam())) GTEST_SKIP() << node16_path_name(GetParam()) << " not supported";
    saved_ = active_node16_path();
    force_node16_path(GetParam());
    ASSERT_EQ(active_node16_path(), GetParam());
  }
  void TearDown() override {
    if (node16_path_supported(GetParam())) force_node16_path(saved_);
  }
  Node16Path saved_ = Node16Path::scalar;
};

INSTANTIATE_TEST_SUITE_P(AllPaths, NodePaths,
                         ::testing::Values(Node16Path::avx2, Node16Path::sse41, Node16Path::scalar),
                         [](const auto& info) { return std::string(info.param == Node16Path::sse41 ? "sse41" : node16_path_name(info.param)); });

TEST_P(NodePaths, GrowsAtTheFifthSeventeenthAndFortyFifthChild) {
  for (unsigned seed = 0; seed < 4; ++seed) {
    Owned o;
    const auto bytes = shuffled_bytes(256, seed);
    std::vector<std::uint8_t> added;
    for (unsigned i = 0; i < 256; ++i) {
      o.add(bytes[i]);
      added.push_back(bytes[i]);
      const unsigned n = i + 1;
      const NodeType want = n <= 4 ? NodeType::node4 : n <= 16 ? NodeType::node16 : n <= 44 ? NodeType::node48 : NodeType::node256;
      ASSERT_EQ(o.type(), want) << "after " << n << " children";
      ASSERT_EQ(o.recorded(), n % 256) << "after " << n << " children";
      if (n == 4 || n == 5 || n == 16 || n == 17 || n == 44 || n == 45 || n == 100 || n == 256)
        expect_children(o.node, added);
    }
  }
}

TEST_P(NodePaths, SlotsFollowInsertionOrderInNode4AndNode16) {
  Owned o;
  const std::vector<std::uint8_t> order = {200, 3, 77, 9, 150, 1};
  for (auto b : order) o.add(b);
  ASSERT_EQ(o.type(), NodeType::node16);
  auto* n = static_cast<Node16*>(o.node);
  for (unsigned i = 0; i < order.size(); ++i) {
    EXPECT_EQ(n->keys[i], order[i]);
    EXPECT_EQ(tag_of(n->children[i]), order[i]);
  }
  // The conversion zeroed the slots past the copied ones.
  for (unsigned i = order.size(); i < 16; ++i) EXPECT_EQ(n->children[i], nullptr);
}

TEST_P(NodePaths, Node16OfFourShrinksToNode4OfThreeInSlotOrder) {
  Owned o;
  for (std::uint8_t b : {40, 10, 30, 20, 50}) o.add(b);
  ASSERT_EQ(o.type(), NodeType::node16);
  o.remove(50);  // 4 left: still a Node16
  EXPECT_EQ(o.type(), NodeType::node16);
  EXPECT_EQ(o.recorded(), 4u);
  o.remove(10);  // 3 left: Node4
  ASSERT_EQ(o.type(), NodeType::node4);
  auto* n = static_cast<Node4*>(o.node);
  EXPECT_EQ(n->keys[0], 40);
  EXPECT_EQ(n->keys[1], 30);
  EXPECT_EQ(n->keys[2], 20);
  expect_children(o.node, {40, 30, 20});
}

TEST_P(NodePaths, Node48ShrinksToSortedNode16AtTwelve) {
  Owned o;
  const auto bytes = shuffled_bytes(18, 7);
  for (auto b : bytes) o.add(b);
  ASSERT_EQ(o.type(), NodeType::node48);
  for (unsigned i = 0; i < 5; ++i) o.remove(bytes[i]);  // 13 left: still a Node48
  EXPECT_EQ(o.type(), NodeType::node48);
  o.remove(bytes[5]);  // 12 left
  ASSERT_EQ(o.type(), NodeType::node16);
  EXPECT_EQ(o.recorded(), 12u);
  auto* n = static_cast<Node16*>(o.node);
  EXPECT_TRUE(std::is_sorted(n->keys, n->keys + 12));
  expect_children(o.node, std::vector<std::uint8_t>(bytes.begin() + 6, bytes.end()));
}

TEST_P(NodePaths, Node256ShrinksToNode48InByteOrderAtThirtySix) {
  Owned o;
  const auto bytes = shuffled_bytes(50, 11);
  for (auto b : bytes) o.add(b);
  ASSERT_EQ(o.type(), NodeType::node256);
  for (unsigned i = 0; i < 13; ++i) o.remove(bytes[i]);  // 37 left: still a Node256
  EXPECT_EQ(o.type(), NodeType::node256);
  EXPECT_EQ(o.recorded(), 37u);
  o.remove(bytes[13]);  // 36 left
  ASSERT_EQ(o.type(), NodeType::node48);
  EXPECT_EQ(o.recorded(), 36u);
  auto* n = static_cast<Node48*>(o.node);
  std::vector<std::uint8_t> rest(bytes.begin() + 14, bytes.end());
  std::sort(rest.begin(), rest.end());
  for (unsigned s = 0; s < 36; ++s) {
    EXPECT_EQ(n->child_index[rest[s]], s);
    EXPECT_EQ(tag_of(n->children[s]), rest[s]);
  }
  expect_children(o.node, rest);
}

// A child flapping at a grow point changes the node's kind once, not on
// every add and remove: the node object stays the same.
TEST_P(NodePaths, AChildFlappingAtAGrowPointRebuildsTheNodeOnce) {
  for (const unsigned grow_at : {5u, 17u, 45u}) {
    Owned o;
    const auto bytes = shuffled_bytes(grow_at, grow_at);
    for (auto b : bytes) o.add(b);
    const ArtNode* grown = o.node;
    const NodeType kind = o.type();
    for (int i = 0; i < 10; ++i) {
      o.remove(bytes.back());
      o.add(bytes.back());
      ASSERT_EQ(o.node, grown) << "grow point " << grow_at;
      ASSERT_EQ(o.type(), kind);
    }
    expect_children(o.node, bytes);
  }
}

TEST_P(NodePaths, Node48ReusesAFreedSlotAndKeepsEveryLiveChild) {
  Owned o;
  auto bytes = shuffled_bytes(30, 3);
  for (unsigned i = 0; i < 25; ++i) o.add(bytes[i]);
  ASSERT_EQ(o.type(), NodeType::node48);
  auto* n = static_cast<Node48*>(o.node);
  const unsigned freed = n->child_index[bytes[7]];
  o.remove(bytes[7]);
  EXPECT_EQ(n->child_index[bytes[7]], kNode48Empty);
  EXPECT_EQ(n->children[freed], nullptr);
  o.add(bytes[25]);
  ASSERT_EQ(o.node, n);  // same kind, changed in place
  EXPECT_EQ(n->child_index[bytes[25]], freed);
  std::vector<std::uint8_t> live(bytes.begin(), bytes.begin() + 26);
  live.erase(live.begin() + 7);
  expect_children(o.node, live);
}

TEST_P(NodePaths, FullNode256RecordsZeroAndOneRemovalRecords255) {
  Owned o;
  for (unsigned b = 0; b < 256; ++b) o.add(static_cast<std::uint8_t>(b));
  ASSERT_EQ(o.type(), NodeType::node256);
  EXPECT_EQ(o.recorded(), 0u);
  EXPECT_EQ(child_count(*o.node), 256u);
  o.remove(128);
  EXPECT_EQ(o.type(), NodeType::node256);
  EXPECT_EQ(o.recorded(), 255u);
  std::vector<std::uint8_t> rest;
  for (unsigned b = 0; b < 256; ++b)
    if (b != 128) rest.push_back(static_cast<std::uint8_t>(b));
  expect_children(o.node, rest);
  o.add(128);
  EXPECT_EQ(o.recorded(), 0u);
}

TEST_P(NodePaths, Node4LosingItsLastChildStaysAnEmptyNode4) {
  Owned o;
  o.add(9);
  o.remove(9);
  EXPECT_EQ(o.type(), NodeType::node4);
  EXPECT_EQ(o.recorded(), 0u);
  EXPECT_EQ(find_child(*o.node, 9), nullptr);  // stale slot 0 still holds 9
  EXPECT_EQ(static_cast<Node4*>(o.node)->keys[0], 9);
  o.add(12);
  expect_children(o.node, {12});
}

TEST_P(NodePaths, RemovingAnAbsentByteChangesNothing) {
  for (unsigned n : {3u, 10u, 30u, 60u}) {
    Owned o;
    const auto bytes = shuffled_bytes(n + 1, n);
    for (unsigned i = 0; i < n; ++i) o.add(bytes[i]);
    const ArtNode* before = o.node;
    const NodeType type = o.type();
    o.node = remove_child(o.node, bytes[n]);
    EXPECT_EQ(o.node, before);
    EXPECT_EQ(o.type(), type);
    expect_children(o.node, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + n));
  }
}

TEST_P(NodePaths, Node16FindsTheLowestMatchingSlot) {
  Owned o;
  for (std::uint8_t b = 1; b <= 10; ++b) o.add(b);
  ASSERT_EQ(o.type(), NodeType::node16);
  auto* n = static_cast<Node16*>(o.node);
  n->keys[7] = 3;  // slot 2 and slot 7 both hold byte 3
  EXPECT_EQ(find_child(*n, 3), n->children[2]);
  n->keys[7] = 8;
  n->keys[1] = 9;  // now slot 1 and slot 8 hold byte 9
  EXPECT_EQ(find_child(*n, 9), n->children[1]);
  n->keys[1] = 2;
}

TEST_P(NodePaths, Node16NeverFindsSlotsPastNumChildren) {
  Owned o;
  for (std::uint8_t b = 1; b <= 6; ++b) o.add(b);
  auto* n = static_cast<Node16*>(o.node);
  ASSERT_EQ(n->node_type, NodeType::node16);
  // A byte present only beyond num_children.
  n->keys[11] = 0xEE;
  EXPECT_EQ(find_child(*n, 0xEE), nullptr);
  // A removed child's byte lingers in the vacated slot.
  o.remove(6);
  EXPECT_EQ(n->keys[5], 6);
  EXPECT_EQ(find_child(*n, 6), nullptr);
  // num_children 0 finds nothing whatever the keys hold.
  const std::uint8_t saved = n->num_children;
  n->num_children = 0;
  for (unsigned b = 0; b < 256; ++b) EXPECT_EQ(find_child(*n, static_cast<std::uint8_t>(b)), nullptr);
  n->num_children = saved;
}

TEST_P(NodePaths, ReplaceChildOverwritesInPlaceForEveryKind) {
  for (unsigned n : {3u, 12u, 30u, 100u}) {
    Owned o;
    const auto bytes = shuffled_bytes(n + 1, n);
    for (unsigned i = 0; i < n; ++i) o.add(bytes[i]);
    ArtNode* old = find_child(*o.node, bytes[n / 2]);
    Leaf* fresh = tagged_leaf(bytes[n / 2]);
    replace_child(*o.node, bytes[n / 2], fresh);
    EXPECT_EQ(find_child(*o.node, bytes[n / 2]), fresh);
    free_leaf(as_leaf(old));
    // An absent byte is left absent (Node256 stores by byte, so skip it).
    if (o.type() != NodeType::node256) {
      replace_child(*o.node, bytes[n], fresh);
      EXPECT_EQ(find_child(*o.node, bytes[n]), nullptr);
    }
  }
}

TEST_P(NodePaths, PrefixSetTravelsWithTheNodeThroughEveryConversion) {
  Owned o;
  const std::uint8_t a[4] = {0, 0, 0, 0};
  auto* h = as_inner(o.node);
  h->prefixes = prefix_set_add(h->prefixes, 1, make_leaf(a, 4, 0, netrove::RecordRef::intern(netrove::Metadata{})));
  PrefixSet* set = h->prefixes;
  const auto bytes = shuffled_bytes(256, 9);
  for (auto b : bytes) {
    o.add(b);
    ASSERT_EQ(as_inner(o.node)->prefixes, set);
  }
  for (unsigned i = 0; i < 253; ++i) {
    o.remove(bytes[i]);
    ASSERT_EQ(as_inner(o.node)->prefixes, set);
  }
  EXPECT_EQ(o.type(), NodeType::node4);
}

TEST_P(NodePaths, RandomAddsAndRemovesMatchASetOfBytes) {
  std::mt19937 rng(42);
  Owned o;
  std::array<bool, 256> in{};
  std::vector<std::uint8_t> live;
  unsigned count = 0;
  std::array<unsigned, 4> seen{};
  for (int step = 0; step < 40000; ++step) {
    const auto b = static_cast<std::uint8_t>(rng());
    // Drift between small and large populations so every kind is visited.
    const unsigned target = (step / 4000) % 2 == 0 ? 200 : 10;
    const bool grow = count < target ? rng() % 4 != 0 : rng() % 4 == 0;
    if (!in[b] && grow) {
      o.add(b);
      in[b] = true;
      ++count;
    } else if (in[b] && !grow) {
      o.remove(b);
      in[b] = false;
      --count;
    }
    ++seen[static_cast<unsigned>(o.type())];
    if (step % 97 == 0) {
      live.clear();
      for (unsigned x = 0; x < 256; ++x)
        if (in[x]) live.push_back(static_cast<std::uint8_t>(x));
      expect_children(o.node, live);
      const unsigned n = static_cast<unsigned>(live.size());
      const NodeType t = o.type();
      // The kind always has room for the count, and the count is above the
      // kind's shrink point.
      EXPECT_TRUE((t == NodeType::node4 && n <= 4) || (t == NodeType::node16 && n >= 4 && n <= 16) ||
                  (t == NodeType::node48 && n >= 13 && n <= 44) || (t == NodeType::node256 && n >= 37))
          << "kind " << static_cast<int>(t) << " with " << n;
    }
  }
  for (unsigned k = 0; k < 4; ++k) EXPECT_GT(seen[k], 0u) << "kind " << k << " never visited";
}

// ---- The three search paths against each other --------------------------

TEST(Node16Search, DetectionPicksTheBestSupportedPath) {
  const Node16Path best = detect_node16_path();
  if (node16_path_supported(Node16Path::avx2)) EXPECT_EQ(best, Node16Path::avx2);
  else if (node16_path_supported(Node16Path::sse41)) EXPECT_EQ(best, Node16Path::sse41);
  else EXPECT_EQ(best, Node16Path::scalar);
  EXPECT_TRUE(node16_path_supported(Node16Path::scalar));
  EXPECT_EQ(detect_node16_path(), best);  // cached
}

TEST(Node16Search, EveryPathAgreesWithTheReferenceOnRandomNodes) {
  std::mt19937 rng(1234);
  const Node16SearchFn paths[] = {node16_search_fn(Node16Path::avx2), node16_search_fn(Node16Path::sse41),
                                  node16_search_fn(Node16Path::scalar)};
  const bool ok[] = {node16_path_supported(Node16Path::avx2), node16_path_supported(Node16Path::sse41), true};
  for (int round = 0; round < 200000; ++round) {
    alignas(16) std::uint8_t keys[16];
    // Small alphabets make duplicates and hits common.
    const unsigned alphabet = 1u + rng() % 40u;
    for (auto& k : keys) k = static_cast<std::uint8_t>(rng() % alphabet);
    const unsigned n = rng() % 17u;
    const auto byte = static_cast<std::uint8_t>(rng() % (alphabet + 1));
    int want = -1;
    for (unsigned i = 0; i < n; ++i)
      if (keys[i] == byte) {
        want = static_cast<int>(i);
        break;
      }
    for (int p = 0; p < 3; ++p) {
      if (!ok[p]) continue;
      ASSERT_EQ(paths[p](keys, n, byte), want) << "path " << p << " n " << n << " byte " << int(byte);
    }
  }
}

// ---- Leaves ----------------------------------------------------------------

TEST(Leaf, MakeLeafMasksTheKeyToThePrefix) {
  const std::uint8_t a[4] = {10, 1, 2, 3};
  Leaf* l = make_leaf(a, 4, 20, netrove::RecordRef::intern(art_test::rec("x")));
  const std::uint8_t want[16] = {10, 1, 0};
  EXPECT_EQ(std::memcmp(l->key, want, 16), 0);
  EXPECT_EQ(l->prefix_len, 20);
  EXPECT_EQ(l->value.view().value(), "x");
  free_leaf(l);

  Leaf* z = make_leaf(a, 4, 0, netrove::RecordRef{});
  const std::uint8_t zero[16] = {};
  EXPECT_EQ(std::memcmp(z->key, zero, 16), 0);
  free_leaf(z);

  const std::uint8_t b[16] = {0x20, 0x01, 0x0d, 0xb8, 0xff, 0xff, 0xff, 0xff, 9, 9, 9, 9, 9, 9, 9, 9};
  Leaf* six = make_leaf(b, 16, 36, netrove::RecordRef{});
  const std::uint8_t want6[16] = {0x20, 0x01, 0x0d, 0xb8, 0xf0};
  EXPECT_EQ(std::memcmp(six->key, want6, 16), 0);
  free_leaf(six);
}

TEST(Leaf, LeafMatchesUsesOnlyThePrefixBits) {
  const std::uint8_t a[4] = {10, 1, 2, 3};
  Leaf* all = make_leaf(a, 4, 0, netrove::RecordRef{});
  Leaf* host = make_leaf(a, 4, 32, netrove::RecordRef{});
  Leaf* mid = make_leaf(a, 4, 20, netrove::RecordRef{});  // 10.1.0.0/20: 10.1.0.0 .. 10.1.15.255
  std::mt19937 rng(8);
  for (int i = 0; i < 10000; ++i) {
    std::uint8_t x[4] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                         static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
    if (i % 3 == 0) x[0] = 10, x[1] = 1;
    EXPECT_TRUE(leaf_matches(*all, x, 4));
    EXPECT_EQ(leaf_matches(*host, x, 4), std::memcmp(x, a, 4) == 0);
    EXPECT_EQ(leaf_matches(*mid, x, 4), x[0] == 10 && x[1] == 1 && x[2] < 16);
  }
  EXPECT_TRUE(leaf_matches(*host, a, 4));
  free_leaf(all);
  free_leaf(host);
  free_leaf(mid);
}

// ---- Prefix sets -------------------------------------------------------

TEST(PrefixSet, PositionsFormAHeapOverTheByte) {
  EXPECT_EQ(prefix_position(0, 0xAB), 1u);
  EXPECT_EQ(prefix_position(1, 0x00), 2u);
  EXPECT_EQ(prefix_position(1, 0x80), 3u);
  EXPECT_EQ(prefix_position(4, 0x10), 16u + 1u);
  EXPECT_EQ(prefix_position(7, 0xFF), 255u);
  // The positions covering one byte are each other's heap parents.
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned r = 1; r < 8; ++r)
      EXPECT_EQ(prefix_position(r, static_cast<std::uint8_t>(b)) / 2, prefix_position(r - 1, static_cast<std::uint8_t>(b)));
}

TEST(PrefixSet, LongestAndExactFindMatchABruteForceScan) {
  std::mt19937 rng(77);
  for (int round = 0; round < 50; ++round) {
    PrefixSet* set = nullptr;
    std::array<Leaf*, 256> by_pos{};
    const int ops = 1 + static_cast<int>(rng() % 400);
    for (int i = 0; i < ops; ++i) {
      const unsigned r = rng() % 8, byte = rng() % 256;
      const unsigned pos = prefix_position(r, static_cast<std::uint8_t>(byte));
      if (by_pos[pos] == nullptr && rng() % 3 != 0) {
        const std::uint8_t a[4] = {static_cast<std::uint8_t>(byte), 0, 0, 0};
        by_pos[pos] = make_leaf(a, 4, r, netrove::RecordRef{});
        set = prefix_set_add(set, pos, by_pos[pos]);
      } else if (by_pos[pos] != nullptr) {
        ASSERT_EQ(prefix_set_take(set, pos), by_pos[pos]);
        free_leaf(by_pos[pos]);
        by_pos[pos] = nullptr;
      }
      unsigned count = 0;
      for (unsigned p = 1; p < 256; ++p) {
        ASSERT_EQ(prefix_set_find(set, p), by_pos[p]);
        count += by_pos[p] != nullptr;
      }
      ASSERT_EQ(set == nullptr ? 0u : set->count, count);
      for (unsigned b = 0; b < 256; ++b) {
        const Leaf* want = nullptr;
        for (unsigned rr = 8; rr-- > 0 && want == nullptr;) want = by_pos[prefix_position(rr, static_cast<std::uint8_t>(b))];
        ASSERT_EQ(prefix_set_longest(set, static_cast<std::uint8_t>(b)), want);
      }
    }
    prefix_set_release(set);
  }
}

TEST(PrefixSet, HoldsAll255PositionsAndFreesItselfWhenEmptied) {
  PrefixSet* set = nullptr;
  std::vector<unsigned> order(255);
  std::iota(order.begin(), order.end(), 1u);
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  for (unsigned pos : order) {
    const std::uint8_t a[4] = {};
    set = prefix_set_add(set, pos, make_leaf(a, 4, 0, netrove::RecordRef{}));
  }
  ASSERT_EQ(set->count, 255);
  EXPECT_LE(set->capacity, 255);
  for (unsigned pos : order) {
    Leaf* l = prefix_set_take(set, pos);
    ASSERT_NE(l, nullptr);
    free_leaf(l);
  }
  EXPECT_EQ(set, nullptr);
  EXPECT_EQ(prefix_set_take(set, 5), nullptr);
}

}  // namespace
