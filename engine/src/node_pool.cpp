// node_pool.cpp - chunks from mmap, blocks from a bump pointer and a free
// list (see node_pool.hpp for the picture).

#include "node_pool.hpp"

#include <sys/mman.h>

#include <new>

#include "netrove/panic.hpp"

// Under AddressSanitizer free blocks are poisoned, and every chunk is a root
// region of the leak checker: records that only pooled nodes point to are
// reachable, as they were when nodes lived on the heap.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define NETROVE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define NETROVE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#define NETROVE_ROOT_REGION(p, n) __lsan_register_root_region((p), (n))
#define NETROVE_DROP_ROOT_REGION(p, n) __lsan_unregister_root_region((p), (n))
#else
#define NETROVE_POISON(p, n) ((void)(p), (void)(n))
#define NETROVE_UNPOISON(p, n) ((void)(p), (void)(n))
#define NETROVE_ROOT_REGION(p, n) ((void)(p), (void)(n))
#define NETROVE_DROP_ROOT_REGION(p, n) ((void)(p), (void)(n))
#endif

namespace netrove::trie {

namespace {

/// A 2 MiB aligned mapping of kChunkBytes: map twice the size and cut off
/// the unaligned head and the tail.
unsigned char* map_chunk() {
  constexpr std::size_t n = NodePool::kChunkBytes;
  void* raw = mmap(nullptr, 2 * n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* base = static_cast<unsigned char*>(raw);
  const std::uintptr_t addr = reinterpret_cast<std::uintptr_t>(base);
  auto* aligned = base + ((n - addr % n) % n);
  if (aligned > base) munmap(base, static_cast<std::size_t>(aligned - base));
  unsigned char* tail = aligned + n;
  if (tail < base + 2 * n) munmap(tail, static_cast<std::size_t>(base + 2 * n - tail));
  // Advice only: without huge pages the pool still works, with more TLB misses.
  (void)madvise(aligned, n, MADV_HUGEPAGE);
  NETROVE_ROOT_REGION(aligned, n);
  return aligned;
}

}  // namespace

NodePool::NodePool(std::size_t block_size) noexcept : block_(block_size) {
  NETROVE_ASSERT(block_size != 0 && block_size % 64 == 0 && block_size <= kChunkBytes / 2);
}

NodePool::~NodePool() {
  NETROVE_ASSERT(live_ == 0);
  release_chunks(nullptr);
}

void NodePool::release_chunks(Chunk* keep) noexcept {
  Chunk* c = chunks_;
  while (c != nullptr) {
    Chunk* next = c->next;
    if (c != keep) {
      auto* base = reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(c) & ~(kChunkBytes - 1));
      NETROVE_UNPOISON(base, kChunkBytes);
      NETROVE_DROP_ROOT_REGION(base, kChunkBytes);
      munmap(base, kChunkBytes);
      reserved_ -= kChunkBytes;
    }
    c = next;
  }
  chunks_ = keep;
  free_ = nullptr;
  bump_ = end_ = nullptr;
  if (keep != nullptr) {
    keep->next = nullptr;
    bump_ = reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(keep) & ~(kChunkBytes - 1));
    end_ = reinterpret_cast<unsigned char*>(keep);
    NETROVE_POISON(bump_, static_cast<std::size_t>(end_ - bump_));
  }
}

void NodePool::add_chunk() {
  unsigned char* base = map_chunk();
  // The last whole block of the chunk records the chunk in the pool's list.
  const std::size_t blocks = kChunkBytes / block_;
  auto* link = reinterpret_cast<Chunk*>(base + (blocks - 1) * block_);
  link->next = chunks_;
  chunks_ = link;
  NETROVE_POISON(base, (blocks - 1) * block_);
  bump_ = base;
  end_ = base + (blocks - 1) * block_;
  reserved_ += kChunkBytes;
}

void* NodePool::allocate() {
  std::lock_guard lock(mu_);
  void* out;
  if (free_ != nullptr) {
    FreeBlock* b = free_;
    NETROVE_UNPOISON(b, sizeof(FreeBlock));
    free_ = b->next;
    out = b;
  } else {
    if (bump_ == end_) add_chunk();
    out = bump_;
    bump_ += block_;
  }
  NETROVE_UNPOISON(out, block_);
  ++live_;
  return out;
}

void NodePool::deallocate(void* block) noexcept {
  NETROVE_ASSERT(block != nullptr && reinterpret_cast<std::uintptr_t>(block) % 64 == 0);
  std::lock_guard lock(mu_);
  NETROVE_ASSERT(live_ > 0);
  auto* b = static_cast<FreeBlock*>(block);
  b->next = free_;
  free_ = b;
  NETROVE_POISON(block, block_);
  // The last node gone (every trie dropped): give the chunks back to the
  // system but one, so that a process creating and dropping small tries
  // does not map and clear a fresh chunk each time.
  if (--live_ == 0) release_chunks(chunks_);
}

std::size_t NodePool::live() const noexcept {
  std::lock_guard lock(mu_);
  return live_;
}

std::size_t NodePool::reserved() const noexcept {
  std::lock_guard lock(mu_);
  return reserved_;
}

NodePool& node_pool(std::size_t size) noexcept {
  // Leaked on purpose: tries with static storage free nodes while the process exits.
  static NodePool* const pools[3] = {new NodePool(64), new NodePool(128), new NodePool(192)};
  NETROVE_ASSERT(size == 64 || size == 128 || size == 192);
  return *pools[size / 64 - 1];
}

namespace {
// The pools' locks enroll for fork when the pools are made: make them as the
// library loads, not on a writer's first node, which holds its trie's lock.
[[maybe_unused]] const bool g_pools_made = (node_pool(64), true);
}  // namespace

}  // namespace netrove::trie
