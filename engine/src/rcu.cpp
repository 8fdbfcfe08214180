// Deferred reclamation on liburcu's bulletproof flavour, run by the writers
// themselves; see rcu.hpp.
#include "rcu.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "netrove/panic.hpp"
#include "netrove/sync.hpp"

namespace netrove::rcu {

#if defined(NETROVE_TSAN)
char g_tsan_grace;
#endif

namespace {

struct Retired {
  void* obj;
  void (*destroy)(void*);
};

/// The retire list.  Held only to push or to take the whole list.
ForkSafeMutex g_list_mu{ForkGuard::Rank::leaf};
std::vector<Retired> g_list;
/// g_list.size(), readable without the lock.
std::atomic<std::size_t> g_waiting{0};

/// Held by the one thread running destroy passes.
ForkSafeMutex g_pass_mu{ForkGuard::Rank::reclaim};

/// Set while this thread runs destroy functions: what they retire only
/// joins the list.
thread_local bool t_in_pass = false;

/// Deepest chain of objects that free each other in turn (one grace period
/// each): a node releases its children and record, a child-map entry its
/// child, down at most 129 trie levels.  drain() stops after this many
/// passes even if other threads keep retiring meanwhile.
constexpr int kMaxPasses = 4 * 130;

/// One pass, g_pass_mu held and outside any read section: take the list,
/// wait for a grace period, destroy what was taken.  Returns how many.
std::size_t pass(std::vector<Retired>& batch) {
  batch.clear();
  {
    std::lock_guard lock(g_list_mu);
    batch.swap(g_list);
    g_waiting.store(0, std::memory_order_relaxed);
  }
  if (batch.empty()) return 0;
  urcu_bp_synchronize_rcu();
#if defined(NETROVE_TSAN)
  tsan_acquire(&g_tsan_grace);
#endif
  t_in_pass = true;
  for (const Retired& r : batch) r.destroy(r.obj);
  t_in_pass = false;
  return batch.size();
}

/// Objects batched by the calling thread's passes; kept to reuse capacity.
thread_local std::vector<Retired> t_batch;

bool may_wait() noexcept { return !t_in_pass && !urcu_bp_read_ongoing(); }

}  // namespace

void retire(void* obj, void (*destroy)(void*)) {
  NETROVE_ASSERT(obj != nullptr);
  std::lock_guard lock(g_list_mu);
  g_list.push_back({obj, destroy});
  g_waiting.store(g_list.size(), std::memory_order_relaxed);
}

void collect() noexcept {
  if (g_waiting.load(std::memory_order_relaxed) < kCollectAt || !may_wait()) return;
  std::unique_lock lock(g_pass_mu, std::try_to_lock);
  if (!lock.owns_lock()) return;  // that thread takes what waits now
  while (g_waiting.load(std::memory_order_relaxed) >= kCollectAt) pass(t_batch);
}

void drain() noexcept {
  if (!may_wait()) return;
  std::lock_guard lock(g_pass_mu);
  for (int i = 0; i < kMaxPasses && pass(t_batch) != 0; ++i) {
  }
  t_batch = {};  // a drained process keeps no large buffer
}

std::size_t pending() noexcept { return g_waiting.load(std::memory_order_relaxed); }

void fork_prepare() noexcept { urcu_bp_before_fork(); }
void fork_parent() noexcept { urcu_bp_after_fork_parent(); }
void fork_child() noexcept { urcu_bp_after_fork_child(); }

}  // namespace netrove::rcu
