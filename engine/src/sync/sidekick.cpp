// Sidekick: one call's second thread (see sidekick.hpp).
#include "sync/sidekick.hpp"

#include <chrono>
#include <system_error>
#include <utility>

namespace netrove {

namespace {

/// Spins until ready() holds or kSpin has passed.  A wake-up through the
/// kernel costs tens of microseconds on a virtual machine, twice per chunk
/// of a bulk load, where the other side is usually only that far behind.
template <class Ready>
void spin(Ready ready) noexcept {
  constexpr auto kSpin = std::chrono::microseconds(200);
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 1; !ready(); ++i) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (i % 256 == 0 && std::chrono::steady_clock::now() > until) return;
  }
}

}  // namespace

Sidekick::Sidekick(bool use_thread) {
  if (!use_thread || std::thread::hardware_concurrency() < 2) return;
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    // No thread to be had (a process at its limit): jobs run in place.
  }
}

Sidekick::~Sidekick() {
  if (!thread_.joinable()) return;
  idle();
  {
    std::lock_guard lock(mu_);
    stop_ = true;
    waking_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
  thread_.join();
}

void Sidekick::start(std::function<void()> job) {
  if (!thread_.joinable()) {
    try {
      job();
    } catch (...) {
      error_ = std::current_exception();
    }
    return;
  }
  {
    std::lock_guard lock(mu_);
    job_ = std::move(job);
    busy_.store(true, std::memory_order_release);
    waking_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

void Sidekick::idle() noexcept {
  if (!thread_.joinable()) return;
  spin([this] { return !busy_.load(std::memory_order_acquire); });
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return !job_; });
}

void Sidekick::wait() {
  idle();
  if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
}

void Sidekick::settle() noexcept {
  idle();
  error_ = nullptr;
}

void Sidekick::loop() {
  std::unique_lock lock(mu_);
  for (;;) {
    if (!stop_ && !job_) {
      waking_.store(false, std::memory_order_relaxed);
      lock.unlock();
      spin([this] { return waking_.load(std::memory_order_acquire); });
      lock.lock();
    }
    cv_.wait(lock, [this] { return stop_ || job_; });
    if (!job_) return;  // stopped
    std::function<void()> job = job_;
    lock.unlock();
    std::exception_ptr error;
    try {
      job();
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    error_ = error;
    job_ = nullptr;
    busy_.store(false, std::memory_order_release);
    cv_.notify_all();
  }
}

}  // namespace netrove
