// Conversions between the engine's records and Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/metadata.hpp"
#include "netrove/types.hpp"

namespace netrove::py {

/// Fills `out` from a metadata dict (a dict or subclass, not checked here):
/// "value" (str, default empty), "attributes" (dict of str to str, default
/// empty); other keys ignored.  Plain dict lookups, no __getitem__.  Returns
/// false with TypeError (or an encoding error) set; the errors carry no note.
bool metadata_from_dict(PyObject* dict, Metadata& out);

/// A new dict of the six counters, keys in the order "size", "inserts",
/// "lookups", "hits", "misses", "removals".
PyObject* stats_to_dict(const EngineStats& stats) noexcept;

}  // namespace netrove::py
