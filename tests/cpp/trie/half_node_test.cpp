// Kind 4's half-line node against kind 6, which keeps every field as
// written: the same answers after any sequence of writes, whichever form
// (path, short or long side block) holds them; side blocks freed with the
// node; and readers that never see a torn state while a writer moves nodes
// from one form to the next.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "support/oracle.hpp"
#include "support/readers.hpp"
#include "sync/rcu.hpp"
#include "trie/node.hpp"
#include "trie/node_blocks.hpp"
#include "trie/trie_key.hpp"

namespace {

using namespace nt;
using netrove::EdgeLabel;
using netrove::NodeKind;
using netrove::NodeRef;
using netrove::trie::u128;

EdgeLabel label_of(u128 bits) { return netrove::trie::store_key(bits); }

/// A random IPv4 network, its compressed-trie key and key length.
struct V4 {
  IpPrefix p;
  u128 key;
  std::uint64_t bits;
};
V4 random_v4(std::mt19937_64& rng) {
  const unsigned len = static_cast<unsigned>(rng() % 33);
  const std::uint32_t a = static_cast<std::uint32_t>(rng());
  IpPrefix p = masked(p4(a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255, len));
  const auto k = netrove::trie::compressed_key(p);
  return {p, k.key, k.length};
}

/// One write, as the tries make them (labels that end where the stored
/// prefix ends) or as only the node interface can (anything).
void random_write(std::mt19937_64& rng, const std::vector<NodeRef*>& nodes, V4& path) {
  auto both = [&](auto&& f) {
    for (NodeRef* n : nodes) f(*n);
  };
  switch (rng() % 9) {
    case 0:  // a new path: its prefix
      path = random_v4(rng);
      both([&](NodeRef& n) { n.set_prefix(path.p); });
      break;
    case 1:
    case 2: {  // an edge ending where the path ends
      const std::uint64_t len = rng() % (path.bits + 1);
      const u128 l = netrove::trie::extract_bits(path.key, path.bits - len, len);
      both([&](NodeRef& n) { n.set_edge(label_of(l), len); });
      break;
    }
    case 3: {  // a short edge read as a number: a branch node's
      const std::uint64_t len = rng() % 40;
      const u128 l = netrove::trie::lead_mask(len) & (u128{rng()} << 64 | rng());
      both([&](NodeRef& n) { n.set_edge(label_of(l), len); });
      break;
    }
    case 4: {  // stray bits past the length, or lengths past any key
      static constexpr std::uint64_t kLengths[] = {0, 1, 64, 127, 128, 129, 200, 254, 255, 300, 1ull << 40};
      const std::uint64_t len = kLengths[rng() % std::size(kLengths)];
      const u128 l = u128{rng()} << 64 | rng();
      both([&](NodeRef& n) { n.set_edge(label_of(l), len); });
      break;
    }
    case 5: {  // an IPv6 prefix
      IpPrefix p = p6({static_cast<unsigned>(rng() & 0xFFFF), 0x2001, 0, 0, 0, 0, 0, 1}, static_cast<unsigned>(rng() % 129));
      both([&](NodeRef& n) { n.set_prefix(p); });
      break;
    }
    case 6: {  // an IPv4 prefix as written: host bits, or past /32
      IpPrefix p = p4(10, 1, 2, 3, static_cast<unsigned>(rng() % 40));
      if (rng() % 2) p.address[9] = 1;
      both([&](NodeRef& n) { n.set_prefix(p); });
      break;
    }
    case 7: {  // a record: beside the edge and prefix, in every form
      const std::string v = std::to_string(rng() % 5);
      both([&](NodeRef& n) { n.set_value(md(v)); });
      break;
    }
    default:
      both([&](NodeRef& n) { n.clear_value(); });
  }
}

TEST(HalfNode, AnswersAsAVerbatimLayoutAfterAnyWrites) {
  netrove::rcu::drain();
  const std::size_t before = netrove::trie::live_node_blocks();
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 400; ++round) {
    NodeRef half = netrove::make_node(NodeKind::compressed_locked);
    NodeRef full = netrove::make_node(NodeKind::compressed_padded);
    V4 path = random_v4(rng);
    for (int step = 0; step < 40; ++step) {
      random_write(rng, {&half, &full}, path);
      ASSERT_EQ(half.edge(), full.edge()) << round << "/" << step;
      ASSERT_EQ(half.edge_len(), full.edge_len()) << round << "/" << step;
      ASSERT_EQ(half.prefix(), full.prefix()) << round << "/" << step;
      ASSERT_EQ(show(half.value()), show(full.value())) << round << "/" << step;
    }
  }
  netrove::rcu::drain();
  EXPECT_EQ(netrove::trie::live_node_blocks(), before) << "side blocks outlived their nodes";
}

