// node_pool.cpp - chunks from mmap, blocks from per-chunk free lists and a
// bump pointer, empty chunks given back (see node_pool.hpp for the picture
// and the numbered cases).

#include "trie/node_pool.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "sync/panic.hpp"

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

/// The node arena: reserved address space, no memory until a chunk is
/// taken.  64 GiB holds a billion 64-byte nodes; a smaller range is tried
/// when the system refuses that much.
struct Arena {
  unsigned char* base = nullptr;
  std::size_t bytes = 0;
  std::atomic<std::size_t> cursor{0};

  Arena() {
    for (std::size_t n = std::size_t{64} << 30; n >= (std::size_t{1} << 30); n /= 2) {
      void* raw = mmap(nullptr, n + NodePool::kChunkBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (raw == MAP_FAILED) continue;
      auto* b = static_cast<unsigned char*>(raw);
      const std::uintptr_t addr = reinterpret_cast<std::uintptr_t>(b);
      base = b + ((NodePool::kChunkBytes - addr % NodePool::kChunkBytes) % NodePool::kChunkBytes);
      bytes = n;
      arena_detail::g_base = base - 32;
      return;
    }
    panic("cannot reserve address space for trie nodes");
  }

  /// A fresh 2 MiB aligned chunk, readable and writable.
  unsigned char* take() {
    const std::size_t at = cursor.fetch_add(NodePool::kChunkBytes, std::memory_order_relaxed);
    if (at + NodePool::kChunkBytes > bytes) throw std::bad_alloc();
    unsigned char* c = base + at;
    if (mprotect(c, NodePool::kChunkBytes, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
    // No huge-page advice: lookups read the index, not these nodes, and
    // where the kernel compacts memory for huge pages on fault, the advice
    // made a table's first load three times slower.
    return c;
  }
};

Arena& arena() {
  static Arena* const a = new Arena();  // leaked: nodes may be freed during exit
  return *a;
}

/// Start of the 4 KiB page holding `p`.
unsigned char* page_of(void* p) noexcept {
  return reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t{4095});
}

}  // namespace

NodePool::NodePool(std::size_t block_size) noexcept : block_(block_size) {
  NETROVE_ASSERT(block_size != 0 && block_size % 32 == 0 && block_size <= kChunkBytes / 2);
  (void)arena();
}

NodePool::~NodePool() {
  NETROVE_ASSERT(live_ == 0 && open_ == nullptr);
  if (spare_ != nullptr) unmap_chunk(spare_);
  // The arena keeps the ranges; only their headers' pages are left to free.
  for (Chunk* c = given_up_; c != nullptr;) {
    Chunk* next = c->next;
    (void)madvise(page_of(c), static_cast<std::size_t>(base_of(c) + kChunkBytes - page_of(c)), MADV_DONTNEED);
    c = next;
  }
}

unsigned char* NodePool::base_of(const Chunk* c) const noexcept {
  return reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(c) & ~(kChunkBytes - 1));
}

NodePool::Chunk* NodePool::header_in(unsigned char* base) const noexcept {
  // The header takes the last ceil(sizeof(Chunk) / block) whole slots.
  const std::size_t slots = (sizeof(Chunk) + block_ - 1) / block_;
  return reinterpret_cast<Chunk*>(base + (kChunkBytes / block_ - slots) * block_);
}

NodePool::Chunk* NodePool::chunk_of(void* block) const noexcept {
  return header_in(reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(block) & ~(kChunkBytes - 1)));
}

NodePool::Chunk* NodePool::map_new_chunk() {
  unsigned char* base;
  if (given_up_ != nullptr) {
    base = base_of(given_up_);
    given_up_ = given_up_->next;
  } else {
    base = arena().take();
  }
  NETROVE_ROOT_REGION(base, kChunkBytes);
  Chunk* c = header_in(base);
  *c = Chunk{nullptr, nullptr, nullptr, 0, false};
  NETROVE_POISON(base, static_cast<std::size_t>(reinterpret_cast<unsigned char*>(c) - base));
  reserved_ += kChunkBytes;
  return c;
}

void NodePool::unmap_chunk(Chunk* c) noexcept {
  unsigned char* base = base_of(c);
  NETROVE_UNPOISON(base, kChunkBytes);
  NETROVE_DROP_ROOT_REGION(base, kChunkBytes);
  // Everything but the header's page goes back; the header links the chunk.
  (void)madvise(base, static_cast<std::size_t>(page_of(c) - base), MADV_DONTNEED);
  c->next = given_up_;
  given_up_ = c;
  reserved_ -= kChunkBytes;
}

