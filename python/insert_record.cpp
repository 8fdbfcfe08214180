// The stored record of a metadata dict from views of its strings (see
// insert_record.hpp).
//
// Cases, numbered as in the code:
//   1. "value": looked up (exact dict lookup, as metadata_from_dict); absent
//      is the empty text, a str is viewed in place, anything else raises.
//   2. "attributes": absent is no pairs; not a dict raises.
//   3. every pair viewed in place, in the dict's order; a key or text that
//      is not a str raises (key first).
//   4. a key that is a str subclass: two such keys may hold equal texts
//      (a subclass can hash as it likes), which a record cannot (its keys
//      are distinct), so the record is built by metadata_from_dict, whose
//      map keeps the last of equal keys.
//   5. intern the views.
#include "insert_record.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "ref.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

namespace {

using Pair = std::pair<std::string_view, std::string_view>;

/// Whether every key of `dict` is exactly a str: then looking a str up in
/// it compares strings only, and no Python code can run.
bool str_keys_only(PyObject* dict) noexcept {
  Py_ssize_t pos = 0;
  PyObject* key;
  while (PyDict_Next(dict, &pos, &key, nullptr))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

/// The record of metadata_from_dict, interned (case 4).
bool via_metadata(PyObject* dict, RecordRef& out) {
  Metadata m;
  if (!metadata_from_dict(dict, m)) return false;
  out = RecordRef::intern(m);
  return true;
}

}  // namespace

bool stored_record_of(PyObject* dict, RecordRef& out, bool* pure, PyObject** attributes_out) {
  if (pure && !str_keys_only(dict)) *pure = false;
  // 1.  The values found are held while converted: a key's __eq__ may
  // change the dict (see metadata_from_dict).
  Ref value(Py_XNewRef(calling_python([dict] { return PyDict_GetItemWithError(dict, strings.value); })));
  if (!value && PyErr_Occurred()) return false;
  RecordSource source;
  if (value && !ascii_text(value.get(), source.value) && !utf8_of(value.get(), source.value)) return false;
  // 2.
  Ref attributes(Py_XNewRef(calling_python([dict] { return PyDict_GetItemWithError(dict, strings.attributes); })));
  if (!attributes && PyErr_Occurred()) return false;
  if (attributes && !PyDict_Check(attributes.get())) {
    PyErr_SetString(PyExc_TypeError, "'attributes' must be a dict");
    return false;
  }
  if (attributes_out) *attributes_out = attributes.get();  // for both ways of making the record below
  // 3.  Up to kInline pairs on the stack, more on the heap.
  constexpr Py_ssize_t kInline = 8;
  Pair inline_pairs[kInline];
  std::vector<Pair> heap_pairs;
  Pair* pairs = inline_pairs;
  const Py_ssize_t n = attributes ? PyDict_GET_SIZE(attributes.get()) : 0;
  if (n > kInline) {
    heap_pairs.resize(static_cast<std::size_t>(n));
    pairs = heap_pairs.data();
  }
  Py_ssize_t pos = 0, count = 0;
  PyObject *k, *v;
  while (attributes && PyDict_Next(attributes.get(), &pos, &k, &v)) {
    // Converting a str runs no Python code: the dict stays as it is.
    if (!ascii_text(k, pairs[count].first) && !utf8_of(k, pairs[count].first)) return false;
    if (!ascii_text(v, pairs[count].second) && !utf8_of(v, pairs[count].second)) return false;
    if (!PyUnicode_CheckExact(k)) return via_metadata(dict, out);  // 4.
    ++count;
  }
  // 5.
  source.pairs = pairs;
  source.count = static_cast<std::size_t>(count);
  out = RecordRef::intern(source);
  return true;
}

}  // namespace netrove::py
