// fork_generation.hpp - telling a forked child from the process that built
// an object.
//
// A counter bumped by a pthread_atfork child handler: an object that keeps
// the value it saw when it was built knows, by one relaxed load, whether it
// now lives in a child, where the threads and the socket streams it owned
// belong to the parent.
#pragma once

#include <cstdint>

namespace netrove {

/// The number of fork() calls this process descends through since the
/// counter's handler was installed (on the first call of this function).
/// The same value in a process and, before any fork, in its future child.
std::uint64_t fork_generation() noexcept;

}  // namespace netrove