void NodePool::start_bump_chunk() {
  Chunk* c = spare_ != nullptr ? spare_ : map_new_chunk();
  spare_ = nullptr;
  bump_chunk_ = c;
  bump_ = base_of(c);
  end_ = reinterpret_cast<unsigned char*>(c);
  faulted_ = bump_;
}

void NodePool::prefault() noexcept {
  // The block just handed out ends past faulted_.  One madvise maps the
  // next kPrefaultBytes of the bump chunk: a fault per page costs a trap
  // and a charge each, which a bulk load of fresh nodes paid per 4 KiB.
  // Failure (a kernel without MADV_POPULATE_WRITE) leaves the pages to
  // fault in one by one, as before.
  unsigned char* from = page_of(bump_ - block_);
  unsigned char* to = std::min(end_, from + kPrefaultBytes);
  (void)madvise(from, static_cast<std::size_t>(to - from), MADV_POPULATE_WRITE);
  faulted_ = to;
}

void NodePool::open_chunk(Chunk* c) noexcept {
  c->open = true;
  c->prev = nullptr;
  c->next = open_;
  if (open_ != nullptr) open_->prev = c;
  open_ = c;
}

void NodePool::close_chunk(Chunk* c) noexcept {
  if (c->prev != nullptr) c->prev->next = c->next;
  else open_ = c->next;
  if (c->next != nullptr) c->next->prev = c->prev;
  c->prev = c->next = nullptr;
  c->open = false;
}

void NodePool::retire_chunk(Chunk* c) noexcept {
  NETROVE_ASSERT(c->live == 0);
  if (c->open) close_chunk(c);
  if (c == bump_chunk_) {
    bump_chunk_ = nullptr;
    bump_ = end_ = nullptr;
  }
  if (spare_ == nullptr) {  // 4
    c->free = nullptr;
    NETROVE_POISON(base_of(c), static_cast<std::size_t>(reinterpret_cast<unsigned char*>(c) - base_of(c)));
    spare_ = c;
  } else {  // 5
    unmap_chunk(c);
  }
}

void* NodePool::allocate() {
  std::lock_guard lock(mu_);
  return allocate_locked();
}

void NodePool::allocate_batch(void** out, std::size_t n) {
  std::lock_guard lock(mu_);
  std::size_t i = 0;
  try {
    for (; i < n; ++i) out[i] = allocate_locked();
  } catch (...) {
    while (i > 0) deallocate_locked(out[--i]);
    throw;
  }
}

void* NodePool::allocate_locked() {
  void* out;
  if (Chunk* c = open_; c != nullptr) {  // 1
    FreeBlock* b = c->free;
    NETROVE_UNPOISON(b, sizeof(FreeBlock));
    c->free = b->next;
    if (c->free == nullptr) close_chunk(c);
    ++c->live;
    out = b;
  } else {
    if (bump_ == end_) start_bump_chunk();  // 3
    out = bump_;                            // 2
    bump_ += block_;
    if (bump_ > faulted_) prefault();
    ++bump_chunk_->live;
  }
  NETROVE_UNPOISON(out, block_);
  ++live_;
  return out;
}

void NodePool::deallocate(void* block) noexcept {
  std::lock_guard lock(mu_);
  deallocate_locked(block);
}

void NodePool::deallocate_locked(void* block) noexcept {
  NETROVE_ASSERT(block != nullptr && reinterpret_cast<std::uintptr_t>(block) % 32 == 0);
  Chunk* c = chunk_of(block);
  NETROVE_ASSERT(live_ > 0 && c->live > 0);
  auto* b = static_cast<FreeBlock*>(block);
  b->next = c->free;
  c->free = b;
  NETROVE_POISON(block, block_);
  if (!c->open) open_chunk(c);
  --live_;
  if (--c->live == 0) retire_chunk(c);
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
  static NodePool* const pools[4] = {new NodePool(32), new NodePool(64), new NodePool(128), new NodePool(192)};
  NETROVE_ASSERT(size == 32 || size == 64 || size == 128 || size == 192);
  return *pools[size == 32 ? 0 : size / 64];
}

std::size_t live_node_blocks() noexcept {
  std::size_t n = 0;
  for (const std::size_t size : kNodePoolSizes) n += node_pool(size).live();
  return n;
}

std::size_t live_node_bytes() noexcept {
  std::size_t n = 0;
  for (const std::size_t size : kNodePoolSizes) n += node_pool(size).live() * size;
  return n;
}

namespace {
// The pools' locks enroll for fork when the pools are made: make them as the
// library loads, not on a writer's first node, which holds its trie's lock.
[[maybe_unused]] const bool g_pools_made = (node_pool(64), true);
}  // namespace

}  // namespace netrove::trie
