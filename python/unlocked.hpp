// Unlocked: the interpreter lock released for one scope, around engine work
// that touches no Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "thread_exit.hpp"

namespace netrove::py {

/// Releases the interpreter lock for its lifetime, also when the engine
/// call inside throws (the boundary then reports with the lock held again).
/// Made with the lock held.  A thread the finalizing interpreter ends while
/// taking the lock back is parked there (thread_exit.hpp).
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { restore_thread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace netrove::py
