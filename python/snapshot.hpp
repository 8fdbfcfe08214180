// Pickling RadixEngine through the engine's binary snapshot
// (netrove/snapshot.hpp) instead of a list of Python tuples and dicts.
//
//   pickle.dumps(engine) -> __reduce__() -> (netrove.__restore__, (variant, b"NRVS\x01..."))
//   pickle.loads(...)    -> __restore__(variant, snapshot)  -> RadixEngine(variant), bulk-loaded
//
// A pickle made before snapshots, (variant, [(prefix, metadata), ...]),
// still loads (entry_queries.hpp).  Both directions run the engine's part
// (the walk, the checks and the bulk load) without the interpreter lock:
// they touch no Python object, only the bytes object the caller holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/engine.hpp"
#include "netrove/snapshot.hpp"

namespace netrove::py {

/// A new bytes object holding the snapshot of `engine`.  Null with the
/// error set on failure.
PyObject* snapshot_of(const Engine& engine);

/// The entries of the snapshot `bytes` (a bytes object), checked whole.
/// False with ValueError "malformed RadixEngine snapshot: <reason>".
bool snapshot_contents(PyObject* bytes, SnapshotContents& out);

/// Stores `contents` into `engine` without counting (load_records, one bulk
/// load).  False with ValueError carrying an engine's error text.
bool load_contents(Engine& engine, SnapshotContents& contents);

}  // namespace netrove::py
