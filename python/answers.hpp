// Answer dicts that the cyclic collector never walks (see answers.cpp for
// the mechanism and why it is cycle-safe).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "record_objects.hpp"

namespace netrove::py {

/// Registers the dict watchers that untracked answers need, once per
/// process (the module loads in one interpreter only).  Where the
/// interpreter cannot give cycle-safe untracked answers (another version,
/// a free-threaded build, no watcher left), answers stay tracked and this
/// still succeeds.  Returns false with an error set only when the module
/// cannot work at all.
bool init_answers() noexcept;

/// A new answer {"value": o.value, "attributes": a new copy of o's
/// attribute template}, "value" first, untracked by the collector where
/// init_answers enabled that.  Interpreter lock held; runs no Python code,
/// so it may run inside a read section.  Null with the error set.
PyObject* new_answer(const RecordObjects& o) noexcept;

/// new_answer of the record's objects (built on first use, see
/// objects_of).  Null with the error set.
PyObject* answer_of(const RecordView& record) noexcept;

}  // namespace netrove::py
