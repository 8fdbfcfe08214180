// Deferred reclamation on liburcu's memb flavour, run by the writers
// themselves; see rcu.hpp.
#include "sync/rcu.hpp"

#include <pthread.h>
// The reader counters, for fork_child().
#include <urcu/static/urcu-memb.h>

#include <atomic>
#include <mutex>
#include <algorithm>
#include <utility>
#include <vector>

#include "sync/panic.hpp"
#include "sync/sync.hpp"

namespace netrove::rcu {

#if defined(NETROVE_TSAN)
char g_tsan_grace;
#endif

namespace {

/// Every registered thread's reader counter, under g_readers_mu.
ForkSafeMutex g_readers_mu{ForkGuard::Rank::leaf};
// Leaked, like the list below: threads may exit after static destructors ran.
std::vector<std::pair<pthread_t, urcu_reader*>>& g_readers = *new std::vector<std::pair<pthread_t, urcu_reader*>>;

/// Unregisters the thread when it exits.  Armed by the first registration.
struct Registrar {
  bool armed = false;
  ~Registrar() {
    if (!armed) return;
    std::lock_guard lock(g_readers_mu);
    std::erase_if(g_readers, [](const auto& r) { return pthread_equal(r.first, pthread_self()); });
    urcu_memb_unregister_thread();
    t_registered = false;
  }
};
thread_local Registrar t_registrar;

struct Retired {
  void* obj;
  void (*destroy)(void*);
};

/// The retire list.  Held only to push or to take the whole list.
ForkSafeMutex g_list_mu{ForkGuard::Rank::leaf};
// Leaked on purpose: what still waits when the process exits stays
// reachable (the leak checker sees it) instead of being cut loose by the
// list's destructor.
std::vector<Retired>& g_list = *new std::vector<Retired>;
/// The weight of what g_list holds, readable without the lock.
std::atomic<std::size_t> g_waiting{0};

/// Held by the one thread running destroy passes.
ForkSafeMutex g_pass_mu{ForkGuard::Rank::reclaim};

/// Set while this thread runs destroy functions: what they retire only
/// joins the list, and is counted in t_released.
thread_local bool t_in_pass = false;
thread_local std::size_t t_released = 0;

/// Set inside a DestroyAtOnce scope.
thread_local bool t_at_once = false;

/// Deepest chain of objects that free each other in turn (one grace period
/// each): a node releases its children and record, a child-map entry its
/// child, down at most 129 trie levels.  drain() follows such chains (what
/// its own passes release), not what other threads retire meanwhile, and
/// never runs more passes than this.
constexpr int kMaxPasses = 4 * 130;

/// One pass, g_pass_mu held and outside any read section: take the list,
/// wait for a grace period, destroy what was taken.  Returns how many
/// objects those destroy functions retired in turn.
std::size_t pass(std::vector<Retired>& batch) {
  batch.clear();
  {
    std::lock_guard lock(g_list_mu);
    batch.swap(g_list);
    g_waiting.store(0, std::memory_order_relaxed);
  }
  if (batch.empty()) return 0;
  urcu_memb_synchronize_rcu();
#if defined(NETROVE_TSAN)
  tsan_acquire(&g_tsan_grace);
#endif
  t_in_pass = true;
  t_released = 0;
  // What waited a grace period is out of cache by now; each destroy
  // function starts by writing its object (a count, a link), so the
  // object a few places ahead is fetched while this one is destroyed.
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (i + kAhead < batch.size()) __builtin_prefetch(batch[i + kAhead].obj, 1);
    batch[i].destroy(batch[i].obj);
  }
  t_in_pass = false;
  return t_released;
}

/// Objects batched by the calling thread's passes; kept to reuse capacity.
/// A thread's thread-local objects are destroyed before what it destroys
/// later: at exit, the main thread's go before every static object, and an
/// engine kept in one drains after its buffer is gone.  So the buffer says
/// when it is gone (in a flag with no destructor), and from then on each
/// pass uses a buffer of its own.
thread_local bool t_batch_gone = false;
struct BatchBuffer {
  std::vector<Retired> retired;
  ~BatchBuffer() { t_batch_gone = true; }
};
thread_local BatchBuffer t_batch;

bool may_wait() noexcept { return !t_in_pass && !(t_registered && urcu_memb_read_ongoing()); }

}  // namespace

void register_thread_slow() {
  std::lock_guard lock(g_readers_mu);
  urcu_memb_register_thread();
  g_readers.emplace_back(pthread_self(), &URCU_TLS(urcu_memb_reader));
  t_registered = true;
  t_registrar.armed = true;
}

void retire(void* obj, void (*destroy)(void*), std::size_t weight) {
  if (t_at_once) {
    NETROVE_ASSERT(obj != nullptr);
    destroy(obj);
    return;
  }
  retire_shared(obj, destroy, weight);
}

void retire_shared(void* obj, void (*destroy)(void*), std::size_t weight) {
  NETROVE_ASSERT(obj != nullptr);
  if (t_in_pass) ++t_released;
  std::lock_guard lock(g_list_mu);
  g_list.push_back({obj, destroy});
  g_waiting.store(g_waiting.load(std::memory_order_relaxed) + weight, std::memory_order_relaxed);
}

void collect() noexcept {
  if (g_waiting.load(std::memory_order_relaxed) < kCollectAt || !may_wait()) return;
  std::unique_lock lock(g_pass_mu, std::try_to_lock);
  if (!lock.owns_lock()) return;  // that thread takes what waits now
  // Two passes at most: one takes all that waits, the second what the
  // first released.  Threads that go on retiring meanwhile collect in their
  // own calls, so no caller frees for everyone forever.
  std::vector<Retired> own;
  std::vector<Retired>& batch = t_batch_gone ? own : t_batch.retired;
  for (int i = 0; i < 2 && g_waiting.load(std::memory_order_relaxed) >= kCollectAt; ++i) pass(batch);
}

void drain() noexcept {
  if (!may_wait()) return;
  std::lock_guard lock(g_pass_mu);
  std::vector<Retired> own;
  std::vector<Retired>& batch = t_batch_gone ? own : t_batch.retired;
  for (int i = 0; i < kMaxPasses && pass(batch) != 0; ++i) {
  }  // the first pass takes all that waits; later ones only what it released
  batch = {};  // a drained process keeps no large buffer
}

DestroyAtOnce::DestroyAtOnce() noexcept : outer_(!t_at_once) { t_at_once = true; }
DestroyAtOnce::~DestroyAtOnce() {
  if (outer_) t_at_once = false;
}

std::size_t pending() noexcept { return g_waiting.load(std::memory_order_relaxed); }

void fork_child() noexcept {
  // Only this thread lives on.  The others' counters are copies taken at
  // fork(); one inside a read section would never leave it.  Their
  // registry entries stay (liburcu unregisters only the calling thread)
  // and read as idle from here on.
  const pthread_t self = pthread_self();
  std::erase_if(g_readers, [self](const auto& r) {
    if (pthread_equal(r.first, self)) return false;
    CMM_STORE_SHARED(r.second->ctr, 0);
    return true;
  });
}

}  // namespace netrove::rcu
