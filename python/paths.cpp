// Paths from Python arguments (see paths.hpp).
#include "paths.hpp"

#include <cerrno>

#include "args.hpp"
#include "boundary.hpp"
#include "thread_exit.hpp"

namespace netrove::py {

bool is_path_like(PyObject* arg) {
  return PyUnicode_Check(arg) || PyBytes_Check(arg) || PyObject_HasAttrString(arg, "__fspath__");
}

bool fs_path_arg(PyObject* arg, const char* param, FsPath& out) {
  if (!is_path_like(arg)) {
    raise_not_instance(arg, "str");
    add_param_note(param);
    return false;
  }
  out.object = Ref(calling_python([arg] { return PyOS_FSPath(arg); }));
  if (!out.object) return false;
  Ref bytes(PyUnicode_Check(out.object.get()) ? PyUnicode_EncodeFSDefault(out.object.get())
                                              : Py_NewRef(out.object.get()));
  if (!bytes) return false;
  out.bytes.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  if (out.bytes.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

void raise_load_error(const LoadError& e, const FsPath* path) {
  if (e.kind() == LoadError::Kind::io) {
    errno = e.error_number();
    if (path && path->object) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path->object.get());
    else PyErr_SetFromErrno(PyExc_OSError);
    return;
  }
  raise_text(PyExc_ValueError, e.what());
}

}  // namespace netrove::py
