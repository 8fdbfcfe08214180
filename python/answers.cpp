// Answer dicts the cyclic collector never walks.
//
// Why.  An answer is {"value": str, "attributes": {str: str}}: a dict
// holding a dict.  CPython keeps every such dict tracked by the cyclic
// collector (it untracks only dicts of atomic values), and a program that
// keeps its answers (a list of a million lookups) makes every collection
// walk them again: in a heap of realistic size that cost more than the
// lookup.  An untracked answer costs the collector nothing; the risk is a
// reference cycle that runs through it, which the collector would then
// never see.
//
// When an answer can be in a cycle.  A fresh answer holds a str and the
// attributes dict, which holds only strs: nothing in it can lead back.  A
// cycle needs the program to change one of the two dicts first (store into
// it, update it, ...).  CPython calls a dict watcher before any change of
// a watched dict, on every path (item set and delete, update, setdefault,
// |=, pop, popitem, clear), and when it is deallocated.  So an answer is
// handed out untracked with both dicts watched, and the first change puts
// it back under CPython's own rules by tracking the outer dict:
//
//   new_answer
//       |
//       v
//   +----------------------------+  a change of either dict   +------------------------+
//   | 1. PAIRED                  |  (the watcher runs before   | 2. ORDINARY            |
//   | outer: untracked, watched  |   it happens)  ---------->  | outer tracked, both    |
//   | attrs: untracked, watched  |  outer tracked, pair        | unwatched: CPython's   |
//   | pairs[attrs] = outer       |  forgotten                  | rules from now on      |
//   +----------------------------+                             +------------------------+
//       |  the outer dict is deallocated
//       v
//   3. pair forgotten, attrs unwatched (if the program kept it, it is an
//      ordinary dict of strs from then on)
//
// The change of the attributes dict has to find its outer dict: `pairs`, a
// table from attributes dict to outer dict (below), kept while PAIRED.
//
// Copies.  CPython copies a dict by cloning its table when the table has no
// deleted entries (dict(a), {**a}, update into an empty dict) or at most a
// third of them (a.copy(), copy.copy(a), a | {}), and the clone of an
// untracked dict is untracked.  A copy of an answer shares the attributes
// dict, watched for the original only, so a cycle through the copy would go
// unseen.  Each outer dict therefore carries three deleted entries in its
// table (five used of eight, two live): every copy path then inserts item by
// item, and inserting a dict value tracks the copy.  It is made from one
// template per process, whose table has two deleted entries and three live
// ones, few enough deleted for dict.copy to clone it:
//
//   template  [ -- | -- | "value": None | "attributes": None | hole: None ]
//   answer    clone, then "value" and "attributes" set, `hole` deleted:
//             [ -- | -- | "value": v    | "attributes": {..} | --        ]
//
// (a clone, two replacements and a delete, where building the layout from
// an empty dict took five inserts and three deletes).
//
// Spurious events.  On 3.12 the dict being changed gets its watch bits back
// after its callbacks ran, so an unwatched dict may still report; each
// callback therefore acts only on what `pairs` says is still paired.
//
// Where this holds.  Only on the versions whose dict copying, tracking and
// watcher rules were checked by the cycle tests (3.12 and 3.13, with the
// interpreter lock); elsewhere, or when no watcher is left, answers are
// handed out tracked, as any dict is.
#include "answers.hpp"

#include <cstdint>
#include <cstdio>
#include <new>

#include "args.hpp"
#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define NETROVE_UNTRACKED_ANSWERS 1
#endif

