// The node pool: block alignment and separation, reuse, the live count that
// every trie returns to once dropped, chunks given back as soon as they are
// empty, and threads allocating and freeing at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "engine/factory_internal.hpp"
#include "engine/local_engine.hpp"
#include "trie/node_pool.hpp"
#include "sync/rcu.hpp"
#include "trie_test_util.hpp"

using netrove::trie::NodePool;
using netrove::trie::node_pool;

namespace {

class BlockSize : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Sizes, BlockSize, ::testing::Values(64, 128, 192),
                         [](const auto& info) { return std::to_string(info.param); });

// Blocks across several chunks are aligned, disjoint and keep what was
// written into them; freed blocks are handed out again before new memory.
TEST_P(BlockSize, BlocksAreAlignedDisjointAndReused) {
  const std::size_t size = GetParam();
  NodePool pool(size);
  const std::size_t n = 3 * NodePool::kChunkBytes / size;  // spans at least 3 chunks
  std::vector<unsigned char*> blocks;
  for (std::size_t i = 0; i < n; ++i) {
    auto* b = static_cast<unsigned char*>(pool.allocate());
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(b) % 64, 0u);
    std::memset(b, static_cast<int>(i & 0xFF), size);
    blocks.push_back(b);
  }
  EXPECT_EQ(pool.live(), n);
  EXPECT_GE(pool.reserved(), n * size);
  EXPECT_LE(pool.reserved(), (n * size / NodePool::kChunkBytes + 2) * NodePool::kChunkBytes);

  std::vector<unsigned char*> sorted = blocks;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i < sorted.size(); ++i) ASSERT_GE(sorted[i] - sorted[i - 1], static_cast<std::ptrdiff_t>(size));
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(blocks[i][0], static_cast<unsigned char>(i & 0xFF));
    ASSERT_EQ(blocks[i][size - 1], static_cast<unsigned char>(i & 0xFF));
  }

  const std::size_t reserved = pool.reserved();
  std::set<unsigned char*> freed;
  for (std::size_t i = 0; i < n; i += 2) {
    pool.deallocate(blocks[i]);
    freed.insert(blocks[i]);
  }
  EXPECT_EQ(pool.live(), n - freed.size());
  for (std::size_t i = 0; i < freed.size(); ++i) EXPECT_TRUE(freed.count(static_cast<unsigned char*>(pool.allocate())));
  EXPECT_EQ(pool.reserved(), reserved);
  // A chunk whose blocks all go is given back while the others live: free
  // every block but those of the last block's chunk, one spare stays.
  const auto chunk = [](const unsigned char* b) { return reinterpret_cast<std::uintptr_t>(b) / NodePool::kChunkBytes; };
  std::vector<unsigned char*> kept;
  for (unsigned char* b : blocks) {
    if (chunk(b) == chunk(blocks.back())) kept.push_back(b);
    else pool.deallocate(b);
  }
  EXPECT_EQ(pool.live(), kept.size());
  EXPECT_EQ(pool.reserved(), 2 * NodePool::kChunkBytes);
  for (unsigned char* b : kept) pool.deallocate(b);
  EXPECT_EQ(pool.live(), 0u);
  // With no block left the pool keeps one chunk, and starts it afresh.
  EXPECT_EQ(pool.reserved(), NodePool::kChunkBytes);
  for (std::size_t i = 0; i < 10; ++i) blocks[i] = static_cast<unsigned char*>(pool.allocate());
  for (std::size_t i = 1; i < 10; ++i) EXPECT_EQ(blocks[i] - blocks[i - 1], static_cast<std::ptrdiff_t>(size));
  EXPECT_EQ(pool.reserved(), NodePool::kChunkBytes);
  for (std::size_t i = 0; i < 10; ++i) pool.deallocate(blocks[i]);
}

