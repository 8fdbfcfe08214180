// The process-wide list of locks with a ForkGuard and the atfork handlers that
// take them around fork() (see sync/sync.hpp for the ranks).
//
//   prepare: list lock, then every lock of rank engine, reclaim, leaf (in
//            that order)
//   parent:  the same given back
//   child:   the lost threads' read sections ended (rcu::fork_child), every
//            lock made new
//
// The list is a doubly linked list threaded through the locks themselves,
// so enrolling allocates nothing.
#include <pthread.h>

#include <mutex>
#include <new>
#include <shared_mutex>

#include "sync/sync.hpp"
#include "sync/rcu.hpp"

namespace netrove {

struct ForkList {
  std::mutex mu;
  ForkGuard* head = nullptr;

  static ForkList& get() {
    // Leaked: locks with static storage withdraw during exit, after any
    // destructor of this file would have run.
    static ForkList* const list = [] {
      auto* l = new ForkList;
      if (pthread_atfork(&prepare, &parent, &child) != 0) panic("cannot install the fork handlers");
      return l;
    }();
    return *list;
  }

  void add(ForkGuard* g) {
    std::lock_guard lock(mu);
    g->next_ = head;
    if (head) head->prev_ = g;
    head = g;
  }

  void remove(ForkGuard* g) {
    std::lock_guard lock(mu);
    if (g->prev_) g->prev_->next_ = g->next_;
    else head = g->next_;
    if (g->next_) g->next_->prev_ = g->prev_;
  }

  static void prepare() {
    ForkList& l = get();
    l.mu.lock();
    for (auto rank : {ForkGuard::Rank::engine, ForkGuard::Rank::reclaim, ForkGuard::Rank::leaf})
      for (ForkGuard* g = l.head; g; g = g->next_)
        if (g->rank_ == rank) {
          if (g->shared_) static_cast<std::shared_mutex*>(g->mu_)->lock();
          else static_cast<std::mutex*>(g->mu_)->lock();
        }
  }

  static void parent() {
    ForkList& l = get();
    for (ForkGuard* g = l.head; g; g = g->next_) {
      if (g->shared_) static_cast<std::shared_mutex*>(g->mu_)->unlock();
      else static_cast<std::mutex*>(g->mu_)->unlock();
    }
    l.mu.unlock();
  }

  static void child() {
    ForkList& l = get();
    rcu::fork_child();
    // The child's only thread took every lock before fork(): build each
    // anew instead of unlocking (a read-write lock remembers its writer's
    // thread id, which the child does not share).
    for (ForkGuard* g = l.head; g; g = g->next_) {
      if (g->shared_) new (g->mu_) std::shared_mutex;
      else new (g->mu_) std::mutex;
    }
    new (&l.mu) std::mutex;
  }
};

ForkGuard::ForkGuard(Rank rank, void* mu, bool shared) : mu_(mu), shared_(shared), rank_(rank) {
  ForkList::get().add(this);
}
ForkGuard::ForkGuard(Rank rank, std::mutex& mu) : ForkGuard(rank, &mu, false) {}
ForkGuard::ForkGuard(Rank rank, std::shared_mutex& mu) : ForkGuard(rank, &mu, true) {}
ForkGuard::~ForkGuard() { ForkList::get().remove(this); }

}  // namespace netrove
