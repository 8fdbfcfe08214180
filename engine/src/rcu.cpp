// Deferred reclamation on liburcu's memb flavour; see rcu.hpp.
#include "rcu.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "netrove/panic.hpp"

namespace netrove::rcu {

#if defined(NETROVE_TSAN)
char g_tsan_grace;
#endif

namespace {

/// Unregisters the thread when it exits.  Armed by the first registration.
struct Registrar {
  bool armed = false;
  ~Registrar() {
    if (armed) {
      urcu_memb_unregister_thread();
      t_registered = false;
    }
  }
};
thread_local Registrar t_registrar;

struct Retired {
  void* obj;
  void (*destroy)(void*);
};

/// One call_rcu unit: a single object, or a batch released by callbacks.
/// Standard layout, so the rcu_head at offset 0 converts back to the block.
struct Block {
  rcu_head head;
  Retired one;
  std::vector<Retired>* many;
};
static_assert(std::is_standard_layout_v<Block> && offsetof(Block, head) == 0);

std::atomic<std::uint64_t> g_pending{0};

/// Set while this thread runs destroy callbacks; releases then join `t_batch`.
thread_local bool t_in_callback = false;
thread_local std::vector<Retired> t_batch;

void enqueue(Block* b) {
  ensure_registered();
  g_pending.fetch_add(1, std::memory_order_relaxed);
#if defined(NETROVE_TSAN)
  tsan_release(&g_tsan_grace);
#endif
  urcu_memb_call_rcu(&b->head, [](rcu_head* h) {
    Block* blk = reinterpret_cast<Block*>(h);
#if defined(NETROVE_TSAN)
    tsan_acquire(&g_tsan_grace);
#endif
    // liburcu registers its worker threads itself.
    t_registered = true;
    t_in_callback = true;
    if (blk->one.obj) blk->one.destroy(blk->one.obj);
    if (blk->many) {
      for (const Retired& r : *blk->many) r.destroy(r.obj);
      delete blk->many;
    }
    t_in_callback = false;
    if (!t_batch.empty()) {
      Block* next = new Block{};
      next->many = new std::vector<Retired>(std::move(t_batch));
      t_batch.clear();
      enqueue(next);
    }
    delete blk;
    g_pending.fetch_sub(1, std::memory_order_release);
  });
}

}  // namespace

void register_thread_slow() {
  urcu_memb_register_thread();
  t_registered = true;
  t_registrar.armed = true;
}

void retire(void* obj, void (*destroy)(void*)) {
  NETROVE_ASSERT(obj != nullptr);
  if (t_in_callback) {
    t_batch.push_back({obj, destroy});
    return;
  }
  Block* b = new Block{};
  b->one = {obj, destroy};
  enqueue(b);
}

void drain() {
  NETROVE_ASSERT(!t_in_callback);
  // Polls instead of urcu_memb_barrier(): the barrier hands memory between
  // liburcu's threads in a way ThreadSanitizer cannot follow.
  while (g_pending.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
#if defined(NETROVE_TSAN)
  tsan_acquire(&g_tsan_grace);
#endif
}

std::uint64_t pending() noexcept { return g_pending.load(std::memory_order_acquire); }

}  // namespace netrove::rcu
