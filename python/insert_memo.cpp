// InsertMemo: per-call records by metadata dict, kept true by a dict
// watcher (see insert_memo.hpp).
#include "insert_memo.hpp"

#include <cstdint>
#include <utility>

namespace netrove::py {

namespace {

int watcher = -2;          // the memo's dict watcher; -2 not asked yet, -1 none free
std::uint64_t event_clock = 0;  // moved by every event on a watched dict
InsertMemo* in_use = nullptr;

}  // namespace

PyObject* const InsertMemo::kGone = reinterpret_cast<PyObject*>(std::uintptr_t{8});

InsertMemo::InsertMemo() noexcept {
  if (watcher == -2) {
    watcher = PyDict_AddWatcher(on_event);
    if (watcher < 0) PyErr_Clear();  // every watcher slot taken: no memo
  }
  next_ = in_use;
  if (next_) next_->prev_ = this;
  in_use = this;
  listed_ = true;
}

int InsertMemo::on_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
  for (InsertMemo* m = in_use; m; m = m->next_) m->on_dict_event(event, dict);
  return 0;
}

void InsertMemo::on_dict_event(PyDict_WatchEvent event, PyObject* dict) noexcept {
  Slot* s = slot_of(dict);
  if (!s) return;
  if (event == PyDict_EVENT_DEALLOCATED) {
    // A tombstone keeps its record share until the table is rebuilt: a
    // watcher callback releases nothing (which could free Python objects).
    s->dict = kGone;
    s->attributes = nullptr;
  } else {
    // Stale as a metadata dict (find compares the stamp with `made`) and
    // as an attributes dict (every record made from it before now).
    s->stamp = ++event_clock;
  }
}

std::size_t InsertMemo::home(PyObject* dict) const noexcept {
  // Objects are 16-byte aligned: drop the zero bits, then spread the rest
  // over the table with a multiplicative hash (the high bits of the
  // product are the well-mixed ones).
  const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9e3779b97f4a7c15ull;
  return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
}

InsertMemo::Slot* InsertMemo::slot_of(PyObject* dict) const noexcept {
  if (used_ == 0) return nullptr;
  for (std::size_t i = home(dict);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& s = slots_[i];
    if (s.dict == dict) return const_cast<Slot*>(&s);
    if (s.dict == nullptr) return nullptr;
  }
}

const RecordRef* InsertMemo::find(PyObject* dict) const noexcept {
  const Slot* s = slot_of(dict);
  if (!s || !s->record || s->stamp > s->made) return nullptr;
  if (s->attributes) {
    const Slot* a = slot_of(s->attributes);
    if (!a || a->stamp > s->made) return nullptr;
  }
  return &s->record;
}

void InsertMemo::grow() {
  std::size_t live = 0;
  for (const Slot& s : slots_) live += s.dict != nullptr && s.dict != kGone;
  std::size_t size = 64;
  while (size < 4 * (live + 1)) size *= 2;
  ScratchVector<Slot> old = std::move(slots_);
  slots_.clear();
  slots_.resize(size);
  used_ = live;
  for (Slot& s : old) {
    if (s.dict == nullptr || s.dict == kGone) continue;
    std::size_t i = home(s.dict);
    while (slots_[i].dict) i = (i + 1) & (size - 1);
    slots_[i] = std::move(s);
  }
}

InsertMemo::Slot* InsertMemo::watched_slot(PyObject* dict) {
  if (Slot* s = slot_of(dict)) return s;
  if (watcher < 0) return nullptr;
  if (2 * (used_ + 1) > slots_.size()) grow();
  if (PyDict_Watch(watcher, dict) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  std::size_t i = home(dict);
  Slot* tomb = nullptr;
  for (; slots_[i].dict; i = (i + 1) & (slots_.size() - 1))
    if (!tomb && slots_[i].dict == kGone) tomb = &slots_[i];
  Slot* s = tomb ? tomb : &slots_[i];
  used_ += !tomb;
  *s = Slot{};
  s->dict = dict;
  return s;
}

void InsertMemo::remember(PyObject* dict, PyObject* attributes, const RecordRef& record) {
  // The attributes dict first: making D's slot may move every slot.
  if (attributes && !watched_slot(attributes)) return;
  Slot* s = watched_slot(dict);
  if (!s) return;
  s->record = record;
  s->attributes = attributes;
  s->made = event_clock;
}

bool InsertMemo::holds(PyObject* dict) const noexcept { return slot_of(dict) != nullptr; }

void InsertMemo::finish() noexcept {
  if (!listed_) return;
  (prev_ ? prev_->next_ : in_use) = next_;
  if (next_) next_->prev_ = prev_;
  listed_ = false;
  PyObject* raised = PyErr_GetRaisedException();  // the call's error, if it failed
  for (const Slot& s : slots_) {
    if (s.dict == nullptr || s.dict == kGone) continue;
    bool shared = false;
    for (const InsertMemo* m = in_use; m && !shared; m = m->next_) shared = m->holds(s.dict);
    if (!shared && PyDict_Unwatch(watcher, s.dict) < 0) PyErr_Clear();
  }
  PyErr_SetRaisedException(raised);
  // Records released last, with no slot left to reach them.
  ScratchVector<Slot> old = std::move(slots_);
  slots_ = {};
  used_ = 0;
}

}  // namespace netrove::py
