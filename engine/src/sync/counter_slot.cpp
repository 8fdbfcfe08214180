// Owned counter slots: a free mask, taken by compare-and-swap, given back at
// thread exit.
#include "sync/counter_slot.hpp"

namespace netrove::counters {

namespace {

static_assert(kOwnedSlots <= 32);
/// Bit s set: owned slot s is free.
std::atomic<std::uint32_t> g_free{(std::uint64_t{1} << kOwnedSlots) - 1};

/// Gives the thread's slot back when the thread exits.  A count made by a
/// later exit-time destructor of the same thread goes to the shared slot.
struct SlotReturn {
  bool armed = false;
  ~SlotReturn() {
    const unsigned s = t_slot;
    t_slot = kSharedSlot;
    // Release: the next owner reads the counts this thread left.
    if (s < kOwnedSlots) g_free.fetch_or(std::uint32_t{1} << s, std::memory_order_release);
  }
};
thread_local SlotReturn t_return;

}  // namespace

unsigned take_slot() noexcept {
  std::uint32_t free = g_free.load(std::memory_order_relaxed);
  unsigned s = kSharedSlot;
  while (free != 0) {
    const unsigned low = static_cast<unsigned>(__builtin_ctz(free));
    // Acquire: see the counts the slot's last owner left.
    if (g_free.compare_exchange_weak(free, free & (free - 1), std::memory_order_acquire, std::memory_order_relaxed)) {
      s = low;
      break;
    }
  }
  t_slot = s;
  if (s != kSharedSlot) t_return.armed = true;  // constructs it, so its destructor runs at exit
  return s;
}

}  // namespace netrove::counters
