// The read index alone against the oracle: a chain of nested prefixes of
// every length of a family (every stride end and every length inside an
// octet) inserted in random order, replaced, then removed in random order,
// each remove falling back to the next shorter prefix still stored; the
// emptied nodes are pruned down to the root.  And a node a write replaces
// stays allocated while a reader may still be inside it.
//
// The batch walks (lookup_many, contains_many) against the single lookup:
// on the chains above after every write, and on wide tables built from the
// octets where the bitmaps' words meet (0, 63, 64, 127, 128, ... 255), with
// /0, /32 and /128 stored and not, in batches of every length class
// (below and above the root-table threshold and the group of 64, not a
// multiple of either), of one family and of both.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "index/node_arena.hpp"
#include "index/read_index.hpp"
#include "support/oracle.hpp"
#include "support/root_table.hpp"

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

/// Checks lookup_many and contains_many on `as` against lookup, element by
/// element; returns the first disagreement, or "".
std::string batch_disagrees(const ReadIndex& ix, const std::vector<IpAddress>& as) {
  std::vector<const netrove::trie::Record*> got(as.size(), nullptr);
  std::unique_ptr<bool[]> found(new bool[as.size() + 1]);
  netrove::rcu::ReadSection rs;
  ix.lookup_many(as.data(), as.size(), got.data());
  ix.contains_many(as.data(), as.size(), found.get());
  for (std::size_t i = 0; i < as.size(); ++i) {
    const auto* want = ix.lookup(as[i]);
    if (got[i] != want || found[i] != (want != nullptr))
      return "element " + std::to_string(i) + " of " + std::to_string(as.size()) + ": lookup_many " +
             (got[i] ? std::string(netrove::RecordView(*got[i]).value()) : "<none>") + ", contains_many " +
             std::to_string(found[i]) + ", lookup " + (want ? std::string(netrove::RecordView(*want).value()) : "<none>");
  }
  return "";
}

// Each test of the answers runs twice: from the tree, and through a root
// table (a new way to be wrong at /16 and /24 and for prefixes shorter than
// /16).
class ReadIndexAnswers : public ::testing::TestWithParam<bool> {
 protected:
  RootTableMin table_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(Tables, ReadIndexAnswers, ::testing::Values(false, true),
                         [](const auto& i) { return i.param ? "root_table" : "tree"; });

TEST_P(ReadIndexAnswers, NestedChainOfEveryLength) {
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
      ASSERT_EQ(batch_disagrees(ix, probes), "");  // 33 or 129 walks, all depths
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

/// An address or prefix octet: half of the time one where the bitmaps'
/// 64-bit words meet, or their ends (unevenly many per word, so that a rank
/// counting the wrong word comes out wrong).
std::uint8_t edge_octet(Generator& gen) {
  static const std::uint8_t kEdges[] = {0, 1, 63, 64, 65, 127, 128, 191, 192, 193, 254, 255};
  return gen.pick(2) ? kEdges[gen.pick(12)] : static_cast<std::uint8_t>(gen.pick(256));
}

TEST_P(ReadIndexAnswers, BatchWalksAnswerAsLookupDoes) {
  Generator gen(0xba7c4);
  ReadIndex ix;
  std::vector<IpPrefix> stored;
  // Wide tables: thousands of prefixes per family, their octets at the
  // edges, lengths around the stride ends, so that the root has children in
  // all four kid words and nodes have prefixes in all eight prefix words.
  for (int k = 0; k < 6000; ++k) {
    IpPrefix p;
    p.family = k % 3 == 0 ? kIpv6 : kIpv4;
    const unsigned width = netrove::family_bits(p.family);
    for (unsigned i = 0; i < width / 8; ++i) p.address[i] = edge_octet(gen);
    const unsigned end = 8 * static_cast<unsigned>(gen.pick(width / 8 + 1));
    p.length = static_cast<std::uint8_t>(std::clamp<int>(static_cast<int>(end) + static_cast<int>(gen.pick(5)) - 2, 1, width - 1));
    put(ix, p, std::to_string(k));
    stored.push_back(p);
  }
  // Probes: both ends of stored prefixes, addresses of edge octets, and
  // addresses anywhere.
  std::vector<IpAddress> v4s, v6s;
  for (int k = 0; k < 3000; ++k) {
    IpAddress a;
    switch (k % 3) {
      case 0: a = address_of(masked(stored[gen.pick(stored.size())])); break;
      case 1: a = last_of(stored[gen.pick(stored.size())]); break;
      default:
        a.family = gen.pick(2) ? kIpv6 : kIpv4;
        for (unsigned i = 0; i < netrove::family_bits(a.family) / 8; ++i) a.bytes[i] = edge_octet(gen);
    }
    (a.family == kIpv4 ? v4s : v6s).push_back(a);
  }
  const std::size_t kLengths[] = {1, 2, 7, 31, 32, 33, 63, 64, 65, 100, 128, 255, 256, 257, 1000};
  auto check_batches = [&](const char* phase) {
    SCOPED_TRACE(phase);
    std::size_t from = 0;
    for (const std::size_t n : kLengths) {
      for (int mix = 0; mix < 3; ++mix) {  // IPv4 only, IPv6 only, both in random order
        std::vector<IpAddress> as;
        for (std::size_t i = 0; i < n; ++i) {
          const bool six = mix == 1 || (mix == 2 && gen.pick(2));
          const auto& pool = six ? v6s : v4s;
          as.push_back(pool[(from + i) % pool.size()]);
        }
        from += n;
        ASSERT_EQ(batch_disagrees(ix, as), "") << "batch of " << n << ", mix " << mix;
      }
    }
  };
  ASSERT_NO_FATAL_FAILURE(check_batches("wide tables"));
  // The shortest and the longest prefixes: every walk then finds an answer
  // at the root or at the family's deepest depth.
  put(ix, p4(0, 0, 0, 0, 0), "v4 default");
  put(ix, p6({}, 0), "v6 default");
  for (int k = 0; k < 40; ++k) {
    IpAddress a = (k % 2 ? v6s : v4s)[gen.pick(k % 2 ? v6s.size() : v4s.size())];
    put(ix, prefix(a, netrove::family_bits(a.family)), "host " + std::to_string(k));
    (k % 2 ? v6s : v4s).push_back(a);
  }
  ASSERT_NO_FATAL_FAILURE(check_batches("with /0, /32, /128"));
  // Half removed: nodes with gaps, walks that now end higher up.
  for (std::size_t k = 0; k < stored.size(); k += 2) drop(ix, stored[k]);
  ASSERT_TRUE(drop(ix, p4(0, 0, 0, 0, 0)));
  ASSERT_TRUE(drop(ix, p6({}, 0)));
  ASSERT_NO_FATAL_FAILURE(check_batches("half removed"));
  // An empty index answers nothing.
  ReadIndex empty;
  std::vector<IpAddress> all(v4s.begin(), v4s.begin() + 100);
  all.insert(all.end(), v6s.begin(), v6s.begin() + 100);
  {
    std::vector<const netrove::trie::Record*> got(all.size(), reinterpret_cast<const netrove::trie::Record*>(1));
    std::unique_ptr<bool[]> found(new bool[all.size()]);
    netrove::rcu::ReadSection rs;
    empty.lookup_many(all.data(), all.size(), got.data());
    empty.contains_many(all.data(), all.size(), found.get());
    for (std::size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(got[i], nullptr) << i;
      EXPECT_FALSE(found[i]) << i;
    }
  }
  netrove::rcu::drain();
}

}  // namespace
