// sync/sidekick.hpp - a second thread for one call's two independent jobs.
//
// A bulk load builds two structures from the same sorted run: the trie and
// the read index.  Neither reads the other, so on a machine with a second
// core they are built side by side, chunk by chunk:
//
//   caller (writer lock, read section)      sidekick thread
//   ----------------------------------      ---------------
//   start(index job of chunk k)  ---------> runs it
//   trie merge of chunk k                     ...
//   wait()  <------------------------------ done (or its exception)
//   ... next chunk ...
//   ~Sidekick: stop, join
//
// Each side spins for a short while before it sleeps on the condition
// variable: a chunk's two jobs end close together, and a wake-up through
// the kernel would add its latency to every chunk.
//
// The thread lives exactly as long as the Sidekick, which lives inside one
// call: no thread outlives the call that made it.  Without a second core
// (or when asked not to) there is no thread and start() runs the job
// in place.  A job never waits for anything the caller holds (a lock, a
// grace period): the caller waits for the job, not the other way round.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace netrove {

class Sidekick {
 public:
  /// With `use_thread` and a second core, starts the thread; else (or when
  /// the system has no thread to give) none.
  explicit Sidekick(bool use_thread);
  /// Waits for the job in flight, then stops and joins the thread.
  ~Sidekick();
  Sidekick(const Sidekick&) = delete;
  Sidekick& operator=(const Sidekick&) = delete;

  /// Runs `job` on the thread (or now, in place, without one).  At most
  /// one job in flight: the previous one must have been waited for.
  void start(std::function<void()> job);
  /// Returns once the job has ended; rethrows what it threw.
  void wait();
  /// Whether jobs run on a thread of their own.
  bool parallel() const noexcept { return thread_.joinable(); }

  /// Waits, when it goes out of scope, for the job in flight (dropping what
  /// it threw): for leaving a scope by an exception, where the job must end
  /// before the locks it works under are released.  A no-op after wait().
  class Join {
   public:
    explicit Join(Sidekick& side) noexcept : side_(side) {}
    ~Join() { side_.settle(); }
    Join(const Join&) = delete;
    Join& operator=(const Join&) = delete;

   private:
    Sidekick& side_;
  };

 private:
  void loop();
  /// Until no job is in flight.
  void idle() noexcept;
  /// wait() without rethrowing.
  void settle() noexcept;

  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> job_;  // the job in flight, empty when none
  std::exception_ptr error_;
  bool stop_ = false;
  // Read without the mutex by the two sides while they spin before
  // sleeping (written under it): a job is in flight; the thread has
  // something to wake for (a job or the stop).
  std::atomic<bool> busy_{false};
  std::atomic<bool> waking_{false};
  std::thread thread_;
};

}  // namespace netrove
