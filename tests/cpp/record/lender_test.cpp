// Lending records while writers replace and remove them, on every local
// variant and through the cache: every lent record was stored, and is read
// whole (a record freed before the readers left its read section shows as a
// torn or foreign value here, and as a use after free under ASan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cache/cache.hpp"
#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "support/oracle.hpp"
#include "sync/rcu.hpp"

namespace {

using namespace nt;

TEST(RecordLender, LendingWhileWritersReplaceAndRemove) {
  struct V { std::uint8_t type, style; bool pc; std::uint64_t shards; };
  for (const V v : {V{0, 2, false, 1}, V{1, 0, false, 4}, V{0, 3, true, 1}, V{3, 3, true, 4}, V{4, 0, true, 1}, V{4, 0, true, 3}}) {
    SCOPED_TRACE(testing::Message() << int(v.type) << "/" << int(v.style) << "/" << v.shards);
    auto local = std::make_shared<netrove::LocalEngine>(netrove::build_local(v.type, v.style, v.pc, v.shards));
    netrove::CachedEngine cached(3600, 16, local);
    for (const bool through_cache : {false, true}) {
      netrove::Engine& e = through_cache ? static_cast<netrove::Engine&>(cached) : *local;
      const netrove::RecordLender& l = through_cache ? static_cast<const netrove::RecordLender&>(cached) : *local;
      std::atomic<bool> stop{false};
      std::atomic<int> bad{0}, lent{0};
      std::vector<std::thread> readers;
      for (unsigned r = 0; r < 2; ++r)
        readers.emplace_back([&, r] {
          std::mt19937 rng(r);
          while (!stop.load(std::memory_order_relaxed))
            (void)l.lookup_with(v4(10, rng() % 4, rng() % 8, 1), [&](const netrove::RecordView& rec) noexcept {
              const bool whole = rec.size() == 1 && (*rec.begin()).first == "copy" && (*rec.begin()).second == rec.value();
              if (rec.value().rfind("gen", 0) != 0 || !whole) ++bad;
              ++lent;
            });
        });
      // At least 300 rounds, and on until the readers have lent enough.
      for (int round = 0; round < 300 || (lent.load() < 2000 && round < 3'000'000); ++round) {
        std::string value(48, 'x');  // long enough to live on the heap
        value.replace(0, 4, "gen" + std::string(1, static_cast<char>('a' + round % 26)));
        for (unsigned b = 0; b < 4; ++b) {
          (void)e.insert(p4(10, b, 0, 0, 16), md(value, "copy", value));
          (void)e.insert(p4(10, b, round % 8, 0, 24), md(value, "copy", value));
        }
        if (round % 3 == 0) (void)e.remove(p4(10, round % 4, 0, 0, 16));
        if (round % 50 == 49) e.clear();
      }
      stop = true;
      for (auto& t : readers) t.join();
      EXPECT_EQ(bad.load(), 0);
      EXPECT_GT(lent.load(), 0);
    }
  }
}

// Equal records are one block shared by every engine.  A reader that found
// engine A's record may still read it after A let go of its share and
// engine B, holding the last one, was torn down: the block is freed only
// once that reader's section ends.
TEST(RecordLender, ARecordOutlivesTheTeardownOfAnotherEngineThatHeldItLast) {
  struct V { std::uint8_t type, style; bool pc; std::uint64_t shards; };
  for (const V v : {V{0, 2, false, 1}, V{1, 0, false, 4}, V{0, 3, true, 1}, V{3, 3, true, 4}, V{4, 0, true, 1}}) {
    SCOPED_TRACE(testing::Message() << int(v.type) << "/" << int(v.style) << "/" << v.shards);
    const std::string value(200, 'r');  // a block of its own on the heap
    auto a = std::make_unique<netrove::LocalEngine>(netrove::build_local(v.type, v.style, v.pc, v.shards));
    auto b = std::make_unique<netrove::LocalEngine>(netrove::build_local(v.type, v.style, v.pc, v.shards));
    ASSERT_TRUE(a->insert(p4(10, 0, 0, 0, 8), md(value, "k", value)).ok());
    ASSERT_TRUE(b->insert(p4(192, 0, 2, 0, 24), md(value, "k", value)).ok());
    std::uint64_t alive = 0;
    {
      netrove::rcu::ReadSection reader;
      const netrove::StoredRecord* seen = nullptr;
      ASSERT_TRUE(a->lookup_with(v4(10, 1, 2, 3), [&](const netrove::RecordView& r) noexcept { seen = &r.stored(); }));
      ASSERT_TRUE(a->insert(p4(10, 0, 0, 0, 8), md("other")).ok());  // A lets go
      b.reset();                                                      // B held the last share
      const netrove::RecordView still(*seen);  // a use after free under ASan otherwise
      EXPECT_EQ(still.value(), value);
      EXPECT_EQ((*still.begin()).second, value);
      alive = netrove::record_census().records;
    }
    netrove::rcu::drain();
    EXPECT_LT(netrove::record_census().records, alive);  // freed once the reader left
  }
}

}  // namespace
