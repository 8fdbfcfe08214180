// The C++/Python boundary: every C++ exception that reaches a slot or method
// of the module is turned into a Python exception here, so none unwinds into
// the interpreter.
//
//   netrove::StartupError (a hybrid engine's store did not open)
//       -> netrove.StoreError(store text "Redis error: ..."), a ConnectionError
//   netrove::UsageError (a following engine used in a forked child)
//       -> RuntimeError(text)
//   netrove::Panic, any other std::exception, anything else
//       -> PanicException(text), a BaseException subclass created on first use
//   std::bad_alloc
//       -> the process ends (allocation failure is not reported as a value)
//   the forced unwind of a thread the finalizing interpreter ends inside
//   Python code a call runs
//       -> the thread is parked (thread_exit.hpp), the process exits as usual
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "netrove/factory.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

/// The PanicException class, created on first use and kept for the life of
/// the process.  Not an attribute of the module.  Null (with the creation
/// error set) only if the class could not be created.
PyObject* panic_exception_type() noexcept;

/// Raises PanicException with `text` (taken as UTF-8, bad bytes replaced).
void raise_panic(std::string_view text) noexcept;

/// The StoreError class (netrove.StoreError, derived from ConnectionError),
/// created on first use and kept for the life of the process.  Null (with
/// the creation error set) only if the class could not be created.
PyObject* store_error_type() noexcept;

/// Raises `type` with `text` (taken as UTF-8, bad bytes replaced).
void raise_text(PyObject* type, std::string_view text) noexcept;

/// Runs `body` and returns its result; a C++ exception becomes a raised
/// PanicException and the result `failure`.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    Py_FatalError("netrove: out of memory");
  } catch (const StartupError& e) {
    if (PyObject* type = store_error_type()) raise_text(type, e.store_message());
  } catch (const UsageError& e) {
    raise_text(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    // Swallowing the forced unwind of an ended thread would abort.
    if (handling_forced_unwind()) park_ended_thread();
    raise_panic("unknown internal failure");
  }
  return failure;
}

}  // namespace netrove::py
