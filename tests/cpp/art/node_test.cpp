// Adaptive radix tree nodes, where the engine's answers cannot tell: the
// node kinds grow and shrink at their thresholds (with a gap, so a child
// flapping at a threshold does not rebuild the node each time), every
// Node16 search path agrees with a scalar reference (including bytes in
// slots past the child count), and prefix sets against a brute-force scan.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <random>

#include "art/node.hpp"
#include "art/node16_simd.hpp"
#include "art/prefix_set.hpp"
#include "support/oracle.hpp"

namespace {

using namespace netrove::art;

Leaf* tagged_leaf(std::uint8_t byte) {
  const std::uint8_t addr[4] = {byte, 0, 0, 0};
  return make_leaf(addr, 4, 32, netrove::RecordRef{});
}

// Random adds and removes drifting between small and large populations,
// once per Node16 search path: the children are exactly the set added, and
// the kind is within its band (grow after 4, 16, 44; shrink below 4, 13, 37).
TEST(ArtNode, KindsFollowTheirBandsOnEverySearchPath) {
  const Node16Path saved = active_node16_path();
  for (const Node16Path path : {Node16Path::avx2, Node16Path::sse41, Node16Path::scalar}) {
    if (!node16_path_supported(path)) continue;
    force_node16_path(path);
    std::mt19937 rng(42);
    ArtNode* node = new_node4();
    std::array<bool, 256> in{};
    unsigned count = 0;
    std::array<unsigned, 4> seen{};
    for (int step = 0; step < 30000; ++step) {
      const auto b = static_cast<std::uint8_t>(rng());
      const bool grow = count < ((step / 3000) % 2 == 0 ? 200u : 8u) ? rng() % 4 != 0 : rng() % 4 == 0;
      if (!in[b] && grow) {
        node = add_child(node, b, tagged_leaf(b)), in[b] = true, ++count;
      } else if (in[b] && !grow) {
        Leaf* child = as_leaf(find_child(*node, b));
        node = remove_child(node, b), in[b] = false, --count;
        free_leaf(child);
      }
      const NodeType t = node->node_type;
      ++seen[static_cast<unsigned>(t)];
      ASSERT_TRUE((t == NodeType::node4 && count <= 4) || (t == NodeType::node16 && count >= 4 && count <= 16) ||
                  (t == NodeType::node48 && count >= 13 && count <= 44) || (t == NodeType::node256 && count >= 37))
          << "kind " << int(t) << " with " << count;
      ASSERT_EQ(child_count(*node), count);
      if (step % 61 == 0)
        for (unsigned x = 0; x < 256; ++x) {
          const ArtNode* c = find_child(*node, static_cast<std::uint8_t>(x));
          ASSERT_EQ(c != nullptr, in[x]) << x;
          if (c) { ASSERT_EQ(as_leaf(c)->key[0], x); }
        }
    }
    release(node);
    for (unsigned k = 0; k < 4; ++k) EXPECT_GT(seen[k], 0u) << "kind " << k << " never visited";
  }
  force_node16_path(saved);
  // The grow thresholds themselves: the 5th, 17th and 45th child.
  ArtNode* node = new_node4();
  for (unsigned b = 0; b < 45; ++b) {
    const NodeType before = node->node_type;
    node = add_child(node, static_cast<std::uint8_t>(b), tagged_leaf(static_cast<std::uint8_t>(b)));
    EXPECT_EQ(node->node_type != before, b == 4 || b == 16 || b == 44) << b + 1;
  }
  release(node);
}

TEST(ArtNode, EverySearchPathAgreesWithTheReference) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 100000; ++round) {
    alignas(16) std::uint8_t keys[16];
    const unsigned alphabet = 1u + rng() % 40u;  // small: duplicates and hits are common
    for (auto& k : keys) k = static_cast<std::uint8_t>(rng() % alphabet);
    const unsigned n = rng() % 17u;
    const auto byte = static_cast<std::uint8_t>(rng() % (alphabet + 1));
    int want = -1;
    for (unsigned i = 0; i < n && want < 0; ++i)
      if (keys[i] == byte) want = static_cast<int>(i);
    for (const Node16Path path : {Node16Path::avx2, Node16Path::sse41, Node16Path::scalar})
      if (node16_path_supported(path)) { ASSERT_EQ(node16_search_fn(path)(keys, n, byte), want) << node16_path_name(path); }
  }
}

// Positions 1..255 of a heap over one byte; longest(byte) is the deepest
// stored position on the byte's path.
TEST(PrefixSet, MatchesABruteForceScan) {
  std::mt19937 rng(77);
  for (int round = 0; round < 40; ++round) {
    PrefixSet* set = nullptr;
    std::array<Leaf*, 256> by_pos{};
    for (int i = 0, ops = 1 + static_cast<int>(rng() % 600); i < ops; ++i) {
      const unsigned r = rng() % 8, byte = rng() % 256, pos = prefix_position(r, static_cast<std::uint8_t>(byte));
      if (by_pos[pos] == nullptr && rng() % 4 != 0) {
        by_pos[pos] = tagged_leaf(static_cast<std::uint8_t>(byte));
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
      ASSERT_EQ(set ? set->count : 0u, count);
      ASSERT_TRUE(set == nullptr || set->count <= set->capacity);
      for (unsigned b = 0; b < 256; ++b) {
        const Leaf* want = nullptr;
        for (unsigned rr = 8; rr-- > 0 && !want;) want = by_pos[prefix_position(rr, static_cast<std::uint8_t>(b))];
        ASSERT_EQ(prefix_set_longest(set, static_cast<std::uint8_t>(b)), want);
      }
    }
    prefix_set_release(set);
  }
}

}  // namespace
