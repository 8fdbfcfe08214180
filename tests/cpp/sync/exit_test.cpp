// An engine kept in a static object is destroyed at exit, after the exiting
// thread's thread-local objects: what it retires then must still be freed
// safely (the sanitizer build turns a use of freed memory into a failure).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "netrove/config.hpp"
#include "netrove/factory.hpp"
#include "sync/rcu.hpp"

namespace {

netrove::IpPrefix p4(int b, int c, int len) {
  netrove::IpPrefix p;
  p.address = {10, std::uint8_t(b), std::uint8_t(c), 0};
  p.length = std::uint8_t(len);
  return p;
}

// Fills, then empties half, so that the engine's teardown and the passes it
// runs retire and free nodes, index nodes and records.
void churn_and_exit(netrove::EngineConfig config) {
  static std::unique_ptr<netrove::Engine> kept;
  kept = netrove::create_engine(config);
  for (int b = 0; b < 64; ++b) {
    for (int c = 0; c < 256; ++c) {
      if (!kept->insert(p4(b, c, 24), netrove::Metadata{"r", {}}).ok()) std::_Exit(3);
    }
  }
  for (int b = 0; b < 64; b += 2) {
    for (int c = 0; c < 256; ++c) kept->remove(p4(b, c, 24));
  }
  netrove::rcu::drain();  // the thread's batch buffer now holds capacity
  for (int c = 0; c < 256; ++c) kept->remove(p4(1, c, 24));
  std::exit(0);
}

TEST(ProcessExit, EngineInStaticStorageIsFreedAfterThreadLocals) {
  EXPECT_EXIT(churn_and_exit(netrove::EngineConfig{}), ::testing::ExitedWithCode(0), "");
  netrove::EngineConfig cached;  // the cache and its own retired entries in front
  cached.enable_cache = true;
  cached.cache_capacity = 1000;
  EXPECT_EXIT(churn_and_exit(cached), ::testing::ExitedWithCode(0), "");
}

}  // namespace
