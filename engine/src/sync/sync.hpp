// sync/sync.hpp - locks that remember a failure and survive fork().
//
// A lock held while a Panic (or any exception) unwinds through its guard is
// poisoned: the state it guards may be half-changed, so every later attempt
// to take it panics with kPoisonedMessage instead of exposing that state.
// The guards notice the unwinding by comparing std::uncaught_exceptions()
// at construction and destruction.
//
// fork().  A child process has only the thread that forked, so a lock some
// other thread held at that instant would stay held in the child forever.
// Every lock of the engine library carries a ForkGuard: it is enrolled in
// one process-wide list, and the library's atfork handler takes all of them
// before fork() and gives them back after it, in the parent and the child.
// The handler takes them by rank, so it waits in the same order as any
// thread that holds two at once:
//
//   rank engine   the engines' own locks (writer, statistics, cache, tree);
//                 no thread ever holds two of these
//   rank reclaim  the deferred-free pass, which runs outside engine locks
//   rank leaf     node pools, the retire list, the store's connection pool;
//                 held only around a few instructions, nothing taken inside
//   then liburcu's own locks
//
// So fork() may be called at any time from any thread, even while other
// threads are inside lookups or writes: it waits for the writes under way
// to leave their locks, and both processes then go on using every engine
// built before it.  (What a write had done to the structure when fork()
// came stays done in the child; a write is never half-visible within one
// node.)  A lock with a ForkGuard must not be constructed or destroyed by
// a thread that holds another one.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "sync/panic.hpp"

namespace netrove {

/// One lock's entry in the process's fork list (see above).  A lock class
/// declares it as its last member, after the mutex it guards: it enrolls
/// once that mutex is built and withdraws before the mutex is destroyed.
class ForkGuard {
 public:
  enum class Rank : std::uint8_t { engine = 0, reclaim = 1, leaf = 2 };

  /// Enrolls `mu` (a std::mutex or std::shared_mutex, alive as long as this).
  ForkGuard(Rank rank, std::mutex& mu);
  ForkGuard(Rank rank, std::shared_mutex& mu);
  ~ForkGuard();
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;

 private:
  friend struct ForkList;
  ForkGuard(Rank rank, void* mu, bool shared);
  ForkGuard* prev_ = nullptr;
  ForkGuard* next_ = nullptr;
  void* mu_;
  bool shared_;  // mu_ is a std::shared_mutex, else a std::mutex
  Rank rank_;
};

/// A plain mutex enrolled for fork, for std::lock_guard and friends.
class ForkSafeMutex {
 public:
  explicit ForkSafeMutex(ForkGuard::Rank rank = ForkGuard::Rank::leaf) : fork_(rank, mu_) {}
  void lock() { mu_.lock(); }
  bool try_lock() { return mu_.try_lock(); }
  void unlock() { mu_.unlock(); }

 private:
  std::mutex mu_;
  ForkGuard fork_;
};

inline constexpr const char* kPoisonedMessage = "lock poisoned by an earlier failure";

/// A read-write lock with a poisoned flag.
class PoisonSharedMutex {
 public:
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  class ReadGuard;
  class WriteGuard;

 private:
  friend class ReadGuard;
  friend class WriteGuard;
  void check() {
    if (poisoned()) panic(kPoisonedMessage);
  }
  std::shared_mutex mu_;
  std::atomic<bool> poisoned_{false};
  ForkGuard fork_{ForkGuard::Rank::engine, mu_};
};

/// Shared (reader) hold.  Readers change nothing, so a failure during a read
/// does not poison the lock.
class PoisonSharedMutex::ReadGuard {
 public:
  explicit ReadGuard(PoisonSharedMutex& m) : m_(m) {
    m_.mu_.lock_shared();
    if (m_.poisoned()) {
      m_.mu_.unlock_shared();
      panic(kPoisonedMessage);
    }
  }
  ~ReadGuard() { m_.mu_.unlock_shared(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  PoisonSharedMutex& m_;
};

/// Exclusive (writer) hold; poisons the lock when released by unwinding.
class PoisonSharedMutex::WriteGuard {
 public:
  explicit WriteGuard(PoisonSharedMutex& m) : m_(m), depth_(std::uncaught_exceptions()) {
    m_.mu_.lock();
    if (m_.poisoned()) {
      m_.mu_.unlock();
      panic(kPoisonedMessage);
    }
  }
  ~WriteGuard() {
    if (std::uncaught_exceptions() > depth_) m_.poisoned_.store(true, std::memory_order_release);
    m_.mu_.unlock();
  }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  PoisonSharedMutex& m_;
  int depth_;
};

/// An exclusive lock with a poisoned flag.
class PoisonMutex {
 public:
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), depth_(std::uncaught_exceptions()) {
      m_.mu_.lock();
      if (m_.poisoned()) {
        m_.mu_.unlock();
        panic(kPoisonedMessage);
      }
    }
    ~Guard() {
      if (std::uncaught_exceptions() > depth_) m_.poisoned_.store(true, std::memory_order_release);
      m_.mu_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonMutex& m_;
    int depth_;
  };

 private:
  std::mutex mu_;
  std::atomic<bool> poisoned_{false};
  ForkGuard fork_{ForkGuard::Rank::engine, mu_};
};

}  // namespace netrove
