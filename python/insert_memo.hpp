// The records of one insert_many call, remembered per metadata dict, so
// that the dict object a loader hands in for every prefix of one origin is
// converted and interned once, whether the pairs come from a list or a
// generator:
//
//   items: ("1.0.0.0/24", d1) ("1.0.4.0/22", d1) ("1.0.16.0/24", d2) ...
//                        \__ miss: convert, intern, remember d1 -> R1
//                                          \__ hit: R1 shared, no conversion
//
// The memo must never answer with a record its dict no longer holds.  A
// record is made from two dicts: the metadata dict D and the attributes
// dict A it held then.  The memo watches both (a dict watcher of its own)
// and learns of every change the moment it happens, whatever code made it:
//
//   event on D (changed, cleared)       -> D's record dropped
//   event on A                          -> A's stamp = ++clock; every
//                                          record made from A before it
//                                          is stale (checked on lend)
//   D or A deallocated                  -> its entry marked gone (a later
//                                          dict at that address starts afresh)
//
// A record made at clock c from A is used only while stamp(A) <= c; while
// the clock still reads c, no watched dict has changed and lend reads
// nothing but the record's own entry.  A cannot die while a live record
// names it: D holds it, and D changing or dying drops that record first.
// So a generator that yields one dict and changes it between elements
// gets one record per state, as single inserts would, and the memo holds
// no reference: a dict that the caller lets go is freed mid-call as
// without it.  A dict with a key that is not exactly
// a str is never remembered (looking it up may run code; its record is not
// a function of its contents alone).
//
// Every memo in use is on one list, which the watcher's callback walks; the
// interpreter lock guards the list and every memo (the module loads in one
// interpreter only).  Memos live on the heap (make()): in a child forked
// while another thread was inside a call, that thread's memo stays on the
// list, and its stack would be handed to the child's next thread.  When a
// call ends, its memo unwatches the dicts it still watches, except those
// another memo in use watches too (a call nested in a generator's next()).
// Without a free watcher the memo remembers nothing.
//
// Table: a whole table's pairs convert tens of thousands of distinct dicts,
// so the memo is kept small enough to stay in cache and to grow cheaply.
// Entries are appended to chunks and never move; an open-addressing index
// of 8-byte slots (linear probing, at most half used) finds them:
//
//   index_ (a power of two)              chunks_ (kChunk entries each)
//   +-----------+-----------+-----+      +------+------------+------+-------+--------+
//   | tag : e+1 | 0 (empty) | ... | ---> | dict | attributes | made | stamp | record |
//   +-----------+-----------+-----+      +------+------------+------+-------+--------+
//     tag: the high 32 bits of the dict's hash, which also place it, so the
//     index grows without reading an entry, and a probe reads an entry
//     only when the tags agree.
//
// A dict that dies leaves its entry as kGone and its slot in place (a
// later dict at that address gets an entry of its own); growing the index
// drops such slots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "netrove/record.hpp"
#include "sync/scratch.hpp"

namespace netrove::py {

class InsertMemo {
 public:
  /// A memo in use: on the list the watcher walks.  Interpreter lock held.
  static std::unique_ptr<InsertMemo> make() { return std::unique_ptr<InsertMemo>(new InsertMemo()); }
  ~InsertMemo() { finish(); }
  InsertMemo(const InsertMemo&) = delete;
  InsertMemo& operator=(const InsertMemo&) = delete;

  /// The record remembered for `dict` and still what it holds, or null.
  /// Lent: the caller holds it as a share of its own (RecordRef::adopt)
  /// that the memo counts, all of a record's at once, when it finishes;
  /// until then the caller must not release it.  A whole table's pairs
  /// name a few records each, all over the heap, and a share taken per
  /// element would wait for each record's line in turn.
  StoredRecord* lend(PyObject* dict) noexcept;
  /// Remembers `record`, just made from `dict` and its attributes dict
  /// `attributes` (or null), and watches both.  Silently remembers nothing
  /// when they cannot be watched.
  void remember(PyObject* dict, PyObject* attributes, const RecordRef& record);
  /// Loads ahead for a later lend(dict), in two steps some elements apart
  /// (the second reads what the first loaded): the dict's home slot, then
  /// the entry that slot names.  Reads the memo's own memory only, never
  /// `dict`.
  void prefetch_slot(PyObject* dict) const noexcept;
  void prefetch_entry(PyObject* dict) const noexcept;
  /// Ends the memo's use: counts the shares it lent, unwatches its dicts,
  /// drops its records, leaves the list.  Called again (by the destructor)
  /// it does nothing.
  void finish() noexcept;

 private:
  struct Entry {
    PyObject* dict = nullptr;        // kGone once the dict died
    PyObject* attributes = nullptr;  // the dict `record` was made with
    std::uint64_t made = 0;          // the clock when `record` was made
    std::uint64_t stamp = 0;         // the clock at this dict's last change
    RecordRef record;                // empty: watched only as attributes
    std::uint32_t lent = 0;          // shares of `record` lent, not yet counted
  };
  static PyObject* const kGone;
  static constexpr std::size_t kChunk = 1024;

  InsertMemo() noexcept;
  static int on_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept;
  void on_dict_event(PyDict_WatchEvent event, PyObject* dict) noexcept;
  /// Entry number n, made in that order.
  Entry& at(std::size_t n) const noexcept { return chunks_[n / kChunk][n % kChunk]; }
  /// The entry an index slot names.
  Entry& entry(std::uint64_t slot) const noexcept { return at(static_cast<std::uint32_t>(slot) - 1); }
  /// Puts a slot at the first free place from its tag's home.
  void place(std::uint64_t slot) noexcept;
  Entry* entry_of(PyObject* dict) const noexcept;
  /// Counts the shares of e's record lent so far.
  static void settle(Entry& e) noexcept;
  /// The entry named by `dict`'s home slot when the tags agree (maybe
  /// another dict's), else null.
  const Entry* home_entry(PyObject* dict) const noexcept;
  /// The entry of `dict`, made (and the dict watched) when missing; null
  /// when it cannot be watched.
  Entry* watched_entry(PyObject* dict);
  /// Rebuilds the index for the live entries, at most a third used.
  void grow();

  ScratchVector<std::uint64_t> index_;  // a power of two, or empty
  std::size_t used_ = 0;                // occupied slots, gone ones included
  std::size_t live_ = 0;                // entries whose dict is alive
  std::vector<std::unique_ptr<Entry[]>> chunks_;
  std::size_t entries_ = 0;  // entries made, gone ones included
  InsertMemo* prev_ = nullptr;
  InsertMemo* next_ = nullptr;
  bool listed_ = false;
};

}  // namespace netrove::py
