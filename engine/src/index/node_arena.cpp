// The read-index node arena: 16-byte size classes over 2 MiB chunks.
#include "node_arena.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <atomic>
#include <mutex>

#include "sync/sync.hpp"
#include <new>

#include "sync/panic.hpp"

namespace netrove::index {

namespace {

constexpr std::size_t kChunk = std::size_t{2} << 20;
constexpr std::size_t kGrain = 16;
constexpr std::size_t kClasses = kArenaMaxBlock / kGrain + 1;

struct FreeBlock {
  FreeBlock* next;
  std::size_t cls;
};

struct Arena {
  /// Blocks freed since the last allocation, pushed without the mutex:
  /// deferred-free passes free while writers of other tries allocate, and a
  /// writer must not wait for a thread that was descheduled holding a lock.
  std::atomic<FreeBlock*> returned{nullptr};
  std::atomic<std::size_t> returned_bytes{0};
  ForkSafeMutex mu;
  FreeBlock* free[kClasses] = {};
  char* bump = nullptr;
  char* end = nullptr;
  std::size_t in_use = 0;

  /// A fresh chunk, 2 MiB aligned so that it can be one huge page.
  void grow() {
    void* raw = ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    char* base = static_cast<char*>(raw);
    char* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(base) + kChunk - 1) & ~(kChunk - 1));
    // Trim the slack on both sides; only the aligned chunk stays mapped.
    if (aligned > base) ::munmap(base, static_cast<std::size_t>(aligned - base));
    ::munmap(aligned + kChunk, static_cast<std::size_t>(base + 2 * kChunk - (aligned + kChunk)));
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, kChunk, MADV_HUGEPAGE);
#endif
    bump = aligned;
    end = aligned + kChunk;
  }
};

Arena& arena() {
  static Arena* a = new Arena;  // never destroyed: blocks may be freed at exit
  return *a;
}

// The arena's lock enrolls for fork when the arena is made: make it as the
// library loads, not on a writer's first node, which holds its trie's lock.
[[maybe_unused]] Arena& g_arena_made = arena();

std::size_t class_of(std::size_t bytes) noexcept { return (bytes + kGrain - 1) / kGrain; }

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every node is its own heap block, so that a read
// of a freed node is reported.
void* arena_allocate(std::size_t bytes) { return ::operator new(bytes); }
void arena_free(void* p, std::size_t) noexcept { ::operator delete(p); }
std::size_t arena_in_use() noexcept { return 0; }
#else
void* arena_allocate(std::size_t bytes) {
  NETROVE_ASSERT(bytes > 0 && bytes <= kArenaMaxBlock);
  const std::size_t c = class_of(bytes);
  Arena& a = arena();
  std::lock_guard g(a.mu);
  // Sort the returned blocks into their lists (taking the whole stack at
  // once, so no block can come back under a concurrent pop).
  for (FreeBlock* f = a.returned.exchange(nullptr, std::memory_order_acquire); f;) {
    FreeBlock* next = f->next;
    f->next = a.free[f->cls];
    a.free[f->cls] = f;
    f = next;
  }
  a.in_use += c * kGrain;
  if (FreeBlock* f = a.free[c]) {
    a.free[c] = f->next;
    return f;
  }
  if (static_cast<std::size_t>(a.end - a.bump) < c * kGrain) {
    // The chunk's tail is too short: hand it to the free lists it fits.
    if (a.bump) {
      const std::size_t rest = static_cast<std::size_t>(a.end - a.bump) / kGrain;
      if (rest > 0) {
        auto* f = reinterpret_cast<FreeBlock*>(a.bump);
        f->next = a.free[rest];
        a.free[rest] = f;
      }
    }
    try {
      a.grow();
    } catch (...) {
      a.in_use -= c * kGrain;
      throw;
    }
  }
  void* p = a.bump;
  a.bump += c * kGrain;
  return p;
}

void arena_free(void* p, std::size_t bytes) noexcept {
  const std::size_t c = class_of(bytes);
  Arena& a = arena();
  auto* f = static_cast<FreeBlock*>(p);
  f->cls = c;
  f->next = a.returned.load(std::memory_order_relaxed);
  while (!a.returned.compare_exchange_weak(f->next, f, std::memory_order_release, std::memory_order_relaxed)) {
  }
  a.returned_bytes.fetch_add(c * kGrain, std::memory_order_relaxed);
}

std::size_t arena_in_use() noexcept {
  Arena& a = arena();
  std::lock_guard g(a.mu);
  return a.in_use - a.returned_bytes.load(std::memory_order_relaxed);
}
#endif

}  // namespace netrove::index
