// Recent records by metadata dict, kept true by a dict watcher (see
// recent_records.hpp).
#include "recent_records.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "object_hash.hpp"

namespace netrove::py {

namespace {

// 16384 slots of 32 bytes (512 KiB, mapped as they are first used).  On a
// full table inserted in order with one dict per origin, about 80% of
// inserts find their dict's record (70% with 4096 slots, 83% with 65536;
// a miss costs a conversion of a dict that is mostly out of cache).
constexpr std::size_t kSlots = 16384;

struct alignas(32) Slot {
  PyObject* dict;          // null: empty
  PyObject* attributes;    // the attributes dict the record was made with, or null
  std::uint64_t made;      // clock_ when the record was made
  StoredRecord* record;    // one share, or null
};
static_assert(sizeof(Slot) == 32 && (kSlots & (kSlots - 1)) == 0, "a slot is half a line; slot_of masks");

Slot slots_[kSlots];
std::uint64_t clock_ = 0;
int watcher = -2;  // -2 not asked yet, -1 none free

// Emptied slots whose record is still to be released.  A slot is queued
// when its dict goes, and filled again only after the queue is released,
// so the queue holds each slot at most once.
std::uint32_t queued_[kSlots];
std::size_t n_queued_ = 0;
std::size_t filled_ = 0;  // slots holding a record

Slot& slot_of(PyObject* dict) noexcept { return slots_[object_hash(dict) & (kSlots - 1)]; }

int on_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
  Slot& s = slot_of(dict);
  if (s.dict == dict) {
    s.dict = nullptr;
    if (s.record) queued_[n_queued_++] = static_cast<std::uint32_t>(&s - slots_);
  }
  // Maybe some slot's attributes dict: every record made before is stale.
  if (event != PyDict_EVENT_DEALLOCATED) ++clock_;
  return 0;
}

void release_queued() noexcept {
  while (n_queued_ != 0) {
    Slot& s = slots_[queued_[--n_queued_]];
    if (s.dict == nullptr && s.record) {
      release_record(std::exchange(s.record, nullptr));
      --filled_;
    }
  }
}

}  // namespace

void forget_recent_records() noexcept {
  if (filled_ == 0) return;
  for (Slot& s : slots_) {
    if (s.record) release_record(std::exchange(s.record, nullptr));
    s.dict = nullptr;
  }
  n_queued_ = filled_ = 0;
}

bool recent_record(PyObject* dict, RecordRef& out) noexcept {
  if (watcher < 0) return false;
  release_queued();
  const Slot& s = slot_of(dict);
  if (s.dict != dict || (s.attributes && s.made != clock_)) return false;
  s.record->owners.fetch_add(1, std::memory_order_relaxed);
  out = RecordRef::adopt(s.record);
  return true;
}

void keep_recent_record(PyObject* dict, PyObject* attributes, const RecordRef& record) noexcept {
  if (watcher == -2) {
    watcher = PyDict_AddWatcher(on_event);
    if (watcher < 0) PyErr_Clear();  // every watcher slot taken: nothing kept
  }
  if (watcher < 0) return;
  release_queued();
  if ((attributes && PyDict_Watch(watcher, attributes) < 0) || PyDict_Watch(watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  Slot& s = slot_of(dict);
  if (s.record) release_record(s.record);  // its dict stays watched (see the header)
  else ++filled_;
  record.add_shares(1);
  s = Slot{dict, attributes, clock_, record.get()};
}

}  // namespace netrove::py
