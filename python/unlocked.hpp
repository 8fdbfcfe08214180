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
  friend class Relocked;
  PyThreadState* state_;
};

/// The interpreter lock taken back for one scope inside an Unlocked one:
/// a call into Python (a callback, a file's read) from the middle of
/// unlocked work.  Never made inside a read section (a writer holding the
/// lock may be waiting for that section to end).
class Relocked {
 public:
  explicit Relocked(Unlocked& outer) noexcept : outer_(outer) { restore_thread(outer_.state_); }
  ~Relocked() { outer_.state_ = PyEval_SaveThread(); }
  Relocked(const Relocked&) = delete;
  Relocked& operator=(const Relocked&) = delete;

 private:
  Unlocked& outer_;
};

}  // namespace netrove::py
