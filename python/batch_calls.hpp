// The batch methods of RadixEngine: lookup_many, lookup_values,
// contains_many, insert_many.
//
// Every batch call runs in three phases:
//
//   1. convert   (interpreter lock held)   every element of the argument is
//                taken and converted (for addresses: their texts copied
//                out, or a packed buffer exported and checked); the first
//                bad one raises the error the single call would raise, with
//                the note "while processing element <i> of '<param>'",
//                before the engine is called, so a failed batch leaves the
//                engine and its counters as they were;
//   2. engine    (interpreter lock released)   the address texts parsed (a
//                rejected one goes back to phase 1's error path), then one
//                batch call of the engine library (netrove::
//                lookup_many_with, contains_many, insert_many; packed
//                addresses a chunk at a time), so batches from several
//                Python threads run on several cores;
//   3. results   (interpreter lock held again)   the list of answers.
//
// Deadlock rules.  Phase 2 opens and closes every read section it uses;
// the interpreter lock is waited for only after it returned, never inside a
// read section (a writer holding the interpreter lock may be waiting for a
// grace period).  The records found in phase 2 reach phase 3 as the
// Python objects hung on them (record_objects.hpp; read, not touched, in
// the read section, and kept alive by a BatchGuard), or as a share of a
// record that has none yet, whose objects phase 3 builds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/engine.hpp"

namespace netrove::py {

/// lookup_many(ips, *, family=None): a new list whose element i is what
/// lookup(ips[i]) returns (a new answer dict or None).  `ips` is any
/// iterable of str (a list or tuple read directly), or with `family` 4 or
/// 6 a buffer of packed addresses (packed.hpp).  Null with the error set:
/// `family` not None, 4 or 6 (note 'family'); a bad buffer or an iterable's
/// own error (note 'ips'); lookup's error for element i with the element
/// note.  Nothing is looked up unless every element converts.
PyObject* lookup_many_impl(const Engine& engine, PyObject* ips, PyObject* family);

/// lookup_values(ips, *, family=None): a new list whose element i is the
/// stored value str of the longest match of address i (the one str object
/// of its record, shared by every answer), or None.  Arguments and errors
/// as lookup_many_impl.
PyObject* lookup_values_impl(const Engine& engine, PyObject* ips, PyObject* family);

/// contains_many(ips, *, family=None): a new list of bool, element i being
/// contains(ips[i]).  Arguments and errors as lookup_many_impl.
PyObject* contains_many_impl(const Engine& engine, PyObject* ips, PyObject* family);

/// insert_many(items): None.  `items` is a mapping of subnet to metadata
/// (anything with a keys() method, read through its items()) or an iterable
/// of (subnet, metadata) pairs.  Every element is converted as insert
/// converts its arguments before anything is stored; a pair that is not a
/// sequence is a TypeError, one of another length a ValueError, each with
/// the element note.  An EngineError of element i (after elements 0..i-1
/// are stored) raises ValueError with its text and the element note.
PyObject* insert_many_impl(Engine& engine, PyObject* items);

}  // namespace netrove::py