namespace netrove::py {

namespace {

// The template of every outer dict and the keys of its deleted entries (see
// "Copies"): interned strs no program can get at through an answer.
constexpr int kHoles = 3;
PyObject* holes[kHoles];
PyObject* outer_template;

// Builds the template: holes 0 and 1 deleted, hole 2 live and last.
bool make_outer_template() noexcept {
  for (int i = 0; i < kHoles; ++i) {
    char name[24];
    std::snprintf(name, sizeof name, "__netrove_hole_%d__", i);
    holes[i] = PyUnicode_InternFromString(name);
    if (!holes[i]) return false;
  }
  Ref t(PyDict_New());
  if (!t || PyDict_SetItem(t.get(), holes[0], Py_None) < 0 || PyDict_SetItem(t.get(), holes[1], Py_None) < 0 ||
      PyDict_SetItem(t.get(), strings.value, Py_None) < 0 ||
      PyDict_SetItem(t.get(), strings.attributes, Py_None) < 0 || PyDict_SetItem(t.get(), holes[2], Py_None) < 0 ||
      PyDict_DelItem(t.get(), holes[0]) < 0 || PyDict_DelItem(t.get(), holes[1]) < 0)
    return false;
  outer_template = t.release();
  return true;
}

#if NETROVE_UNTRACKED_ANSWERS

/// attributes dict -> outer dict of every PAIRED answer.  Open addressing
/// with linear probing and deletion by backward shift, so no tombstones.
/// The home slot keeps an address's neighbourhood (dicts allocated one
/// after another land in neighbouring slots), so a program that keeps its
/// answers fills the table front to back instead of missing the cache on
/// every insert.  Interpreter lock held for everything.
class PairTable {
 public:
  /// Adds the pair; false (nothing added) when the table cannot grow.
  bool insert(PyObject* attrs, PyObject* outer) noexcept {
    if (2 * (size_ + 1) > capacity() && !resize(capacity() ? 2 * capacity() : kMinCapacity)) return false;
    std::size_t i = home(attrs);
    while (slots_[i].attrs) i = (i + 1) & mask_;
    slots_[i] = {attrs, outer};
    ++size_;
    return true;
  }

  /// The outer dict paired with `attrs`, or null.
  PyObject* find(PyObject* attrs) const noexcept {
    if (!slots_) return nullptr;
    for (std::size_t i = home(attrs); slots_[i].attrs; i = (i + 1) & mask_)
      if (slots_[i].attrs == attrs) return slots_[i].outer;
    return nullptr;
  }

