// Per-record Python objects: building, hanging on the record, and the
// two-epoch release described in record_objects.hpp.
#include "record_objects.hpp"

#include <pthread.h>

#include <cerrno>
#include <new>
#include <string_view>

#include "ref.hpp"

namespace netrove::py {

namespace detail {
std::atomic<RecordObjects*> g_released{nullptr};
}  // namespace detail

namespace {

// The epochs of unlocked batches.  Read and written only with the
// interpreter lock held (and by the fork child handler, single-threaded).
struct Epochs {
  unsigned long long epoch = 0;
  long in_flight[2] = {0, 0};
  RecordObjects* waiting = nullptr;  // freed once in_flight[waiting_parity] is 0
  unsigned waiting_parity = 0;
};
Epochs g_epochs;

// The unlocked batches registered by this thread, by parity: a batch's
// conversion can run Python code, and that code can fork, so the forking
// thread may itself be inside batches (nested ones too).
thread_local long t_own_in_flight[2] = {0, 0};

// The library's release hook: any thread, no interpreter lock.  A push onto
// a list that is only ever taken whole cannot meet ABA.
void on_record_freed(void* host) noexcept {
  auto* o = static_cast<RecordObjects*>(host);
  RecordObjects* head = detail::g_released.load(std::memory_order_relaxed);
  do {
    o->next = head;
  } while (!detail::g_released.compare_exchange_weak(head, o, std::memory_order_release, std::memory_order_relaxed));
}

void free_all(RecordObjects* o) noexcept {
  while (o) {
    RecordObjects* next = o->next;
    Py_DECREF(o->value);
    Py_XDECREF(o->attributes);
    delete o;
    o = next;
  }
}

// Only the forking thread lives on in the child: the batches in flight
// there are the ones that thread had registered (it held the interpreter
// lock to fork, so it was in none of their unlocked phases), and they end
// in the child as they would have in the parent.
void after_fork_in_child() noexcept {
  g_epochs.in_flight[0] = t_own_in_flight[0];
  g_epochs.in_flight[1] = t_own_in_flight[1];
}

PyObject* new_str(std::string_view s) noexcept {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// The attribute template: names interned (records repeat a few names),
// values shared by every answer.  Holds only str, so it is born and stays
// untracked, and so are its copies.
PyObject* new_template(const RecordView& record) noexcept {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [k, v] : record) {
    PyObject* key = new_str(k);
    if (!key) return nullptr;
    PyUnicode_InternInPlace(&key);
    Ref owned_key(key), value(new_str(v));
    if (!value || PyDict_SetItem(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// Fills o.lines (see RecordObjects).  The key table is the template's own
// (a copy clones it whole), read through the dict's public layout.
void note_lines(RecordObjects& o) noexcept {
  int n = 0;
  o.lines[n++] = o.value;
  if (PyObject* t = o.attributes) {
    const auto* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(t)->ma_keys);
    o.lines[n++] = t;
    o.lines[n++] = keys;
    o.lines[n++] = keys + 64;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (n < RecordObjects::kLines && PyDict_Next(t, &pos, &key, &value)) o.lines[n++] = value;
  }
  while (n < RecordObjects::kLines) o.lines[n++] = o.value;
}

}  // namespace

namespace detail {

void drain_released() noexcept {
  Epochs& g = g_epochs;
  // 1.
  if (g.waiting && g.in_flight[g.waiting_parity] == 0) {
    free_all(g.waiting);
    g.waiting = nullptr;
  }
  if (g.waiting || !g_released.load(std::memory_order_relaxed)) return;
  // 2.
  const unsigned now = static_cast<unsigned>(g.epoch & 1);
  if (g.in_flight[0] == 0 && g.in_flight[1] == 0) {
    free_all(g_released.exchange(nullptr, std::memory_order_acquire));
  } else if (g.in_flight[now ^ 1] == 0) {
    g.waiting = g_released.exchange(nullptr, std::memory_order_acquire);
    g.waiting_parity = now;
    ++g.epoch;
  }
}

}  // namespace detail

bool init_record_objects() noexcept {
  static bool done = false;
  if (done) return true;
  if (const int err = pthread_atfork(nullptr, nullptr, after_fork_in_child); err != 0) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  set_record_host_release(&on_record_freed);
  done = true;
  return true;
}

const RecordObjects* objects_of(const RecordView& record) noexcept {
  auto& stored = const_cast<StoredRecord&>(record.stored());
  if (const RecordObjects* o = hung_objects(stored)) return o;
  Ref value(new_str(record.value()));
  if (!value) return nullptr;
  Ref attributes;
  if (record.size() != 0) {
    attributes = Ref(new_template(record));
    if (!attributes) return nullptr;
  }
  auto* o = new (std::nothrow) RecordObjects{value.get(), attributes.get(), nullptr, {}};
  if (!o) {
    PyErr_NoMemory();
    return nullptr;
  }
  note_lines(*o);
  value.release();
  attributes.release();
  // Only holders of the interpreter lock build, so nobody raced us here.
  stored.host.store(o, std::memory_order_release);
  return o;
}

BatchGuard::BatchGuard() noexcept : parity_(static_cast<unsigned>(g_epochs.epoch & 1)) {
  ++g_epochs.in_flight[parity_];
  ++t_own_in_flight[parity_];
}

BatchGuard::~BatchGuard() {
  --g_epochs.in_flight[parity_];
  --t_own_in_flight[parity_];
  detail::drain_released();
}

}  // namespace netrove::py
