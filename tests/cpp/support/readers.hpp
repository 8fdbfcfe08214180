// Readers beside a writer: the tests that check that concurrent readers
// only ever see whole states.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace nt {

/// Runs `write()` on this thread while `readers` threads call `check()` in a
/// loop (each call returns how many bad things it saw); returns the total
/// once the writer is done and the readers have stopped.
template <class Check, class Write>
int bad_reads_during(int readers, Check&& check, Write&& write) {
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < readers; ++r)
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) bad += check();
    });
  write();
  stop = true;
  for (auto& t : threads) t.join();
  return bad.load();
}

}  // namespace nt
