// PanicException: the Python face of an internal failure.
#include "boundary.hpp"

#include "ref.hpp"

namespace netrove::py {

namespace {

constexpr const char kPanicDoc[] =
    "An internal failure of the netrove engine (a broken invariant or a lock\n"
    "poisoned by an earlier failure).  It derives from BaseException, so\n"
    "``except Exception`` does not catch it.";

constexpr const char kStoreErrorDoc[] =
    "A Redis-backed engine could not reach its store: a bad URL, a server\n"
    "that does not answer, or refused authentication.  The text is the\n"
    "store's, \"Redis error: ...\".";

// Created under the interpreter lock, which serialises every call here.
PyObject* panic_type = nullptr;
PyObject* store_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (!panic_type) {
    panic_type = PyErr_NewExceptionWithDoc("netrove.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void raise_panic(std::string_view text) noexcept {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the creation error stands
  raise_text(type, text);
}

PyObject* store_error_type() noexcept {
  if (!store_type) {
    store_type = PyErr_NewExceptionWithDoc("netrove.StoreError", kStoreErrorDoc, PyExc_ConnectionError, nullptr);
  }
  return store_type;
}

void raise_text(PyObject* type, std::string_view text) noexcept {
  Ref message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

}  // namespace netrove::py