// Blocks of every pool are named by arena indices that lead back to them,
// and a chunk given back is the first one taken again.
TEST(NodePool, IndicesNameBlocksAndChunksComeBack) {
  NodePool small(64), large(128);
  std::vector<void*> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(small.allocate()), blocks.push_back(large.allocate());
  std::set<netrove::trie::NodeIndex> seen;
  for (void* b : blocks) {
    EXPECT_EQ(netrove::trie::block_at(netrove::trie::index_of(b)), b);
    EXPECT_TRUE(seen.insert(netrove::trie::index_of(b)).second);
  }
  EXPECT_FALSE(seen.count(0));  // 0 names no block
  // Fill two more chunks, then free them: one stays the spare, the other is
  // given back; the next growth takes both again, at the same addresses.
  const std::size_t per_chunk = NodePool::kChunkBytes / 64 - 1;
  std::vector<void*> wave;
  for (std::size_t i = 0; i < 3 * per_chunk; ++i) wave.push_back(small.allocate());
  std::set<std::uintptr_t> chunks;
  for (void* b : wave) chunks.insert(reinterpret_cast<std::uintptr_t>(b) / NodePool::kChunkBytes);
  for (void* b : wave) small.deallocate(b);
  for (std::size_t i = 0; i < 3 * per_chunk; ++i) {
    wave[i] = small.allocate();
    EXPECT_TRUE(chunks.count(reinterpret_cast<std::uintptr_t>(wave[i]) / NodePool::kChunkBytes));
  }
  for (void* b : wave) small.deallocate(b);
  small.deallocate(blocks[0]), small.deallocate(blocks[2]), small.deallocate(blocks[4]);
  large.deallocate(blocks[1]), large.deallocate(blocks[3]), large.deallocate(blocks[5]);
}

// Several threads allocate and free at once; no block is ever held twice.
TEST(NodePool, ThreadsNeverShareABlock) {
  NodePool pool(128);
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  std::atomic<int> clashes{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      std::vector<std::uint64_t*> mine;
      for (int i = 0; i < kRounds; ++i) {
        if (mine.empty() || rng() % 3 != 0) {
          auto* b = static_cast<std::uint64_t*>(pool.allocate());
          b[0] = static_cast<std::uint64_t>(t);
          b[15] = static_cast<std::uint64_t>(i);
          mine.push_back(b);
        } else {
          const std::size_t k = rng() % mine.size();
          std::swap(mine[k], mine.back());
          pool.deallocate(mine.back());
          mine.pop_back();
        }
        // Another thread writing into one of our blocks would show here.
        if (!mine.empty() && mine.back()[0] != static_cast<std::uint64_t>(t)) clashes.fetch_add(1);
      }
      for (auto* b : mine)
        if (b[0] != static_cast<std::uint64_t>(t)) clashes.fetch_add(1);
      for (auto* b : mine) pool.deallocate(b);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(pool.live(), 0u);
}

using nt::live_nodes;

// Every node of a dropped trie, of every kind and sharding, goes back to its
// pool once the grace periods have passed: node leaks show up here, since a
// leaked node only keeps its chunk, which the leak checker scans as a root.
TEST(NodePool, DroppedTriesReturnEveryNode) {
  netrove::rcu::drain();
  const std::size_t before = live_nodes();
  std::mt19937 rng(7);
  for (int k = 0; k < 8; ++k) {
    for (std::optional<std::uint64_t> shards : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{3}}) {
      auto e = netrove::build_local(shards ? 5 : 0, static_cast<std::uint8_t>(k % 4), k >= 4, shards);
      for (int i = 0; i < 2000; ++i) {
        const auto len = static_cast<std::uint8_t>(8 + rng() % 25);
        ASSERT_TRUE(e.insert(nt::p4(static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                                    static_cast<std::uint8_t>(rng()), 0, len),
                             nt::md("x"))
                        .ok());
        if (i % 5 == 0) e.remove(nt::p4(static_cast<std::uint8_t>(rng()), 0, 0, 0, 8));
      }
      EXPECT_GT(live_nodes(), before);
      if (k == 5) e.clear();
    }
  }
  netrove::rcu::drain();
  EXPECT_EQ(live_nodes(), before);
  if (before == 0) {
    // Every trie gone: the pools are down to one chunk each.
    for (std::size_t size : {64, 128, 192}) EXPECT_LE(node_pool(size).reserved(), NodePool::kChunkBytes);
  }
}

}  // namespace
