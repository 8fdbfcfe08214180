// The read index alone against the oracle: a chain of nested prefixes of
// every length of a family (every stride end and every length inside an
// octet) inserted in random order, replaced, then removed in random order,
// each remove falling back to the next shorter prefix still stored; the
// emptied nodes are pruned down to the root.  And a node a write replaces
// stays allocated while a reader may still be inside it.
#include <gtest/gtest.h>

#include "index/node_arena.hpp"
#include "index/read_index.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::index::ReadIndex;

void put(ReadIndex& ix, const IpPrefix& p, const std::string& value) {
  netrove::rcu::ReadSection rs;
  auto* r = netrove::RecordRef::intern(md(value)).release();
  ix.insert(p, r);
  netrove::trie::release(r);  // the index's share keeps it alive
}
bool drop(ReadIndex& ix, const IpPrefix& p) {
  netrove::rcu::ReadSection rs;
  return ix.remove(p);
}
std::string find(const ReadIndex& ix, const IpAddress& a) {
  netrove::rcu::ReadSection rs;
  const auto* r = ix.lookup(a);
  return r ? std::string(netrove::RecordView(*r).value()) : "<none>";
}

TEST(ReadIndex, NestedChainOfEveryLength) {
  for (const std::uint8_t family : {kIpv4, kIpv6}) {
    Generator gen(0x1dc0 + family);
    const unsigned width = netrove::family_bits(family);
    IpPrefix base = prefix(IpAddress{family, {}}, width);
    gen.randomise(base, 0, width);
    // Probes: the base and, per bit i, an address leaving the chain at bit i.
    std::vector<IpAddress> probes{address_of(base)};
    for (unsigned i = 0; i < width; ++i) {
      IpPrefix q = base;
      q.address[i / 8] ^= static_cast<std::uint8_t>(0x80u >> (i % 8));
      gen.randomise(q, i + 1, width);
      probes.push_back(address_of(q));
    }
    ReadIndex ix;
    Oracle oracle;
    auto check = [&] {
      for (const IpAddress& a : probes) ASSERT_EQ(find(ix, a), show(oracle.lookup(a)));
    };
    std::vector<unsigned> lengths(width + 1);
    for (unsigned l = 0; l <= width; ++l) lengths[l] = l;
    for (const std::string round : {"", "r"}) {  // insert, then replace every record
      std::shuffle(lengths.begin(), lengths.end(), std::mt19937(family));
      for (unsigned l : lengths) {
        put(ix, prefix(address_of(base), l), round + std::to_string(l)), oracle.insert(prefix(address_of(base), l), md(round + std::to_string(l)));
        ASSERT_NO_FATAL_FAILURE(check());
      }
    }
    ASSERT_EQ(ix.footprint(family).prefixes, width + 1);
    std::shuffle(lengths.begin(), lengths.end(), std::mt19937(family + 9));
    for (unsigned l : lengths) {
      ASSERT_TRUE(drop(ix, prefix(address_of(base), l)));
      ASSERT_FALSE(drop(ix, prefix(address_of(base), l)));
      oracle.remove(prefix(address_of(base), l));
      ASSERT_NO_FATAL_FAILURE(check());
    }
    EXPECT_EQ(ix.footprint(family).nodes, 1u);
    EXPECT_EQ(ix.footprint(family).prefixes, 0u);
    netrove::rcu::drain();
  }
}

// A remove that keeps the node (it has a child) builds a replacement and
// retires the old node: inside a reader's section both are allocated.
TEST(ReadIndex, AReplacedNodeOutlivesTheReadersThatMaySeeIt) {
  ReadIndex ix;
  put(ix, p4(10, 1, 0, 0, 16), "a");
  put(ix, p4(10, 1, 2, 0, 24), "b");
  // Under ASan every node is its own heap block (a read of a freed one is
  // reported there) and the arena counts nothing.
  if (netrove::index::arena_in_use() == 0) GTEST_SKIP() << "the arena counts nothing in this build";
  {
    netrove::rcu::ReadSection reader;
    const std::size_t before = netrove::index::arena_in_use();
    ASSERT_TRUE(ix.remove(p4(10, 1, 0, 0, 16)));
    EXPECT_GT(netrove::index::arena_in_use(), before) << "the replaced node was freed under a reader";
    EXPECT_NE(ix.lookup(v4(10, 1, 2, 3)), nullptr);
  }
  netrove::rcu::drain();
}

}  // namespace
