// Sidekick: one call's second thread (see sidekick.hpp).
#include "sync/sidekick.hpp"

#include <system_error>
#include <utility>

namespace netrove {

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
  }
  cv_.notify_all();
}

void Sidekick::idle() noexcept {
  if (!thread_.joinable()) return;
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
    cv_.notify_all();
  }
}

}  // namespace netrove
