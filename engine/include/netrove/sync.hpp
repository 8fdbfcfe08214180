// netrove/sync.hpp - locks that remember a failure.
//
// A lock held while a Panic (or any exception) unwinds through its guard is
// poisoned: the state it guards may be half-changed, so every later attempt
// to take it panics with kPoisonedMessage instead of exposing that state.
// The guards notice the unwinding by comparing std::uncaught_exceptions()
// at construction and destruction.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "netrove/panic.hpp"

namespace netrove {

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
};

}  // namespace netrove
