// rcu.hpp - read sections and deferred reclamation for the trie nodes.
//
// Lookups walk the tries without taking any lock and without writing to
// shared memory.  That is only safe if nothing they can still see is freed
// under them, so every node and record is freed through `retire`: the object
// is destroyed after a grace period, i.e. once every read section that was
// running when it was retired has ended.  The grace periods come from
// liburcu's memb flavour (sys_membarrier when the kernel offers it): a read
// section costs two stores to the reading thread's own counter.
//
//   reader                           writer
//   ------                           ------
//   ReadSection rs;                  unlink X (one atomic pointer store)
//   p = slot.load(acquire)           retire(X) --call_rcu--> [grace period]
//   ... use *p ...                                                |
//   ~ReadSection()   <---- waited for -------------------------- +
//                                                      destroy(X) (worker thread)
//
// Threads register with liburcu lazily, the first time they open a read
// section or retire something, and unregister when they exit; lookups come
// from arbitrary Python threads.
//
// Retirement rule: an object may be retired only when no live or retired
// structure links to it any more (its owner count reached zero).  Objects
// released from inside a destroy callback are retired again, to a fresh
// grace period: a reader may have reached them by another link that was cut
// after the current grace period began.  Those releases are batched, so a
// whole subtree is freed with one call_rcu per level.
//
// ThreadSanitizer cannot see liburcu's grace periods.  Under TSan every read
// section ends with a release on one global sync object and every destroy
// callback starts with an acquire on it, which is exactly the happens-before
// edge a grace period provides.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NETROVE_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define NETROVE_TSAN 1
#endif

// Inline read-side primitives, except under TSan where the library's own
// (uninstrumented) functions keep liburcu's internals out of the analysis.
#if !defined(NETROVE_TSAN) && !defined(_LGPL_SOURCE)
#define _LGPL_SOURCE
#endif
#include <urcu/urcu-memb.h>

#include <cstdint>

namespace netrove::rcu {

#if defined(NETROVE_TSAN)
extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}
/// The object whose release/acquire pairs stand for grace periods.
extern char g_tsan_grace;
inline void tsan_release(void* a) noexcept { __tsan_release(a); }
inline void tsan_acquire(void* a) noexcept { __tsan_acquire(a); }
#else
inline void tsan_release(void*) noexcept {}
inline void tsan_acquire(void*) noexcept {}
#endif

/// True once this thread is registered with liburcu.
inline thread_local bool t_registered = false;

/// Registers the calling thread (and arranges its unregistration at exit).
void register_thread_slow();

inline void ensure_registered() {
  if (!t_registered) register_thread_slow();
}

/// A read section: while one is open on a thread, nothing retired after it
/// opened is destroyed.  Sections nest.  Never call drain() inside one.
class ReadSection {
 public:
  ReadSection() {
    ensure_registered();
    urcu_memb_read_lock();
  }
  ~ReadSection() {
#if defined(NETROVE_TSAN)
    tsan_release(&g_tsan_grace);
#endif
    urcu_memb_read_unlock();
  }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
};

/// Destroys `obj` with `destroy(obj)` after a grace period.  May be called
/// from any thread, inside or outside a read section, and from destroy
/// callbacks (then the object joins the callback's next batch).
void retire(void* obj, void (*destroy)(void*));

/// Blocks until every object retired so far, and everything their
/// destruction retires in turn, has been destroyed.  For tests and
/// measurements; must not be called inside a read section.
void drain();

/// Number of retire batches queued and not yet run.
std::uint64_t pending() noexcept;

}  // namespace netrove::rcu
