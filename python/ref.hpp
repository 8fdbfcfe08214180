// An owned (strong) reference to a Python object, released on scope exit,
// and list_of, which fills a new list from new references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

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

/// A new list of `n` items, item(i) giving each as a new reference (null
/// with the error set to fail: the list and the items so far are released).
template <class Item>
PyObject* list_of(std::size_t n, Item&& item) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* x = item(i);
    if (!x) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), x);  // steals
  }
  return list.release();
}

}  // namespace netrove::py
