// The Python objects of a stored record, built once and shared by every
// answer.
//
// A stored record (netrove/record.hpp) is immutable and interned: a table of
// a million prefixes holds tens of thousands of them.  The strings of an
// answer are immutable too, so each record's value str and a template of its
// attribute dict are built the first time an answer needs them and hung on
// the record's `host` word; every later answer shares the str and copies the
// template (a copy of a small dict of str clones its table in one block).
//
//   StoredRecord                      RecordObjects (malloc, never moves)
//   +-------+------+------+------+    +------------+--------------------+
//   |owners |meta  |next  |host  |--->| value      | "AS3356"           |
//   +-------+------+------+------+    | attributes | {"asn": "3356"}    |  template: never
//                                     | next       | (pending list)     |  handed out, untracked
//                                     | lines[6]   | what an answer     |  prefetched together
//                                     |            | reads, see below   |
//                                     +------------+--------------------+
//
// Lifetime.  The objects die with the record, on whatever thread frees it
// (a writer's reclamation pass, a batch call without the interpreter lock, a
// following engine's own thread).  That thread may not touch a Python
// object, so the library's release hook only pushes the RecordObjects onto
// a lock-free list, and a thread holding the interpreter lock drains it
// (collect_released): on every write call, after every batch call and when
// an engine is dropped, and on any call that finds the list non-empty.
//
// Batches without the interpreter lock.  A batch call reads `host` inside
// the engine's read section with the lock released, and builds its answers
// from those objects after taking the lock back, by which time the record
// may have been freed and its objects pushed.  So a drain frees only what no
// such batch can still hold, by two epochs counted under the interpreter
// lock (every step below holds it, so plain integers suffice):
//
//   Unlocked batch: registers in epoch E (in_flight[E & 1]++) before it
//     releases the lock, deregisters after its answers are built.
//   Drain:
//     1. A waiting list whose epoch has no batch left is freed.
//     2. Otherwise, when nothing waits: no batch in flight -> free the
//        pushed objects now; only batches of epoch E (none of E - 1) ->
//        the pushed objects wait for epoch E to empty, new batches join
//        E + 1; batches of both epochs -> leave the objects pushed.
//
// Objects pushed while a batch ran were pushed after it registered (the
// batch saw their record alive), so they wait for every batch that may hold
// them.  A forked child has no thread but the forker, which may be inside
// batches of its own (their conversion can run Python code that forks):
// the counts restart at that thread's own there.
//
// One interpreter only: records are shared by every engine of the process,
// while Python objects belong to one interpreter, so the module declines to
// load in a second one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "netrove/record.hpp"

namespace netrove::py {

/// The objects of one stored record (see above).  Owned by the record.
struct RecordObjects {
  PyObject* value;       // str, never null
  PyObject* attributes;  // dict template of str to str, or null when there are none
  RecordObjects* next;   // pending-list link
  // The cache lines an answer touches besides this struct: the value str,
  // the template, its key table (two lines) and the first attribute values.
  // They sit wherever the allocator put them, so an answer reading them one
  // after another waits for each in turn on a large table; prefetched
  // together (prefetch_answer) their misses overlap.  Unused slots repeat
  // `value`.
  static constexpr int kLines = 6;
  const void* lines[kLines];
};

/// Starts loading, for writing (answers take references), every line an
/// answer of `o` touches.  A hint: no effect on what any call returns.
inline void prefetch_answer(const RecordObjects& o) noexcept {
  for (const void* line : o.lines) __builtin_prefetch(line, 1);
}

/// Installs the release hook and the fork handler; once per process, at
/// module load.  Returns false with an error set.
bool init_record_objects() noexcept;

/// The objects of `record`, built and hung on it when it has none yet.
/// Interpreter lock held; safe inside a read section (builds objects, runs
/// no Python code).  Null with MemoryError (or a decoding error) set.
const RecordObjects* objects_of(const RecordView& record) noexcept;

/// The objects hung on `record`, or null when none are yet.  Reads one word
/// and touches no Python object, so it needs no interpreter lock; for an
/// unlocked batch (see BatchGuard) inside the read section that lent it.
inline const RecordObjects* hung_objects(const StoredRecord& record) noexcept {
  return static_cast<const RecordObjects*>(record.host.load(std::memory_order_acquire));
}

namespace detail {
extern std::atomic<RecordObjects*> g_released;
void drain_released() noexcept;
}  // namespace detail

/// Frees the objects of freed records that no unlocked batch can still
/// hold.  Interpreter lock held; one relaxed load when nothing was freed.
inline void collect_released() noexcept {
  if (detail::g_released.load(std::memory_order_relaxed)) detail::drain_released();
}

/// Registers an unlocked batch for its lifetime: objects read by hung_objects
/// while it lives stay alive until it ends.  Made and destroyed with the
/// interpreter lock held; the destructor collects.
class BatchGuard {
 public:
  BatchGuard() noexcept;
  ~BatchGuard();
  BatchGuard(const BatchGuard&) = delete;
  BatchGuard& operator=(const BatchGuard&) = delete;

 private:
  unsigned parity_;
};

}  // namespace netrove::py
