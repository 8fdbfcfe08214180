// InsertMemo: per-call records by metadata dict (see insert_memo.hpp).
#include "insert_memo.hpp"

#include <cstdint>
#include <utility>

namespace netrove::py {

std::size_t InsertMemo::home(PyObject* dict) const noexcept {
  // Objects are 16-byte aligned: drop the zero bits, then spread the rest
  // over the table with a multiplicative hash (the high bits of the
  // product are the well-mixed ones).
  const std::uint64_t h = (reinterpret_cast<std::uintptr_t>(dict) >> 4) * 0x9e3779b97f4a7c15ull;
  return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
}

const RecordRef* InsertMemo::find(PyObject* dict) const noexcept {
  if (size_ == 0) return nullptr;
  for (std::size_t i = home(dict);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& s = slots_[i];
    if (s.dict == dict) return &s.record;
    if (s.dict == nullptr) return nullptr;
  }
}

void InsertMemo::grow() {
  ScratchVector<Slot> old = std::move(slots_);
  slots_.clear();
  slots_.resize(old.empty() ? 64 : 2 * old.size());
  for (Slot& s : old) {
    if (!s.dict) continue;
    std::size_t i = home(s.dict);
    while (slots_[i].dict) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = std::move(s);
  }
}

void InsertMemo::remember(PyObject* dict, const RecordRef& record) {
  if (2 * (size_ + 1) > slots_.size()) grow();
  std::size_t i = home(dict);
  while (slots_[i].dict) i = (i + 1) & (slots_.size() - 1);
  slots_[i].dict = Py_NewRef(dict);
  slots_[i].record = record;
  ++size_;
}

void InsertMemo::clear() noexcept {
  if (size_ == 0) return;
  for (Slot& s : slots_) {
    if (!s.dict) continue;
    s.record = RecordRef();
    // The last reference to a dict may run code (a finalizer of something
    // it holds): the slot is emptied first, so that nothing sees it half gone.
    PyObject* d = std::exchange(s.dict, nullptr);
    Py_DECREF(d);
  }
  size_ = 0;
}

}  // namespace netrove::py
