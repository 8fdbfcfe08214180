// The RadixEngine class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace netrove::py {

/// The RadixEngine type object (a borrowed reference), created on first use
/// and kept for the life of the process.  Null with an error set if it could
/// not be created.
PyObject* radix_engine_type() noexcept;

}  // namespace netrove::py
