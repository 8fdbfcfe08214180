// node_pool.hpp - where trie node records live.
//
// A routing table is millions of small nodes of three sizes (64, 128 and
// 192 bytes, all 64-byte aligned) that a lookup visits in no particular
// order.  Served by the general-purpose allocator they cost a memalign call
// each (slow, and padded on both sides), and they spread over 4 KiB pages,
// so every level of a walk risks a TLB miss on top of its cache miss.
//
// A pool per size carves blocks out of 2 MiB chunks that are asked to be
// backed by transparent huge pages.  A freed block goes on the pool's free
// list and is handed out again first:
//
//   chunk (2 MiB, 2 MiB aligned, MADV_HUGEPAGE)
//   +-------+-------+-------+-------+---- ... ------------------+
//   | block | block | free  | block |  not handed out yet       |
//   +-------+-------+---|---+-------+---- ... ------------------+
//                       |           ^ bump: next fresh block
//                       v
//   free list: the first word of a free block links the next free block
//
// Blocks are 64-byte aligned because the chunk is and every size is a
// multiple of 64.  One mutex per pool guards the free list and the bump
// pointer: writers allocate under their trie's writer lock and free in
// their deferred-free passes, so the mutex is nearly never contended.
//
// Chunks stay with the pool while any node lives: the blocks of a table
// that shrinks or is dropped serve the next nodes of any trie.  When the
// last node goes, every chunk but one is returned to the system.  Under
// AddressSanitizer free blocks are poisoned, so a stale pointer into a free
// block is still reported, and chunks are scanned by the leak checker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "netrove/sync.hpp"

namespace netrove::trie {

/// A pool of equally sized, 64-byte aligned blocks.
class NodePool {
 public:
  static constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

  /// `block_size`: a non-zero multiple of 64, at most kChunkBytes.
  explicit NodePool(std::size_t block_size) noexcept;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;
  /// Returns every chunk to the system; the pool must have no live block.
  ~NodePool();

  /// One uninitialised block.  Throws std::bad_alloc, as operator new would,
  /// when the system has no chunk to give.
  void* allocate();
  /// Returns a block from allocate(); its contents are already destroyed.
  void deallocate(void* block) noexcept;

  std::size_t block_size() const noexcept { return block_; }
  /// Blocks handed out and not yet returned.
  std::size_t live() const noexcept;
  /// Bytes of chunks taken from the system.
  std::size_t reserved() const noexcept;

 private:
  struct FreeBlock {
    FreeBlock* next;
  };
  struct Chunk {
    Chunk* next;  // kept in the chunk's last block-sized slot, never handed out
  };

  void add_chunk();
  /// Unmaps every chunk except `keep` (may be null), which becomes empty.
  /// Called with no live block, under the mutex or from the destructor.
  void release_chunks(Chunk* keep) noexcept;

  const std::size_t block_;
  mutable ForkSafeMutex mu_;
  FreeBlock* free_ = nullptr;
  unsigned char* bump_ = nullptr;
  unsigned char* end_ = nullptr;
  Chunk* chunks_ = nullptr;
  std::size_t live_ = 0;
  std::size_t reserved_ = 0;
};

/// The process-wide pool for node records of `size` bytes (64, 128 or 192).
/// Made when the library loads (so no pool is first made under a lock) and
/// never destroyed, so nodes freed late at exit still have a home.
NodePool& node_pool(std::size_t size) noexcept;

}  // namespace netrove::trie
