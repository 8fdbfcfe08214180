// fork_generation: the child handler that counts forks.
#include "sync/fork_generation.hpp"

#include <pthread.h>

#include <atomic>

#include "sync/panic.hpp"

namespace netrove {

namespace {

std::atomic<std::uint64_t> g_generation{0};

void on_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

bool install() {
  if (pthread_atfork(nullptr, nullptr, &on_child) != 0) panic("cannot install the fork counter");
  return true;
}

}  // namespace

std::uint64_t fork_generation() noexcept {
  static const bool installed = install();
  (void)installed;
  return g_generation.load(std::memory_order_relaxed);
}

}  // namespace netrove
