// The process-wide list of ForkGuarded locks and the atfork handlers that
// take them around fork() (see netrove/sync.hpp for the ranks).
//
//   prepare: list lock, then every lock of rank engine, reclaim, leaf (in
//            that order), then liburcu's locks (rcu::fork_prepare)
//   parent:  the same given back, in reverse
//   child:   liburcu's registry pruned to this thread, every lock made new
//
// The list is a doubly linked list threaded through the locks themselves,
// so enrolling allocates nothing.
#include <pthread.h>

#include <mutex>

#include "netrove/sync.hpp"
#include "rcu.hpp"

namespace netrove {

struct ForkList {
  std::mutex mu;
  ForkGuarded* head = nullptr;

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

  void add(ForkGuarded* g) {
    std::lock_guard lock(mu);
    g->next_ = head;
    if (head) head->prev_ = g;
    head = g;
  }

  void remove(ForkGuarded* g) {
    std::lock_guard lock(mu);
    if (g->prev_) g->prev_->next_ = g->next_;
    else head = g->next_;
    if (g->next_) g->next_->prev_ = g->prev_;
  }

  static void prepare() {
    ForkList& l = get();
    l.mu.lock();
    for (auto rank : {ForkGuarded::Rank::engine, ForkGuarded::Rank::reclaim, ForkGuarded::Rank::leaf})
      for (ForkGuarded* g = l.head; g; g = g->next_)
        if (g->rank_ == rank) g->fork_lock();
    rcu::fork_prepare();
  }

  static void parent() {
    ForkList& l = get();
    rcu::fork_parent();
    for (ForkGuarded* g = l.head; g; g = g->next_) g->fork_unlock();
    l.mu.unlock();
  }

  static void child() {
    ForkList& l = get();
    rcu::fork_child();
    for (ForkGuarded* g = l.head; g; g = g->next_) g->fork_reset();
    new (&l.mu) std::mutex;
  }
};

ForkGuarded::ForkGuarded(Rank rank) : rank_(rank) { ForkList::get().add(this); }

ForkGuarded::~ForkGuarded() { ForkList::get().remove(this); }

}  // namespace netrove
