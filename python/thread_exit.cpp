// Parking a thread the finalizing interpreter ended (see thread_exit.hpp).
#include "thread_exit.hpp"

#include <unistd.h>

namespace netrove::py {

void park_ended_thread() noexcept {
  for (;;) pause();  // a signal handler may return: wait again
}

void restore_thread(PyThreadState* state) noexcept {
  calling_python([state] { PyEval_RestoreThread(state); });
}

}  // namespace netrove::py
