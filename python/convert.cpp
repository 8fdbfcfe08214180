// Metadata and statistics across the boundary (answers are answers.hpp's).
#include "convert.hpp"

#include <string>

#include "args.hpp"
#include "ref.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

namespace {

// A dict sized for `n` entries up front when that saves resizes.
PyObject* new_dict(std::size_t n) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  if (n > 5) return _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
#endif
  (void)n;
  return PyDict_New();
}

// Stores a new reference under `key`, consuming `value`.
bool set_owned(PyObject* dict, PyObject* key, PyObject* value) noexcept {
  Ref v(value);
  return v && PyDict_SetItem(dict, key, v.get()) == 0;
}

}  // namespace

bool metadata_from_dict(PyObject* dict, Metadata& out) {
  // A key's __eq__ may run Python code that changes the dict, so the values
  // found are held by strong references while they are converted.
  Ref value(Py_XNewRef(calling_python([dict] { return PyDict_GetItemWithError(dict, strings.value); })));
  if (!value && PyErr_Occurred()) return false;
  if (value) {
    std::string_view text;
    if (!utf8_of(value.get(), text)) return false;
    out.value.assign(text);
  }
  Ref attributes(Py_XNewRef(calling_python([dict] { return PyDict_GetItemWithError(dict, strings.attributes); })));
  if (!attributes) return !PyErr_Occurred();
  if (!PyDict_Check(attributes.get())) {
    PyErr_SetString(PyExc_TypeError, "'attributes' must be a dict");
    return false;
  }
  // Converting a str runs no Python code, so the dict cannot change under
  // this loop.
  out.attributes.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(attributes.get())));
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(attributes.get(), &pos, &k, &v)) {
    std::string_view key, val;
    if (!utf8_of(k, key) || !utf8_of(v, val)) return false;
    out.attributes.insert_or_assign(std::string(key), std::string(val));
  }
  return true;
}

PyObject* stats_to_dict(const EngineStats& s) noexcept {
  const std::pair<PyObject*, std::uint64_t> fields[] = {
      {strings.size, s.size},     {strings.inserts, s.inserts}, {strings.lookups, s.lookups},
      {strings.hits, s.hits},     {strings.misses, s.misses},   {strings.removals, s.removals},
  };
  Ref out(new_dict(6));
  if (!out) return nullptr;
  for (const auto& [key, n] : fields) {
    if (!set_owned(out.get(), key, PyLong_FromUnsignedLongLong(n))) return nullptr;  // partial dict released
  }
  return out.release();
}

}  // namespace netrove::py
