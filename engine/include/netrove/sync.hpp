// netrove/sync.hpp - locks that remember a failure and survive fork().
//
// A lock held while a Panic (or any exception) unwinds through its guard is
// poisoned: the state it guards may be half-changed, so every later attempt
// to take it panics with kPoisonedMessage instead of exposing that state.
// The guards notice the unwinding by comparing std::uncaught_exceptions()
// at construction and destruction.
//
// fork().  A child process has only the thread that forked, so a lock some
// other thread held at that instant would stay held in the child forever.
// Every lock of the engine library is a ForkGuarded lock: it is enrolled in
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
// node.)  A ForkGuarded lock must not be constructed or destroyed by a
// thread that holds another one.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "netrove/panic.hpp"

namespace netrove {

/// A lock enrolled with the process's fork handlers (see above).
class ForkGuarded {
 public:
  enum class Rank : std::uint8_t { engine = 0, reclaim = 1, leaf = 2 };

  ForkGuarded(const ForkGuarded&) = delete;
  ForkGuarded& operator=(const ForkGuarded&) = delete;

  /// Before fork(): take the lock.
  virtual void fork_lock() noexcept = 0;
  /// After fork(), in the parent: give it back.
  virtual void fork_unlock() noexcept = 0;
  /// After fork(), in the child: make it a fresh, unheld lock.
  virtual void fork_reset() noexcept = 0;

 protected:
  explicit ForkGuarded(Rank rank);
  ~ForkGuarded();

 private:
  friend struct ForkList;
  ForkGuarded* prev_ = nullptr;
  ForkGuarded* next_ = nullptr;
  Rank rank_;
};

/// A plain std::mutex enrolled for fork (for BasicLockable use).
class ForkSafeMutex final : public ForkGuarded {
 public:
  explicit ForkSafeMutex(Rank rank = Rank::leaf) : ForkGuarded(rank) {}
  void lock() { mu_.lock(); }
  bool try_lock() { return mu_.try_lock(); }
  void unlock() { mu_.unlock(); }

  void fork_lock() noexcept override { mu_.lock(); }
  void fork_unlock() noexcept override { mu_.unlock(); }
  void fork_reset() noexcept override { new (&mu_) std::mutex; }

 private:
  std::mutex mu_;
};

inline constexpr const char* kPoisonedMessage = "lock poisoned by an earlier failure";

/// A read-write lock with a poisoned flag.
class PoisonSharedMutex final : public ForkGuarded {
 public:
  PoisonSharedMutex() : ForkGuarded(Rank::engine) {}
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

  class ReadGuard;
  class WriteGuard;

  void fork_lock() noexcept override { mu_.lock(); }
  void fork_unlock() noexcept override { mu_.unlock(); }
  void fork_reset() noexcept override { new (&mu_) std::shared_mutex; }

 private:
  friend class ReadGuard;
  friend class WriteGuard;
  void check() {
    if (poisoned()) panic(kPoisonedMessage);
  }
  std::shared_mutex mu_;
  std::atomic<bool> poisoned_{false};
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
class PoisonMutex final : public ForkGuarded {
 public:
  PoisonMutex() : ForkGuarded(Rank::engine) {}
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

  void fork_lock() noexcept override { mu_.lock(); }
  void fork_unlock() noexcept override { mu_.unlock(); }
  void fork_reset() noexcept override { new (&mu_) std::mutex; }

 private:
  std::mutex mu_;
  std::atomic<bool> poisoned_{false};
};

}  // namespace netrove
