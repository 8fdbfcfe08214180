// node_pool.hpp - where trie node blocks live.
//
// A routing table is millions of small nodes of a few sizes (32, 64 and
// 128 bytes, each aligned to its size or to 64; a pool of 192 is kept for
// larger ones)
// that a walk visits in no particular order.  Served by the general-purpose allocator they cost a memalign call
// each (slow, and padded on both sides), and they spread over 4 KiB pages,
// so every level of a walk risks a TLB miss on top of its cache miss.
//
// A pool per size carves blocks out of 2 MiB chunks that are asked to be
// backed by transparent huge pages.  Each chunk keeps, in its last block-
// sized slot, its own free list and the count of its live blocks; chunks
// that have free blocks are on the pool's open list:
//
//   chunk (2 MiB, 2 MiB aligned, MADV_HUGEPAGE)
//   +-------+-------+-------+-------+---- ... --------+--------------+
//   | block | block | free  | block |  not handed out | Chunk header |
//   +-------+-------+---|---+-------+---- ... --------+--------------+
//                       |                              free -> first free
//                       v                              live:  blocks out
//   free list: the first word of a free block links    prev/next: open list
//   the chunk's next free block
//
//   pool: open list  ->  chunk A <-> chunk B ...   (chunks with free blocks)
//         bump chunk ->  the chunk whose untouched tail is carved next
//         spare      ->  at most one empty chunk, kept for the next growth
//
// A block is aligned to 32 bytes times the largest power of two dividing
// its size / 32 (32-byte blocks to 32, the others to 64), because the chunk
// is 2 MiB aligned and every size is a multiple of 32; a block finds its
// chunk by masking its address.  The header needs more than one 32-byte
// slot, so it takes as many trailing slots as it needs.
//
// Every chunk of every pool lies in one address range reserved when the
// library loads (the node arena), so a block is also named by a 32-bit
// NodeIndex: its offset in the arena in 32-byte units, plus one (0 names
// no block; 2^32 units cover the arena's 64 GiB twice).  Compressed nodes
// link their children by index, which is what lets them fit one cache line
// (or half of one).  The arena hands out chunk-sized pieces
// with one atomic add and never takes one back; a pool keeps the chunks it
// gave up (their memory returned to the system) to reuse first:
//
//   arena (reserved, no memory)      cursor: next chunk never handed out
//   +--------+--------+--------+-----|-------------------- ... ----+
//   | pool 64| pool128| pool 64|  untouched reservation             |
//   +--------+--------+--------+----------------------------- ... ----+
//   ^ base: NodeIndex i names base + (i - 1) * 32
//
// Allocation, numbered as in the code:
//   1. a free block of the first open chunk (the chunk leaves the open list
//      when its last free block goes);
//   2. otherwise the next block of the bump chunk;
//   3. otherwise a new bump chunk: the spare, a given-up chunk, or a fresh
//      piece of the arena.
// Free blocks are thus reused before any new memory is touched, and the
// pool holds at most as many chunks as its peak of live blocks needs, plus
// the spare.
//
// Deallocation pushes the block on its chunk's free list (the chunk joins
// the open list if it was full) and, when the chunk's last live block goes:
//   4. the chunk becomes the spare, emptied, if there is none;
//   5. otherwise its memory goes back to the system (the address range stays
//      the pool's, for case 3): memory follows the nodes that live, a whole
//      chunk at a time.  Keeping one spare means a table whose size swings
//      around a chunk boundary does not map and clear a chunk on each swing.
//
// One mutex per pool guards all of it: writers allocate under their trie's
// writer lock and deferred-free passes free, so the mutex is nearly never
// contended.  Under AddressSanitizer free blocks are poisoned, so a stale
// pointer into a free block is still reported, and chunks are scanned by
// the leak checker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "sync/sync.hpp"

