// The cache's table against a brute-force model (the set of addresses it
// should hold): stores, evictions and drops of prefixes of every length, so
// that each way a write finds its entries (one bucket list, several, the
// coarse scan) and every backward shift is checked; addresses crowd into a
// few prefixes, as a hot route's would, beside scattered ones.
#include <gtest/gtest.h>

#include <map>

#include "cache/answer_table.hpp"
#include "support/oracle.hpp"

namespace {

using namespace nt;
using netrove::StoredRecord;
using netrove::cache::AnswerTable;

struct Less {
  bool operator()(const IpAddress& a, const IpAddress& b) const {
    return a.family != b.family ? a.family < b.family : a.bytes < b.bytes;
  }
};

/// A distinct fake answer per address (the table never reads through it).
const StoredRecord* fake(const IpAddress& a) {
  return reinterpret_cast<const StoredRecord*>(std::uintptr_t{16} * (1 + (a.bytes[3] | a.bytes[15] << 8 | a.family << 16)));
}

IpAddress crowded(Generator& gen, const IpPrefix& around) {
  IpPrefix p = around;
  gen.randomise(p, p.length, netrove::family_bits(p.family));
  return address_of(p);
}

TEST(AnswerTable, HoldsExactlyWhatStoresEvictionsAndDropsLeave) {
  // limit 64: nearly every address in one hot /24 and few writes, so that
  // drops meet long lists in a half-full table and shifts move list entries.
  for (const std::size_t limit : {1u, 7u, 64u, 300u}) {
    SCOPED_TRACE(limit);
    Generator gen(limit);
    AnswerTable t(limit, 0x5eed + limit, false);
    std::map<IpAddress, const StoredRecord*, Less> model;
    // Hot routes: an IPv4 /24, an IPv6 /48 (each one bucket list), and an
    // IPv6 /20 (coarse keys only).
    const IpPrefix hot[] = {p4(10, 1, 2, 0, 24), p6({0x2a02, 0x1234, 0x5}, 48), p6({0x2a00}, 20)};
    auto check_all = [&] {
      ASSERT_EQ(t.size(), model.size());
      for (const auto& [a, r] : model) {
        const AnswerTable::Found f = t.find(a, t.hash(a));
        ASSERT_TRUE(f.hit);
        ASSERT_EQ(f.answer, r);
      }
      ASSERT_TRUE(t.consistent());
    };
    for (int step = 0; step < 6000; ++step) {
      SCOPED_TRACE(step);
      const std::uint64_t op = gen.pick(100), stores = limit == 64 ? 95 : 70;
      if (op < stores) {
        const IpAddress a = gen.pick(limit == 64 ? 8 : 2) ? crowded(gen, hot[gen.pick(limit == 64 ? 1 : 3)]) : gen.address();
        const StoredRecord* r = gen.pick(4) ? fake(a) : nullptr;
        const bool fresh = !model.count(a);
        t.store(a, t.hash(a), r);
        if (fresh && model.size() == limit) {
          // 2. Full: exactly one other entry went.
          std::size_t gone = 0;
          for (auto it = model.begin(); it != model.end();)
            if (!t.holds(it->first, t.hash(it->first))) it = model.erase(it), ++gone;
            else ++it;
          ASSERT_EQ(gone, 1u);
        }
        model[a] = r;
        const AnswerTable::Found f = t.find(a, t.hash(a));
        ASSERT_TRUE(f.hit);
        ASSERT_EQ(f.answer, r);
        ASSERT_EQ(t.size(), model.size());
      } else if (op < stores + (100 - stores) * 9 / 10) {
        IpPrefix p = gen.pick(3) ? gen.prefix() : hot[gen.pick(limit == 64 ? 1 : 3)];
        if (gen.pick(3) == 0) p.length = static_cast<std::uint8_t>(gen.pick(netrove::family_bits(p.family) + 1));
        std::size_t inside = 0;
        for (auto it = model.begin(); it != model.end();)
          if (covers(p, it->first)) it = model.erase(it), ++inside;
          else ++it;
        ASSERT_EQ(t.drop_inside(p), inside) << text(p, "");
        ASSERT_NO_FATAL_FAILURE(check_all());
      } else {
        t.drop_all();
        model.clear();
        ASSERT_NO_FATAL_FAILURE(check_all());
      }
      if (step % 100 == 0) { ASSERT_NO_FATAL_FAILURE(check_all()); }
    }
  }
}

}  // namespace
