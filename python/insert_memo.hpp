// The records of one insert_many call, remembered per metadata dict, so
// that the dict object a loader hands in for every prefix of one origin is
// converted and interned once:
//
//   items: ("1.0.0.0/24", d1) ("1.0.4.0/22", d1) ("1.0.16.0/24", d2) ...
//                        \__ miss: convert, intern, remember d1 -> R1
//                                          \__ hit: R1 shared, no conversion
//
// The memo must never answer with a record its dict no longer holds.  A
// dict can only change when Python code runs, so an entry is kept only
// while none can have run since it was made: the caller clears the memo
// whenever a step may have run some (the next() of a generator, a pair
// that is not a tuple or list, a metadata dict with a key that is not
// exactly a str, whose __eq__ the lookups may call).  A generator that
// yields one dict changed between elements thus gets each element's own
// record, as without the memo.  Entries hold a reference to their dict, so
// a dict cannot be freed and its address reused by another while
// remembered.
//
// Table: open addressing over dict addresses, linear probing, at most half
// full; an entry is the dict and one share of its record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <vector>

#include "netrove/record.hpp"
#include "sync/scratch.hpp"

namespace netrove::py {

class InsertMemo {
 public:
  InsertMemo() = default;
  ~InsertMemo() { clear(); }
  InsertMemo(const InsertMemo&) = delete;
  InsertMemo& operator=(const InsertMemo&) = delete;

  /// The record remembered for `dict` (valid while remembered), or null.
  const RecordRef* find(PyObject* dict) const noexcept;
  /// Remembers `record` for `dict` (not remembered yet), keeping a
  /// reference to the dict and a share of the record.
  void remember(PyObject* dict, const RecordRef& record);
  /// Forgets every entry (Python code may have run).  Interpreter lock held.
  void clear() noexcept;

 private:
  struct Slot {
    PyObject* dict = nullptr;  // a reference, or null for a free slot
    RecordRef record;
  };
  std::size_t home(PyObject* dict) const noexcept;
  void grow();

  ScratchVector<Slot> slots_;  // a power of two, or empty
  std::size_t size_ = 0;
};

}  // namespace netrove::py
