// sync/panic.hpp - internal failures.
//
// A broken internal invariant aborts the current call by throwing `Panic`;
// the Python layer turns it into PanicException.  Locks held while a Panic
// unwinds stay poisoned (see sync.hpp).
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace netrove {

/// An internal failure; `what()` is the failure text.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

/// Aborts the current call with `message`.
[[noreturn]] void panic(std::string message);

}  // namespace netrove

/// Debug-build check of an internal precondition; compiled out with NDEBUG.
#ifdef NDEBUG
#define NETROVE_ASSERT(cond) ((void)0)
#else
#define NETROVE_ASSERT(cond) \
  ((cond) ? (void)0 : ::netrove::panic(std::string("assertion failed: ") + #cond + " at " + __FILE__))
#endif