// What a trie writes to a node takes no side block on IPv4: the path form
// holds it in 32 bytes.  A state it cannot hold takes one.
TEST(HalfNode, TrieStatesOfIpv4FitTheNode) {
  netrove::rcu::drain();
  const std::size_t before = netrove::trie::live_node_blocks();
  std::mt19937_64 rng(7);
  {
    std::vector<NodeRef> nodes;
    for (int i = 0; i < 1000; ++i) {
      const V4 v = random_v4(rng);
      const std::uint64_t len = rng() % (v.bits + 1);
      NodeRef n = netrove::make_node(NodeKind::compressed_locked);
      n.set_edge(label_of(netrove::trie::extract_bits(v.key, v.bits - len, len)), len);
      n.set_prefix(v.p);
      nodes.push_back(std::move(n));
    }
    EXPECT_EQ(netrove::trie::live_node_blocks(), before + 1000);
    nodes[0].set_prefix(p6({0x2001, 0xdb8}, 32));
    nodes[1].set_edge(EdgeLabel{}, 300);
    EXPECT_EQ(netrove::trie::live_node_blocks(), before + 1002);
  }
  netrove::rcu::drain();
  EXPECT_EQ(netrove::trie::live_node_blocks(), before);
}

// A writer takes nodes from the path form to a short side block to a long
// one while readers copy them: every copy is one of the written states.
TEST(HalfNode, ReadersSeeWholeStatesAcrossFormChanges) {
  constexpr int kNodes = 3000;
  const IpPrefix pa = p4(192, 0, 2, 0, 24), pb = p6({0x2001, 0xdb8, 0x1111, 0x2222}, 64);
  const auto ka = netrove::trie::compressed_key(pa);
  const EdgeLabel la = label_of(netrove::trie::extract_bits(ka.key, ka.length - 20, 20));
  EdgeLabel lb;
  lb.fill(0xA5);
  std::vector<NodeRef> nodes;
  for (int i = 0; i < kNodes; ++i) {
    nodes.push_back(netrove::make_node(NodeKind::compressed_locked));
    nodes.back().set_prefix(pa);
    nodes.back().set_edge(la, 20);
  }
  std::atomic<int> at{0};
  const int bad = nt::bad_reads_during(
      2,
      [&] {
        const NodeRef& n = nodes[static_cast<std::size_t>(at.load(std::memory_order_relaxed))];
        const auto p = n.prefix();
        const auto e = n.edge();
        const auto len = n.edge_len();
        return int(!p || !(*p == pa || *p == pb)) + int(!e || !(*e == la || *e == lb)) +
               int(!len || !(*len == 20 || *len == 100 || *len == 300));
      },
      [&] {
        for (int i = 0; i < kNodes; ++i) {
          at.store(i, std::memory_order_relaxed);
          NodeRef& n = nodes[static_cast<std::size_t>(i)];
          for (int k = 0; k < 20; ++k) n.set_prefix(k % 2 ? pa : pb);  // to a short side block on the first
          n.set_edge(lb, 100);
          n.set_edge(lb, 300);  // to a long one
          n.set_edge(la, 20);
          n.set_prefix(pa);
        }
      });
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(nodes.back().prefix(), pa);
  EXPECT_EQ(nodes.back().edge_len(), 20u);
}

}  // namespace
