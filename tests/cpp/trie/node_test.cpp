// Trie nodes: what the engines cannot show.  Readers of a node never see a
// half-written field, on all eight layouts; kind 5 keeps short edge lengths
// in its cache byte and longer ones behind it; no node straddles a cache
// line; and the key of a prefix in either trie depends on its network
// only (the compressed trie would mask a label again, hiding the slip).
#include <gtest/gtest.h>

#include <atomic>

#include "trie/node.hpp"
#include "trie/node_blocks.hpp"
#include "support/oracle.hpp"
#include "support/readers.hpp"
#include "trie/trie_key.hpp"

namespace {

using namespace nt;
using netrove::EdgeLabel;
using netrove::NodeKind;
using netrove::NodeRef;

template <NodeKind K>
struct Kind {
  static constexpr NodeKind value = K;
};
template <class T>
class NodeTest : public ::testing::Test {};
using AllKinds = ::testing::Types<Kind<NodeKind::uncompressed_locked>, Kind<NodeKind::uncompressed_atomic>,
                                  Kind<NodeKind::uncompressed_padded>, Kind<NodeKind::uncompressed_mapped>,
                                  Kind<NodeKind::compressed_locked>, Kind<NodeKind::compressed_atomic>,
                                  Kind<NodeKind::compressed_padded>, Kind<NodeKind::compressed_mapped>>;
struct KindName {
  template <class T>
  static std::string GetName(int) { return "kind" + std::to_string(static_cast<int>(T::value)); }
};
TYPED_TEST_SUITE(NodeTest, AllKinds, KindName);

// A writer flips each field between two values that differ in every word.
TYPED_TEST(NodeTest, ConcurrentReadersSeeWholeFields) {
  constexpr bool compressed = netrove::is_compressed(TypeParam::value);
  NodeRef n = netrove::make_node(TypeParam::value), ca = netrove::make_node(TypeParam::value), cb = netrove::make_node(TypeParam::value);
  // A node never straddles a cache line: kind 4's half line is 32-byte
  // aligned, the others start one.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(n.get()) % (TypeParam::value == NodeKind::compressed_locked ? 32 : 64), 0u);
  const IpPrefix pa = p6({0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111}, 17), pb = p4(200, 200, 200, 200, 30);
  EdgeLabel la, lb;
  la.fill(1), lb.fill(2);
  n.set_prefix(pa), n.set_value(md("a")), n.set_left(ca);
  if constexpr (compressed) n.set_edge(la, 100);
  const int bad = nt::bad_reads_during(
      2,
      [&] {
        int wrong = 0;
        const auto p = n.prefix();
        const auto v = n.value();
        const auto c = n.left();
        if (!p || !(*p == pa || *p == pb) || !v || (v->value != "a" && v->value != "b") || !c || !(*c == ca || *c == cb)) ++wrong;
        if constexpr (compressed)
          if (const auto e = n.edge(); !e || (*e != la && *e != lb)) ++wrong;
        return wrong;
      },
      [&] {
        for (int i = 0; i < 3000; ++i) {
          const bool a = i % 2 == 0;
          n.set_prefix(a ? pb : pa), n.set_value(md(a ? "b" : "a")), n.set_left(a ? cb : ca);
          if constexpr (compressed) n.set_edge(a ? lb : la, a ? 7 : 100);
        }
      });
  EXPECT_EQ(bad, 0);
}

TEST(CompressedAtomicNode, EdgeLengthCache) {
  NodeRef n = netrove::make_node(NodeKind::compressed_atomic);
  auto* rec = netrove::trie::as<netrove::trie::CompressedAtomic>(n.get());
  for (const unsigned len : {200u, 254u, 255u, 300u, 0u}) {
    n.set_edge(EdgeLabel{}, len);
    EXPECT_EQ(n.edge_len(), len);
    EXPECT_EQ(rec->hdr.edge_cache.byte.load(), len < 255 ? len : 0xFF) << len;
    if (len > 255) { EXPECT_EQ(rec->length.read(), len); }
  }
}

TEST(TrieKey, KeysDependOnTheNetworkOnly) {
  Generator gen(3);
  for (int i = 0; i < 4000; ++i) {
    const IpPrefix p = gen.prefix(), net = masked(p);
    const auto c = netrove::trie::compressed_key(p), cn = netrove::trie::compressed_key(net);
    const auto u = netrove::trie::uncompressed_key(p), un = netrove::trie::uncompressed_key(net);
    ASSERT_TRUE(c.key == cn.key && c.length == cn.length) << text(p, "");
    ASSERT_TRUE(u.key == un.key && u.length == un.length) << text(p, "");
    ASSERT_EQ(c.length, p.length + (p.family == kIpv4 ? 96u : 0u));
  }
}

}  // namespace
