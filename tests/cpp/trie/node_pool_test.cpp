// The node pool: aligned disjoint blocks that keep what was written, freed
// blocks handed out again before new memory, a chunk given back once empty
// (one spare kept), threads never sharing a block, and every node of a
// dropped trie of any kind back in its pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "support/oracle.hpp"

namespace {

using netrove::trie::NodePool;

TEST(NodePool, BlocksAreAlignedDisjointReusedAndChunksComeBack) {
  for (const std::size_t size : netrove::trie::kNodePoolSizes) {
    NodePool pool(size);
    const std::size_t n = 3 * NodePool::kChunkBytes / size;  // at least 3 chunks
    std::vector<unsigned char*> blocks;
    for (std::size_t i = 0; i < n; ++i) {
      blocks.push_back(static_cast<unsigned char*>(pool.allocate()));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(blocks.back()) % std::min<std::size_t>(size, 64), 0u);
      std::memset(blocks.back(), static_cast<int>(i & 0xFF), size);
    }
    EXPECT_EQ(pool.live(), n);
    std::vector<unsigned char*> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 1; i < n; ++i) ASSERT_GE(sorted[i] - sorted[i - 1], static_cast<std::ptrdiff_t>(size));
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(blocks[i][size - 1], static_cast<unsigned char>(i & 0xFF));
    const std::size_t reserved = pool.reserved();
    std::set<unsigned char*> freed;
    for (std::size_t i = 0; i < n; i += 2) pool.deallocate(blocks[i]), freed.insert(blocks[i]);
    for (std::size_t i = 0; i < freed.size(); ++i) ASSERT_TRUE(freed.count(static_cast<unsigned char*>(pool.allocate())));
    EXPECT_EQ(pool.reserved(), reserved);
    // Free all but the last block's chunk: one spare chunk stays beside it.
    auto chunk = [](const unsigned char* b) { return reinterpret_cast<std::uintptr_t>(b) / NodePool::kChunkBytes; };
    std::vector<unsigned char*> kept;
    for (unsigned char* b : blocks) (chunk(b) == chunk(blocks.back()) ? kept.push_back(b) : pool.deallocate(b));
    EXPECT_EQ(pool.reserved(), 2 * NodePool::kChunkBytes);
    for (unsigned char* b : kept) pool.deallocate(b);
    EXPECT_EQ(pool.live(), 0u);
    EXPECT_EQ(pool.reserved(), NodePool::kChunkBytes);
  }
}

TEST(NodePool, ThreadsNeverShareABlock) {
  NodePool pool(128);
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (std::uint64_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<std::uint64_t*> mine;
      for (int i = 0; i < 20000; ++i) {
        if (mine.empty() || rng() % 3 != 0) {
          mine.push_back(static_cast<std::uint64_t*>(pool.allocate()));
          mine.back()[0] = t, mine.back()[15] = t;
        } else {
          std::swap(mine[rng() % mine.size()], mine.back());
          pool.deallocate(mine.back());
          mine.pop_back();
        }
        if (!mine.empty() && (mine.back()[0] != t || mine.back()[15] != t)) ++clashes;
      }
      for (auto* b : mine) clashes += b[0] != t, pool.deallocate(b);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(pool.live(), 0u);
}

// Dropped with their entries in place (the differential test removes them):
// every node goes back once the grace periods have passed.
TEST(NodePool, DroppedTriesReturnEveryNode) {
  const std::size_t before = nt::live_nodes();
  nt::Generator gen(7);
  for (int k = 0; k < 8; ++k)
    for (const std::uint64_t shards : {1u, 3u}) {
      auto e = netrove::build_local(5, static_cast<std::uint8_t>(k % 4), k >= 4, shards);
      for (int i = 0; i < 1000; ++i) ASSERT_TRUE(e.insert(gen.prefix(), nt::md("x")).ok());
      EXPECT_GT(nt::live_nodes(), before);
    }
  EXPECT_EQ(nt::live_nodes(), before);
}

}  // namespace
