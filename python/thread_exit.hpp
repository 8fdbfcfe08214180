// A thread that the interpreter ends while it is inside one of the module's
// calls.
//
// At shut-down, CPython 3.12 and 3.13 end every daemon thread that tries to
// take the interpreter lock back (PyEval_RestoreThread, or the evaluation
// loop of Python code the call runs) with pthread_exit(), which unwinds the
// thread's stack as a forced unwind.  C frames let it pass; ours are C++
// frames that are noexcept (destructors, and every slot through
// `guarded`), where it would end in std::terminate and take the process
// down with it.  Such a thread instead stops where it is caught and waits
// for the process to end, as CPython 3.14 does with its own daemon threads:
//
//   daemon thread                           main thread
//   -------------                           -----------
//   Unlocked: engine work, no lock          Py_Finalize: finalizing set
//   ~Unlocked -> restore_thread  --------->  (holds the lock for good)
//     PyEval_RestoreThread
//       take_gil: finalizing -> pthread_exit
//     catch (forced unwind) -> park         exit(): the process ends,
//                                           the parked thread with it
//
// The same holds for Python code a call runs (a generator's next(), a key
// subclass's attribute, a dict key's __eq__): the interpreter hands its
// lock round while it runs, and a thread ended there unwinds from inside
// that call.  Where our frames would unwind with references to release,
// the call is made through calling_python(), which parks the thread before
// any of our frames unwinds, so no destructor runs without the lock.  Any
// other place (a finalizer run by a reference we drop) is caught in
// `guarded` (boundary.hpp): the thread is parked all the same, after the
// frames between were unwound.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

namespace netrove::py {

/// Blocks the calling thread for good.  For a thread the finalizing
/// interpreter ended: it holds no lock of the library and touches nothing.
[[noreturn]] void park_ended_thread() noexcept;

/// Whether the exception being handled is foreign to C++: in a handler of
/// `...` around our own code and the C API (which throw no other kind),
/// the forced unwind of an ended thread.  (Catching abi::__forced_unwind
/// by name would bind a reference to an object that does not exist.)
inline bool handling_forced_unwind() noexcept { return !std::current_exception(); }

/// Returns call(), a call into the interpreter that may run Python code; a
/// thread the finalizing interpreter ends inside it is parked there.
template <class Call>
inline auto calling_python(Call&& call) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (...) {
    // The C API throws nothing of C++: this is the forced unwind.  The
    // handler never ends, so the unwind is neither finished nor swallowed
    // (either would abort).
    park_ended_thread();
  }
}

/// PyEval_RestoreThread(state), except that a thread the finalizing
/// interpreter ends there is parked instead of unwound.
void restore_thread(PyThreadState* state) noexcept;

}  // namespace netrove::py
