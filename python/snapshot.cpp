// RadixEngine's snapshots as bytes objects (see snapshot.hpp).
#include "snapshot.hpp"

#include <string>

#include "boundary.hpp"
#include "unlocked.hpp"

namespace netrove::py {

PyObject* snapshot_of(const Engine& engine) {
  std::string bytes;
  {
    Unlocked unlocked;
    bytes = save_snapshot(engine);
  }
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

bool snapshot_contents(PyObject* bytes, SnapshotContents& out) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  std::optional<std::string> error;
  {
    // The bytes object is immutable and the caller's reference keeps it.
    Unlocked unlocked;
    error = read_snapshot(std::string_view(data, static_cast<std::size_t>(size)), out);
  }
  if (!error) return true;
  raise_text(PyExc_ValueError, "malformed RadixEngine snapshot: " + *error);
  return false;
}

bool load_contents(Engine& engine, SnapshotContents& contents) {
  InsertResult r;
  {
    Unlocked unlocked;
    std::size_t done = 0;
    r = load_records(engine, contents.prefixes.data(), contents.records.data(), contents.prefixes.size(), &done);
    contents = {};
  }
  if (r.ok()) return true;
  raise_text(PyExc_ValueError, r.error->message);
  return false;
}

}  // namespace netrove::py
