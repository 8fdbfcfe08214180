// Recent records by metadata dict, kept true by a dict watcher (see
// recent_records.hpp).
#include "recent_records.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "object_hash.hpp"

namespace netrove::py {

namespace {

// 16384 sets of 4 slots (2 MiB, mapped as they are first used).
constexpr std::size_t kSets = 16384;
constexpr unsigned kWays = 4;
// Shares a slot takes from its record at a time.
constexpr std::uint32_t kCredit = 64;

struct alignas(32) Slot {
  PyObject* dict;          // null: empty
  StoredRecord* record;    // `shares` shares, or null (queued for release)
  std::uint64_t made;      // clock_ when the record was made
  std::uint32_t shares;    // >= 1 while record is set
  std::uint32_t attributes;  // 1: made with an attributes dict (checked against clock_)
};
struct alignas(64) Set {
  Slot slot[kWays];
};
static_assert(sizeof(Slot) == 32 && sizeof(Set) == 128, "a set is two cache lines");
static_assert((kSets & (kSets - 1)) == 0, "set_of masks");

Set sets_[kSets];
std::uint8_t next_way_[kSets];  // the way a new dict takes when the set is full
std::uint64_t clock_ = 0;
int watcher = -2;  // -2 not asked yet, -1 none free

// Emptied slots whose record is still to be released (set * kWays + way).
// A slot is queued when its dict goes, and filled again only after the
// queue is released, so the queue holds each slot at most once.
std::uint32_t queued_[kSets * kWays];
std::size_t n_queued_ = 0;
std::size_t filled_ = 0;  // slots holding a record

std::size_t set_of(PyObject* dict) noexcept { return object_hash(dict) & (kSets - 1); }

Slot* find(PyObject* dict) noexcept {
  for (Slot& s : sets_[set_of(dict)].slot)
    if (s.dict == dict) return &s;
  return nullptr;
}

/// Gives back the slot's shares and empties its record.
void release_slot(Slot& s) noexcept {
  StoredRecord* r = std::exchange(s.record, nullptr);
  // Not the last share: the slot holds `shares` of them.
  if (s.shares > 1) r->owners.fetch_sub(s.shares - 1, std::memory_order_relaxed);
  s.shares = 0;
  release_record(r);
  --filled_;
}

int on_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
  if (Slot* s = find(dict)) {
    s->dict = nullptr;
    if (s->record) {
      queued_[n_queued_++] = static_cast<std::uint32_t>(s - &sets_[0].slot[0]);
    }
  }
  // Maybe some slot's attributes dict: every record made before is stale.
  if (event != PyDict_EVENT_DEALLOCATED) ++clock_;
  return 0;
}

void release_queued() noexcept {
  while (n_queued_ != 0) {
    const std::uint32_t at = queued_[--n_queued_];
    Slot& s = sets_[at / kWays].slot[at % kWays];
    if (s.dict == nullptr && s.record) release_slot(s);
  }
}

}  // namespace

void forget_recent_records() noexcept {
  if (filled_ == 0) return;
  for (Set& set : sets_)
    for (Slot& s : set.slot) {
      if (s.record) release_slot(s);
      s.dict = nullptr;
    }
  n_queued_ = 0;
}

bool recent_record(PyObject* dict, RecordRef& out) noexcept {
  if (watcher < 0) return false;
  release_queued();
  Slot* s = find(dict);
  if (!s || (s->attributes && s->made != clock_)) return false;
  if (s->shares == 1) {  // the last one stays with the slot: take a new batch
    s->record->owners.fetch_add(kCredit, std::memory_order_relaxed);
    s->shares += kCredit;
  }
  --s->shares;
  out = RecordRef::adopt(s->record);
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
  // The dict's own slot (its record went stale), else an empty one, else
  // the set's next in turn; a dict put out stays watched (see the header).
  Slot* s = find(dict);
  if (!s) {
    const std::size_t i = set_of(dict);
    Set& set = sets_[i];
    for (Slot& t : set.slot)
      if (!t.dict && !t.record) {
        s = &t;
        break;
      }
    if (!s) s = &set.slot[next_way_[i]++ % kWays];
  }
  if (s->record) release_slot(*s);
  record.add_shares(kCredit);
  *s = Slot{dict, record.get(), clock_, kCredit, attributes != nullptr};
  ++filled_;
}

}  // namespace netrove::py