  /// Removes the pair of `attrs`; returns its outer dict, or null.
  PyObject* take(PyObject* attrs) noexcept {
    if (!slots_) return nullptr;
    std::size_t i = home(attrs);
    while (slots_[i].attrs != attrs) {
      if (!slots_[i].attrs) return nullptr;
      i = (i + 1) & mask_;
    }
    PyObject* outer = slots_[i].outer;
    // Backward shift: pull each later entry of the run into the hole when
    // its home does not lie cyclically in (hole, its slot].
    for (std::size_t j = (i + 1) & mask_; slots_[j].attrs; j = (j + 1) & mask_) {
      const std::size_t h = home(slots_[j].attrs);
      if (((j - h) & mask_) >= ((j - i) & mask_)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = {};
    --size_;
    if (capacity() > kMinCapacity && 8 * size_ < capacity()) (void)resize(capacity() / 2);
    return outer;
  }

 private:
  struct Slot {
    PyObject* attrs = nullptr;
    PyObject* outer = nullptr;
  };
  static constexpr std::size_t kMinCapacity = 1024;

  std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
  // Dicts are at least 64 bytes apart; the bits above 64 MiB are folded in
  // so that distant heap regions do not pile onto the same slots.
  std::size_t home(PyObject* p) const noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    return ((a >> 6) ^ (a >> 26)) & mask_;
  }

  bool resize(std::size_t n) noexcept {
    Slot* fresh = new (std::nothrow) Slot[n];
    if (!fresh) return false;
    Slot* old = slots_;
    const std::size_t old_n = capacity();
    slots_ = fresh;
    mask_ = n - 1;
    for (std::size_t i = 0; i < old_n; ++i) {
      if (!old[i].attrs) continue;
      std::size_t j = home(old[i].attrs);
      while (slots_[j].attrs) j = (j + 1) & mask_;
      slots_[j] = old[i];
    }
    delete[] old;
    return true;
  }

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

PairTable pairs;
int outer_watcher = -1;
int attrs_watcher = -1;
bool untracked = false;

void track(PyObject* d) noexcept {
  if (!PyObject_GC_IsTracked(d)) PyObject_GC_Track(d);
}

// The attributes dict of `outer` when the two are PAIRED, else null.  A
// paired outer dict holds exactly its two entries, so anything else is
// answered without a look at the entries; the keys are read by identity
// (PyDict_Next runs no Python code, a key lookup might).
PyObject* paired_attributes(PyObject* outer) noexcept {
  if (PyDict_GET_SIZE(outer) != 2) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(outer, &pos, &key, &value))
    if (key == strings.attributes) return pairs.find(value) == outer ? value : nullptr;
  return nullptr;
}

// Events of outer dicts: a change (1 -> 2) or deallocation (1 -> 3).
int on_outer_event(PyDict_WatchEvent event, PyObject* outer, PyObject*, PyObject*) noexcept {
  if (PyObject* attrs = paired_attributes(outer)) {
    pairs.take(attrs);
    PyDict_Unwatch(attrs_watcher, attrs);
  }
  if (event != PyDict_EVENT_DEALLOCATED) {
    PyDict_Unwatch(outer_watcher, outer);
    track(outer);
  }
  return 0;
}

// Events of attributes dicts: a change (1 -> 2).  (Deallocation cannot
// happen while PAIRED: the outer dict holds it.)
int on_attrs_event(PyDict_WatchEvent, PyObject* attrs, PyObject*, PyObject*) noexcept {
  if (PyObject* outer = pairs.take(attrs)) {
    PyDict_Unwatch(outer_watcher, outer);
    track(outer);
  }
  PyDict_Unwatch(attrs_watcher, attrs);
  return 0;
}

#endif  // NETROVE_UNTRACKED_ANSWERS

}  // namespace

bool init_answers() noexcept {
  static bool done = false;
  if (done) return true;
  if (!make_outer_template()) return false;
#if NETROVE_UNTRACKED_ANSWERS
  outer_watcher = PyDict_AddWatcher(on_outer_event);
  attrs_watcher = outer_watcher < 0 ? -1 : PyDict_AddWatcher(on_attrs_event);
  if (attrs_watcher < 0) {
    // Every watcher slot is taken: answers stay tracked.
    PyErr_Clear();
    if (outer_watcher >= 0) (void)PyDict_ClearWatcher(outer_watcher);
    PyErr_Clear();
  } else {
    untracked = true;
  }
#endif
  done = true;
  return true;
}

PyObject* new_answer(const RecordObjects& o) noexcept {
  prefetch_answer(o);
  Ref attrs(o.attributes ? PyDict_Copy(o.attributes) : PyDict_New());
  if (!attrs) return nullptr;
  Ref out(PyDict_Copy(outer_template));
  if (!out || PyDict_SetItem(out.get(), strings.value, o.value) < 0 ||
      PyDict_SetItem(out.get(), strings.attributes, attrs.get()) < 0 || PyDict_DelItem(out.get(), holes[2]) < 0)
    return nullptr;
#if NETROVE_UNTRACKED_ANSWERS
  // Inserting the attributes dict tracked `out`; pair it, or leave it so.
  if (untracked && pairs.insert(attrs.get(), out.get())) {
    PyObject_GC_UnTrack(out.get());
    PyDict_Watch(outer_watcher, out.get());
    PyDict_Watch(attrs_watcher, attrs.get());
  }
#endif
  return out.release();
}

PyObject* answer_of(const RecordView& record) noexcept {
  const RecordObjects* o = objects_of(record);
  return o ? new_answer(*o) : nullptr;
}

}  // namespace netrove::py
