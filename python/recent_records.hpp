// The records of recent single inserts, by metadata dict, kept across calls.
//
// A program that builds a table one insert at a time hands in one dict
// object per origin, again and again:
//
//   e.insert("1.0.0.0/24", d1); e.insert("1.0.4.0/22", d1); e.insert(.., d2)
//                                \__ hit: d1's record shared, no conversion
//
// Converting a dict (reading its strings, hashing them, finding the equal
// interned record) is the larger part of an insert, and its reads miss the
// cache on a large table.  So the record of a recent dict is kept, with
// shares of its own, in a set-associative table keyed by the dict's
// address: the dict's hash picks a set of four slots, and a new dict takes
// the set's empty slot or, when it has none, its slots in turn:
//
//   sets_ (kSets, by address)        one set: 4 slots, two cache lines
//   +--------+--------+-----+        +------+--------+------+--------+-------+
//   | set 0  | set 1  | ... |        | dict | record | made | shares | attrs |
//   +--------+--------+-----+        +------+--------+------+--------+-------+
//                                      x4
//
// Four ways hold nearly every origin of a full table inserted in order
// (about 91% of inserts find their record, against 92.5% that any table
// could: the rest are each dict's first insert; a one-way table of the
// same size found 85%).
//
// A hit hands out one of the slot's own shares: a slot takes a batch of
// kCredit shares at a time, so that a hit does not write the record's
// count, a line that is otherwise cold.  The shares left go back when the
// slot is emptied.
//
// A kept record must be what its dict holds now.  A record is made from the
// metadata dict D and the attributes dict A it held then; both are watched
// by a dict watcher of this table's own, which learns of every change the
// moment it happens, whatever code made it:
//
//   any event on D (changed, cleared, freed)  -> D's slot emptied
//   a change of any watched dict              -> clock_ moves: a record made
//                                                with an attributes dict
//                                                before it is not used
//
// A dict is never unwatched: it may be D of one slot and A of another, and
// a stale watch costs one callback per change.  A cannot die while its
// record is used: D holds it, and D changing or dying empties the slot.
// A dict at the address of one that died starts afresh (its slot was
// emptied).  A dict with a key that is not exactly a str is never kept, as
// in insert_many's memo (insert_memo.hpp).
//
// Shares: a slot holds at least one share of its record.  The callback
// releases nothing (a dict can die anywhere); it queues the emptied slot,
// and the next use of the table releases what the queue names.  Dropping
// or clearing an engine empties the whole table first, so that it gives
// back every record it held.
//
// The interpreter lock guards the table; the module loads in one
// interpreter only.  Without a free dict watcher nothing is kept.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "netrove/record.hpp"

namespace netrove::py {

/// The record kept for `dict`, still what it holds, as a share of the
/// caller's own in `out`; false (out untouched) when none is kept.
/// Interpreter lock held.
bool recent_record(PyObject* dict, RecordRef& out) noexcept;

/// Keeps `record`, just made from `dict` and its attributes dict
/// `attributes` (or null), in dict's slot, and watches both.  Keeps nothing
/// when they cannot be watched.  Interpreter lock held.
void keep_recent_record(PyObject* dict, PyObject* attributes, const RecordRef& record) noexcept;

/// Empties every slot, releasing its share (the dicts stay watched).
/// Interpreter lock held; not inside a read section.
void forget_recent_records() noexcept;

}  // namespace netrove::py
