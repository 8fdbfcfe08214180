// The node interface over all eight layouts: one typed suite.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "trie/node.hpp"
#include "sync/panic.hpp"
#include "trie/node_blocks.hpp"
#include "trie_test_util.hpp"

using netrove::EdgeLabel;
using netrove::make_node;
using netrove::NodeKind;
using netrove::NodeRef;
using nt::md;

namespace {

template <NodeKind K>
struct Kind {
  static constexpr NodeKind value = K;
  static constexpr bool compressed = netrove::is_compressed(K);
};

template <class T>
class NodeTest : public ::testing::Test {
 protected:
  static NodeRef node() { return make_node(T::value); }
};

using AllKinds = ::testing::Types<Kind<NodeKind::uncompressed_locked>, Kind<NodeKind::uncompressed_atomic>,
                                  Kind<NodeKind::uncompressed_padded>, Kind<NodeKind::uncompressed_mapped>,
                                  Kind<NodeKind::compressed_locked>, Kind<NodeKind::compressed_atomic>,
                                  Kind<NodeKind::compressed_padded>, Kind<NodeKind::compressed_mapped>>;

struct KindName {
  template <class T>
  static std::string GetName(int) {
    return "kind" + std::to_string(static_cast<int>(T::value));
  }
};
TYPED_TEST_SUITE(NodeTest, AllKinds, KindName);

EdgeLabel label(std::initializer_list<std::uint8_t> bytes) {
  EdgeLabel l{};
  std::size_t i = 0;
  for (auto b : bytes) l[i++] = b;
  return l;
}

std::uint32_t refs(const NodeRef& n) { return n.get()->refs.load(); }

TYPED_TEST(NodeTest, MadeEmpty) {
  NodeRef n = this->node();
  EXPECT_EQ(n.kind(), TypeParam::value);
  EXPECT_FALSE(n.left());
  EXPECT_FALSE(n.right());
  EXPECT_FALSE(n.value());
  EXPECT_FALSE(n.prefix());
  EXPECT_FALSE(n.prefix_len());
  if constexpr (TypeParam::compressed) {
    EXPECT_EQ(n.edge(), EdgeLabel{});
    EXPECT_EQ(n.edge_len(), 0u);
  } else {
    EXPECT_FALSE(n.edge());
    EXPECT_FALSE(n.edge_len());
  }
}

TYPED_TEST(NodeTest, ChildrenAreSharedHandlesAndCanBeRemoved) {
  NodeRef n = this->node(), a = this->node(), b = this->node();
  n.set_left(a);
  n.set_right(b);
  ASSERT_TRUE(n.left() && n.right());
  EXPECT_TRUE(*n.left() == a);
  EXPECT_TRUE(*n.right() == b);
  EXPECT_FALSE(*n.left() == b);

  // A change through the child handle is visible through the parent's link.
  a.set_value(md("via-a"));
  EXPECT_EQ(n.left()->value()->value, "via-a");

  n.set_left(b);  // replaces
  EXPECT_TRUE(*n.left() == b);
  n.set_left(std::nullopt);  // removes (kinds 3 and 7 delete the map entry)
  EXPECT_FALSE(n.left());
  EXPECT_TRUE(*n.right() == b);
  n.set_right(std::nullopt);
  EXPECT_FALSE(n.right());
  n.set_right(std::nullopt);  // removing an absent child is a no-op
  EXPECT_FALSE(n.right());
}

TYPED_TEST(NodeTest, LinksAndHandlesCountReferences) {
  NodeRef child = this->node();
  EXPECT_EQ(refs(child), 1u);
  {
    NodeRef parent = this->node();
    parent.set_left(child);
    EXPECT_EQ(refs(child), 2u);
    {
      NodeRef copy = parent;
      EXPECT_EQ(refs(parent), 2u);
      auto again = parent.left();
      EXPECT_EQ(refs(child), 3u);
    }
    EXPECT_EQ(refs(parent), 1u);
    EXPECT_EQ(refs(child), 2u);
  }
  // The parent's last handle is gone; once no reader can see it, it is
  // destroyed and its link to the child with it.
  netrove::rcu::drain();
  EXPECT_EQ(refs(child), 1u);
}

TYPED_TEST(NodeTest, ValueReplacesAndClears) {
  NodeRef n = this->node();
  n.clear_value();  // no-op on an empty node
  EXPECT_FALSE(n.value());
  n.set_value(md("first", "k", "v"));
  EXPECT_EQ(*n.value(), md("first", "k", "v"));
  n.set_value(md("second"));
  EXPECT_EQ(n.value()->value, "second");
  EXPECT_TRUE(n.value()->attributes.empty());
  n.clear_value();
  EXPECT_FALSE(n.value());
}

TYPED_TEST(NodeTest, PrefixIsStoredAsGiven) {
  NodeRef n = this->node();
  const auto p = nt::p4(10, 1, 2, 3, 8);  // host bits kept
  n.set_prefix(p);
  EXPECT_EQ(n.prefix(), p);
  const auto q = nt::p6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, 127);
  n.set_prefix(q);
  EXPECT_EQ(n.prefix(), q);
}

