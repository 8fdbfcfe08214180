// InsertMemo: per-call records by metadata dict, kept true by a dict
// watcher (see insert_memo.hpp).
#include "insert_memo.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "object_hash.hpp"

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
  Entry* e = entry_of(dict);
  if (!e) return;
  if (event == PyDict_EVENT_DEALLOCATED) {
    // The entry keeps its record share until the call ends: a watcher
    // callback releases nothing (which could free Python objects).
    e->dict = kGone;
    e->attributes = nullptr;
    --live_;
  } else {
    // Stale as a metadata dict (lend compares the stamp with `made`) and
    // as an attributes dict (every record made from it before now).
    e->stamp = ++event_clock;
  }
}

namespace {

// The high bits of the dict's address hash are both the slot's tag and its
// home.
std::uint32_t tag_of(PyObject* dict) noexcept { return object_hash(dict); }

}  // namespace

InsertMemo::Entry* InsertMemo::entry_of(PyObject* dict) const noexcept {
  if (index_.empty()) return nullptr;
  const std::uint32_t tag = tag_of(dict);
  const std::size_t mask = index_.size() - 1;
  for (std::size_t i = tag & mask;; i = (i + 1) & mask) {
    const std::uint64_t slot = index_[i];
    if (slot == 0) return nullptr;
    if (slot >> 32 == tag) {
      Entry& e = entry(slot);
      if (e.dict == dict) return &e;
    }
  }
}

void InsertMemo::prefetch_slot(PyObject* dict) const noexcept {
  if (!index_.empty()) __builtin_prefetch(&index_[tag_of(dict) & (index_.size() - 1)]);
}

const InsertMemo::Entry* InsertMemo::home_entry(PyObject* dict) const noexcept {
  if (index_.empty()) return nullptr;
  const std::uint32_t tag = tag_of(dict);
  const std::uint64_t slot = index_[tag & (index_.size() - 1)];
  return slot != 0 && slot >> 32 == tag ? &entry(slot) : nullptr;
}

void InsertMemo::prefetch_entry(PyObject* dict) const noexcept {
  if (const Entry* e = home_entry(dict)) __builtin_prefetch(e, 1);  // lend() counts in it
}

StoredRecord* InsertMemo::lend(PyObject* dict) noexcept {
  Entry* e = entry_of(dict);
  if (!e || !e->record) return nullptr;
  // While no watched dict has changed since the record was made, there is
  // nothing else to check.
  if (e->made != event_clock) {
    if (e->stamp > e->made) return nullptr;
    if (e->attributes) {
      const Entry* a = entry_of(e->attributes);
      if (!a || a->stamp > e->made) return nullptr;
    }
  }
  if (e->lent == UINT32_MAX) settle(*e);
  ++e->lent;
  return e->record.get();
}

void InsertMemo::settle(Entry& e) noexcept {
  if (e.lent) e.record.add_shares(e.lent);
  e.lent = 0;
}

void InsertMemo::grow() {
  std::size_t size = 64;
  while (size < 3 * (live_ + 1)) size *= 2;
  // Slots move by their tags alone; entries are read only to drop the
  // slots of dead dicts, when there are any.
  const bool dead = used_ != live_;
  ScratchVector<std::uint64_t> old = std::move(index_);
  index_.assign(size, 0);
  used_ = 0;
  for (const std::uint64_t slot : old)
    if (slot != 0 && !(dead && entry(slot).dict == kGone)) place(slot);
}

void InsertMemo::place(std::uint64_t slot) noexcept {
  const std::size_t mask = index_.size() - 1;
  std::size_t i = (slot >> 32) & mask;
  while (index_[i]) i = (i + 1) & mask;
  index_[i] = slot;
  ++used_;
}

InsertMemo::Entry* InsertMemo::watched_entry(PyObject* dict) {
  if (Entry* e = entry_of(dict)) return e;
  if (watcher < 0 || entries_ == UINT32_MAX) return nullptr;
  if (2 * (used_ + 1) > index_.size()) grow();
  if (entries_ % kChunk == 0) chunks_.push_back(std::make_unique<Entry[]>(kChunk));
  if (PyDict_Watch(watcher, dict) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  const std::size_t n = entries_++;
  Entry& e = at(n);
  e.dict = dict;
  ++live_;
  place(std::uint64_t{tag_of(dict)} << 32 | (n + 1));
  return &e;
}

void InsertMemo::remember(PyObject* dict, PyObject* attributes, const RecordRef& record) {
  if (attributes && !watched_entry(attributes)) return;
  Entry* e = watched_entry(dict);
  if (!e) return;
  settle(*e);  // the shares lent of a record the dict no longer holds
  e->record = record;
  e->attributes = attributes;
  e->made = event_clock;
}

void InsertMemo::finish() noexcept {
  if (!listed_) return;
  (prev_ ? prev_->next_ : in_use) = next_;
  if (next_) next_->prev_ = prev_;
  listed_ = false;
  PyObject* raised = PyErr_GetRaisedException();  // the call's error, if it failed
  for (std::size_t n = 0; n < entries_; ++n) {
    Entry& e = at(n);
    settle(e);
    PyObject* dict = e.dict;
    if (dict == kGone) continue;
    bool shared = false;
    for (const InsertMemo* m = in_use; m && !shared; m = m->next_) shared = m->entry_of(dict) != nullptr;
    if (!shared && PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
  }
  PyErr_SetRaisedException(raised);
  // Records released last, with no entry left to reach them.
  std::vector<std::unique_ptr<Entry[]>> chunks = std::move(chunks_);
  chunks_.clear();
  index_ = {};
  used_ = live_ = entries_ = 0;
}

}  // namespace netrove::py
