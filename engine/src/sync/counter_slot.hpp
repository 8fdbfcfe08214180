// sync/counter_slot.hpp - per-thread slots for statistics counters that
// readers bump on every lookup.
//
// An atomic add (lock xadd on x86) is a full barrier: the processor may not
// start the loads of the next lookup before it retires, so lookups that are
// independent of each other run one after the other, each waiting out its
// own cache misses.  A counter that only one thread ever writes needs no
// atomic add: a plain load and store of a relaxed atomic is exact, and
// readers of the sum (stats()) still see whole values.
//
// So a structure keeps its counters in kSlots slots, and each thread
// owns one slot process-wide (the same index in every structure):
//
//   slot    0    1   ...   15   16 (shared)
//   owner   T3   T1  ...   --   every thread beyond the 16 owners, and a
//                               thread whose own slot was given back
//
// A thread takes the lowest free slot on its first count and gives it back
// when it exits; the next owner continues from the values left there (the
// hand-over is a release/acquire pair on the free mask), so the counts of
// exited threads stay in every sum.  In a child process after fork(), the
// slots of the threads that did not follow stay taken: their counts are
// kept, and the child's new threads use the rest, or the shared slot.
#pragma once

#include <atomic>
#include <cstdint>

namespace netrove::counters {

inline constexpr unsigned kOwnedSlots = 16;
inline constexpr unsigned kSharedSlot = kOwnedSlots;
inline constexpr unsigned kSlots = kOwnedSlots + 1;

inline constexpr unsigned kUnassigned = ~0u;
/// The calling thread's slot, kUnassigned before its first count.
inline thread_local unsigned t_slot = kUnassigned;
/// Takes a free owned slot for the calling thread (kSharedSlot when none
/// is free) and arranges its return when the thread exits.
unsigned take_slot() noexcept;

/// The calling thread's slot index.
inline unsigned my_slot() noexcept {
  const unsigned s = t_slot;
  return s != kUnassigned ? s : take_slot();
}

/// c += d for a counter of slot `slot` of the calling thread.
inline void add(std::atomic<std::uint64_t>& c, std::uint64_t d, unsigned slot) noexcept {
  if (slot != kSharedSlot) c.store(c.load(std::memory_order_relaxed) + d, std::memory_order_relaxed);
  else c.fetch_add(d, std::memory_order_relaxed);
}

}  // namespace netrove::counters
