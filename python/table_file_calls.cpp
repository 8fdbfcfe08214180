// RadixEngine.save and the reading half of RadixEngine.open (see
// table_file_calls.hpp).
#include "table_file_calls.hpp"

#include "boundary.hpp"
#include "netrove/table_file.hpp"
#include "paths.hpp"
#include "unlocked.hpp"

namespace netrove::py {

PyObject* save_impl(const Engine& engine, PyObject* path) {
  FsPath file;
  if (!fs_path_arg(path, "path", file)) return nullptr;
  try {
    Unlocked unlocked;
    save_table_file(engine, file.bytes);
  } catch (const LoadError& e) {
    raise_load_error(e, &file);
    return nullptr;
  }
  Py_RETURN_NONE;
}

bool table_file_entries(PyObject* path, SnapshotContents& out) {
  FsPath file;
  if (!fs_path_arg(path, "path", file)) return false;
  std::optional<std::string> error;
  try {
    Unlocked unlocked;
    const FileBytes bytes(file.bytes);
    error = read_table_file(bytes.bytes(), out);
  } catch (const LoadError& e) {
    raise_load_error(e, &file);
    return false;
  }
  if (!error) return true;
  // Named by its bytes as load() names a source: the path may be bytes.
  raise_text(PyExc_ValueError, file.bytes + ": " + *error);
  return false;
}

}  // namespace netrove::py
