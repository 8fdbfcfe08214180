// File-system paths from Python arguments, and the OSError of a failed
// file operation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "netrove/load.hpp"
#include "ref.hpp"

namespace netrove::py {

/// A path argument: the object os.fspath gave (str or bytes, OSError's
/// filename) and its bytes in the file-system encoding.
struct FsPath {
  Ref object;
  std::string bytes;
};

/// Whether `arg` is a path: a str, bytes or an os.PathLike.
bool is_path_like(PyObject* arg);

/// `arg` as a path.  False with TypeError (note `param`) when it is no path,
/// ValueError for an embedded null byte, or what __fspath__ raised.
bool fs_path_arg(PyObject* arg, const char* param, FsPath& out);

/// Raises `e` as Python would: OSError with its errno (and `path` as the
/// filename, when given) for kind io, ValueError with its text otherwise.
void raise_load_error(const LoadError& e, const FsPath* path);

}  // namespace netrove::py
