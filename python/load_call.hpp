// RadixEngine.load: a table from a file in one call (netrove/load.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/engine.hpp"

namespace netrove::py {

/// The arguments of load, by parameter (borrowed; null when absent).
struct LoadArgs {
  PyObject* source;
  PyObject* format;
  PyObject* value;
  PyObject* attributes;
  PyObject* network;
  PyObject* start;
  PyObject* end;
  PyObject* progress;
};

/// load(source, format=None, *, value=None, attributes=None, network=None,
/// start=None, end=None, progress=None): the number of distinct prefixes
/// stored.  `source` is a path (str, bytes or os.PathLike) or a binary
/// file object (its read(n) gives bytes).  The lock is released while the
/// source is read, parsed and stored, and taken back for each read of a
/// file object and a few times a second to check signals and call
/// `progress(done_bytes, total_bytes)`.  Null with the error set: TypeError
/// for an argument of the wrong type (with the parameter's note),
/// ValueError for an unknown format, a malformed source (its text names
/// the source and the line) or options that do not fit it, OSError as
/// open() and read() raise it, or what `progress` or the file raised;
/// nothing is stored then.
PyObject* load_impl(Engine& engine, const LoadArgs& args);

}  // namespace netrove::py
