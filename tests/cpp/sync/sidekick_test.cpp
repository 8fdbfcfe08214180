// Sidekick: jobs run beside the caller (or in place), their exceptions
// reach wait(), and a scope left by an exception ends the job in flight
// before the locks around it go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sync/sidekick.hpp"

namespace {

TEST(Sidekick, JobsRunBesideOrInPlaceAndTheirErrorsReachWait) {
  for (const bool threaded : {true, false}) {
    netrove::Sidekick side(threaded);
    int sum = 0;
    for (int i = 1; i <= 100; ++i) {
      side.start([&sum, i] { sum += i; });
      side.wait();
    }
    EXPECT_EQ(sum, 5050);
    side.start([] { throw std::runtime_error("job failed"); });
    EXPECT_THROW(side.wait(), std::runtime_error);
    side.start([&sum] { ++sum; });  // usable after a failed job
    side.wait();
    EXPECT_EQ(sum, 5051);
  }
}

TEST(Sidekick, AScopeLeftByAnExceptionWaitsForTheJobUnderItsLock) {
  std::mutex lock;
  std::atomic<bool> job_done{false}, held_through{false};
  netrove::Sidekick side(true);
  if (!side.parallel()) GTEST_SKIP() << "one core: jobs run in place";
  try {
    std::lock_guard guard(lock);
    side.start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      held_through = !lock.try_lock();  // still held by the caller's scope
      if (!held_through) lock.unlock();
      job_done = true;
    });
    netrove::Sidekick::Join join(side);
    throw std::runtime_error("the caller's part failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(job_done);
  EXPECT_TRUE(held_through);
}

}  // namespace