TYPED_TEST(NodeTest, PrefixLengthOnlyOnUncompressedKinds) {
  NodeRef n = this->node();
  n.set_prefix_len(24);
  if constexpr (TypeParam::compressed) {
    EXPECT_FALSE(n.prefix_len());
  } else {
    EXPECT_EQ(n.prefix_len(), 24);
    n.set_prefix_len(0);
    EXPECT_EQ(n.prefix_len(), 0);  // zero is a length, not "none"
    n.set_prefix_len(128);
    EXPECT_EQ(n.prefix_len(), 128);
  }
}

TYPED_TEST(NodeTest, EdgeOnCompressedKindsPanicsOnUncompressed) {
  NodeRef n = this->node();
  const EdgeLabel l = label({0x20, 0x01, 0x0d, 0xb8});
  if constexpr (TypeParam::compressed) {
    n.set_edge(l, 32);
    EXPECT_EQ(n.edge(), l);
    EXPECT_EQ(n.edge_len(), 32u);
    n.set_edge(l, 200);
    EXPECT_EQ(n.edge_len(), 200u);
    n.set_edge(l, 300);
    EXPECT_EQ(n.edge_len(), 300u);
    n.set_edge(EdgeLabel{}, 0);
    EXPECT_EQ(n.edge(), EdgeLabel{});
    EXPECT_EQ(n.edge_len(), 0u);
  } else {
    try {
      n.set_edge(l, 32);
      FAIL() << "set_edge on an uncompressed node returned";
    } catch (const netrove::Panic& p) {
      EXPECT_STREQ(p.what(), "set_edge called on an uncompressed node");
    }
    EXPECT_FALSE(n.edge());
    EXPECT_FALSE(n.edge_len());
  }
}

// Readers never see a half-written field: a writer flips each field between
// two values that differ in every word, readers must see one of the two.
TYPED_TEST(NodeTest, ConcurrentReadersSeeWholeFields) {
  NodeRef n = this->node();
  const auto pa = nt::p6({0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111, 0x1111}, 17);
  const auto pb = nt::p4(200, 200, 200, 200, 30);
  const EdgeLabel la = label({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  const EdgeLabel lb = label({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2});
  NodeRef ca = this->node(), cb = this->node();
  n.set_prefix(pa);
  n.set_value(md("a"));
  n.set_left(ca);
  if constexpr (TypeParam::compressed) n.set_edge(la, 100);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        const auto p = n.prefix();
        if (!p || (!(*p == pa) && !(*p == pb))) ++bad;
        const auto v = n.value();
        if (!v || (v->value != "a" && v->value != "b")) ++bad;
        const auto c = n.left();
        if (!c || (!(*c == ca) && !(*c == cb))) ++bad;
        if constexpr (TypeParam::compressed) {
          const auto e = n.edge();
          if (!e || (*e != la && *e != lb)) ++bad;
        }
      }
    });
  }
  for (int i = 0; i < 3000; ++i) {
    const bool a = i % 2 == 0;
    n.set_prefix(a ? pb : pa);
    n.set_value(md(a ? "b" : "a"));
    n.set_left(a ? cb : ca);
    if constexpr (TypeParam::compressed) n.set_edge(a ? lb : la, a ? 7 : 100);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// Kind 5 keeps short lengths in its cache byte only.
TEST(CompressedAtomicNode, EdgeLengthCache) {
  NodeRef n = make_node(NodeKind::compressed_atomic);
  auto* rec = netrove::trie::as<netrove::trie::CompressedAtomic>(n.get());
  EXPECT_EQ(rec->hdr.edge_cache.byte.load(), 0);
  EXPECT_EQ(n.edge_len(), 0u);
  n.set_edge(EdgeLabel{}, 200);
  EXPECT_EQ(rec->hdr.edge_cache.byte.load(), 200);
  EXPECT_EQ(rec->length.read(), 0u);  // the locked length is left as it was
  EXPECT_EQ(n.edge_len(), 200u);
  n.set_edge(EdgeLabel{}, 300);
  EXPECT_EQ(rec->hdr.edge_cache.byte.load(), 0xFF);
  EXPECT_EQ(rec->length.read(), 300u);
  EXPECT_EQ(n.edge_len(), 300u);
  n.set_edge(EdgeLabel{}, 254);
  EXPECT_EQ(n.edge_len(), 254u);
  n.set_edge(EdgeLabel{}, 255);
  EXPECT_EQ(rec->hdr.edge_cache.byte.load(), 0xFF);
  EXPECT_EQ(n.edge_len(), 255u);
}

TEST(NodeLayout, RecordsAreCacheLineAligned) {
  for (int k = 0; k < 8; ++k) {
    NodeRef n = make_node(static_cast<NodeKind>(k));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(n.get()) % 64, 0u) << "kind " << k;
  }
}

}  // namespace
