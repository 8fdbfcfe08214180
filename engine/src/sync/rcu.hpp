// rcu.hpp - read sections and deferred reclamation for the trie nodes.
//
// Lookups walk the tries without taking any lock and without writing to
// shared memory.  That is only safe if nothing they can still see is freed
// under them, so every node and record is freed through `retire`: the object
// is destroyed after a grace period, i.e. once every read section that was
// running when it was retired has ended.  The grace periods come from
// liburcu's memb flavour (sys_membarrier when the kernel offers it): a read
// section costs two stores to the reading thread's own counter, and a
// writer waiting for a grace period sleeps on a futex that the last reader
// to leave wakes.  Threads register on their first section and leave the
// registry when they exit.
//
// No thread of our own does the freeing.  Retired objects wait in one
// process-wide list; the writers free them in their own calls:
//
//   reader                        writer (any insert, remove, clear)
//   ------                        ------
//   ReadSection rs;               unlink X (one atomic pointer store)
//   p = slot.load(acquire)        retire(X)  --> pending list
//   ... use *p ...                ... the write ends its read section ...
//   ~ReadSection()                collect(): pending >= kCollectAt?
//        ^                          take the whole list
//        +---- waited for ------- synchronize_rcu()
//                                   destroy each taken object
//
// retire() never waits; collect() runs where the caller holds no lock, and
// is a no-op inside a read section (it would wait for itself) and while
// another thread is collecting.  Waiting for a grace period needs
// every reader to leave its section, so no read section may ever wait for
// something a collecting thread holds: read sections never take the
// interpreter lock or any engine lock.
//
// Bound: when a write call returns, and no other thread is collecting or
// retiring meanwhile, fewer than kCollectAt objects wait in the list (two
// rounds free all that waited and what freeing it released; a whole tree
// only waits longer after clear and destruction, which drain).  clear()
// and the destruction of a trie drain the list before they return, so a
// dropped trie has freed all it owned.
//
// Retirement rule: an object may be retired only when no live or retired
// structure links to it any more (its owner count reached zero).  Objects
// released while a batch is destroyed are retired again, to a fresh grace
// period: a reader may have reached them by another link that was cut after
// the current grace period began.  A tree therefore unravels one level per
// grace period; drain() runs as many as that takes.
//
// fork(): the child has only the forking thread.  The process's atfork
// handler (see sync.hpp) first takes the reclaimer's locks, so no thread
// waits for a grace period or (un)registers across fork().  In the child,
// the other threads' entries stay in liburcu's registry, and one that was
// inside a read section at that instant would hold every grace period up
// forever: fork_child() marks each of them as outside any section (their
// counters live in the child's copy of their thread-local storage), so the
// child goes on freeing what parent and child retire.
//
// ThreadSanitizer cannot see liburcu's grace periods.  Under TSan every read
// section ends with a release on one global sync object and every destroy
// pass starts with an acquire on it, which is exactly the happens-before
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

#include <cstddef>
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

/// Objects waiting before a write call frees them.  A batch this large
/// makes one grace period (some microseconds) cheap per object, and caps
/// what waits at about a megabyte of nodes and records.
inline constexpr std::size_t kCollectAt = 4096;

/// True once this thread is registered with liburcu.
inline thread_local bool t_registered = false;

/// Registers the calling thread (and arranges its unregistration at exit).
void register_thread_slow();

inline void ensure_registered() {
  if (!t_registered) register_thread_slow();
}

/// A read section: while one is open on a thread, nothing retired after it
/// opened is destroyed.  Sections nest.  Inside one, never wait for a lock
/// that a writer may hold while collecting (see above).
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

/// Queues `obj` to be destroyed with `destroy(obj)` after a grace period.
/// `weight` is how many objects it stands for (a batch counts as its
/// size against kCollectAt).  Any thread, inside or outside a read section,
/// under any lock, and from destroy functions: it never waits.
void retire(void* obj, void (*destroy)(void*), std::size_t weight = 1);

/// retire() for an object that other structures share (a stored record):
/// destroyed after a grace period even inside a DestroyAtOnce scope.  The
/// structure being torn down may hold its last share while a reader of
/// another structure, which let go of it earlier, is still reading it.
void retire_shared(void* obj, void (*destroy)(void*), std::size_t weight = 1);

/// Frees the waiting objects when there are kCollectAt or more: one grace
/// period per round, at most two rounds.  Does nothing inside a read
/// section, inside a destroy function, or while another thread collects.
/// Every operation that retires calls it at its end, once it holds no lock
/// a reader could wait for (a grace period waits for every reader).
void collect() noexcept;

/// Frees everything retired before the call, and what freeing it releases
/// in turn (a whole tree, level by level).  Waits for a thread that is
/// collecting.  Does nothing inside a read section or a destroy function,
/// where waiting for a grace period could never end.
void drain() noexcept;

/// While one lives on a thread, what that thread retires is destroyed at
/// once (but what it retires with retire_shared).  For tearing down a
/// structure no reader can reach any more (its last owner is gone), which
/// would otherwise take a grace period per level.
class DestroyAtOnce {
 public:
  DestroyAtOnce() noexcept;
  ~DestroyAtOnce();
  DestroyAtOnce(const DestroyAtOnce&) = delete;
  DestroyAtOnce& operator=(const DestroyAtOnce&) = delete;

 private:
  bool outer_;
};

/// Objects retired and not yet destroyed, by weight.
std::size_t pending() noexcept;

/// The reclaimer's part of the process's fork handlers, run after every
/// lock of the library is taken: the child marks the readers it lost as
/// outside any read section.
void fork_child() noexcept;

}  // namespace netrove::rcu