namespace netrove::trie {

/// Names a node block by its place in the node arena; 0 = none.
using NodeIndex = std::uint32_t;

namespace arena_detail {
/// The arena's base minus 32, so that index i is at g_base + i * 32.  Set
/// once while the library loads, before any pool exists.
inline unsigned char* g_base = nullptr;
}  // namespace arena_detail

/// The index of a block from any NodePool (non-null).
inline NodeIndex index_of(const void* block) noexcept {
  return static_cast<NodeIndex>((static_cast<const unsigned char*>(block) - arena_detail::g_base) >> 5);
}
/// The block of index `i` (non-zero).
inline void* block_at(NodeIndex i) noexcept { return arena_detail::g_base + (std::size_t{i} << 5); }

/// A pool of equally sized blocks (alignment above).
class NodePool {
 public:
  static constexpr std::size_t kChunkBytes = std::size_t{2} << 20;

  /// `block_size`: a non-zero multiple of 32, at most kChunkBytes / 2.
  explicit NodePool(std::size_t block_size) noexcept;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;
  /// Returns the spare chunk to the system; the pool must have no live
  /// block (so it holds no other chunk).
  ~NodePool();

  /// One uninitialised block.  Throws std::bad_alloc, as operator new would,
  /// when the system has no chunk to give.
  void* allocate();
  /// `n` uninitialised blocks into out[0..n), under one lock round (a bulk
  /// load takes its nodes a batch at a time).  Errors as allocate, with
  /// none of the n handed out.
  void allocate_batch(void** out, std::size_t n);
  /// Returns a block from allocate(); its contents are already destroyed.
  /// Gives the block's chunk back to the system when it was the chunk's
  /// last live block and a spare chunk is kept already.
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
  /// Kept in the chunk's last block-sized slots, never handed out.
  struct Chunk {
    Chunk* prev;           // open list, while `open`
    Chunk* next;
    FreeBlock* free;       // this chunk's free blocks
    std::size_t live;      // blocks handed out and not yet returned
    bool open;
  };

  /// allocate and deallocate with mu_ held.
  void* allocate_locked();
  void deallocate_locked(void* block) noexcept;
  unsigned char* base_of(const Chunk* c) const noexcept;
  Chunk* chunk_of(void* block) const noexcept;
  /// Where the header of the chunk at `base` sits.
  Chunk* header_in(unsigned char* base) const noexcept;
  /// A chunk with its header set up and every block untouched: a given-up
  /// chunk of this pool, else a new piece of the arena.
  Chunk* map_new_chunk();
  /// Returns the chunk's memory to the system and keeps its range (case 5).
  void unmap_chunk(Chunk* c) noexcept;
  /// Makes the spare, or a new chunk, the bump chunk (case 3).
  void start_bump_chunk();
  /// Maps the bump chunk's memory from the last block handed out on, up
  /// to kPrefaultBytes at once (node_pool.cpp).
  void prefault() noexcept;
  static constexpr std::size_t kPrefaultBytes = std::size_t{64} << 10;
  void open_chunk(Chunk* c) noexcept;
  void close_chunk(Chunk* c) noexcept;
  /// A chunk without live blocks: the spare or unmapped (cases 4 and 5).
  void retire_chunk(Chunk* c) noexcept;

  const std::size_t block_;
  mutable ForkSafeMutex mu_;
  Chunk* open_ = nullptr;
  Chunk* bump_chunk_ = nullptr;
  unsigned char* bump_ = nullptr;
  unsigned char* end_ = nullptr;
  unsigned char* faulted_ = nullptr;  // the bump chunk is mapped below this
  Chunk* spare_ = nullptr;
  Chunk* given_up_ = nullptr;  // chunks without memory but their header, linked by `next`
  std::size_t live_ = 0;
  std::size_t reserved_ = 0;
};

/// The sizes of the process-wide pools.
inline constexpr std::size_t kNodePoolSizes[] = {32, 64, 128, 192};

/// The process-wide pool for node blocks of `size` bytes (one of
/// kNodePoolSizes).  Made when the library loads (so no pool is first made
/// under a lock) and never destroyed, so nodes freed late at exit still
/// have a home.
NodePool& node_pool(std::size_t size) noexcept;

/// Blocks live in every process-wide pool, and the bytes they take.
std::size_t live_node_blocks() noexcept;
std::size_t live_node_bytes() noexcept;

}  // namespace netrove::trie
