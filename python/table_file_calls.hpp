// RadixEngine.save and RadixEngine.open: tables in files of their own
// (netrove/table_file.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/engine.hpp"
#include "netrove/snapshot.hpp"

namespace netrove::py {

/// save(path): writes the table file of `engine` to `path` (str, bytes or
/// os.PathLike) atomically, without the interpreter lock.  None, or null
/// with TypeError for no path, OSError for a failed write (the file at
/// `path` untouched then).
PyObject* save_impl(const Engine& engine, PyObject* path);

/// The entries of the table file at `path`, read and checked whole without
/// the lock.  False with TypeError for no path, OSError when it cannot be
/// read, ValueError "<path>: <reason>" when it is no good table file
/// (truncated, corrupt, a newer version, no table file at all).
bool table_file_entries(PyObject* path, SnapshotContents& out);

}  // namespace netrove::py
