// The RadixEngine class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace netrove::py {

/// The RadixEngine type object (a borrowed reference), created on first use
/// and kept for the life of the process.  Null with an error set if it could
/// not be created.
PyObject* radix_engine_type() noexcept;

/// A new reference to the function netrove.__restore__ of `module`, the
/// pickle reconstructor of RadixEngine (see entry_queries.hpp), kept as the
/// one __reduce__ names.  Null with an error set on failure.
PyObject* restore_function(PyObject* module) noexcept;

}  // namespace netrove::py
