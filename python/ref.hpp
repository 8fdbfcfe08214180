// An owned (strong) reference to a Python object, released on scope exit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace netrove::py {

class Ref {
 public:
  Ref() noexcept = default;
  /// Takes over `owned` (a new reference, or null after a failed call).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.release()) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.release();
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace netrove::py
