// The module `netrove`: multi-phase initialisation with one execution slot
// that adds the class RadixEngine, the function version and the exception
// StoreError, lists them in __all__, and adds __restore__, the reconstructor
// pickled engines name.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "answers.hpp"
#include "args.hpp"
#include "boundary.hpp"
#include "radix_engine.hpp"
#include "record_objects.hpp"
#include "ref.hpp"

namespace netrove::py {
namespace {

constexpr const char kModuleDoc[] =
    "Netrove \xE2\x80\x94 high-performance IP subnet longest-prefix matching engine.";  // U+2014

constexpr const char kVersion[] = "1.1.1";

PyObject* version(PyObject*, PyObject*) noexcept { return PyUnicode_FromString(kVersion); }

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

// Adds `value` (a new reference, consumed) to `module` as `name` and appends
// the name to `all`, the future __all__, which is created on first use.
bool add(PyObject* module, Ref& all, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  if (!all) {
    all = Ref(PyList_New(0));
    if (!all) return false;
  }
  Ref key(PyUnicode_InternFromString(name));
  return key && PyModule_AddObjectRef(module, name, owned.get()) == 0 && PyList_Append(all.get(), key.get()) == 0;
}

// Population step.  Any failure returns -1 with the error set, and the
// import fails with it.
int exec_module(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    raise_not_instance(module, "module");
    return -1;
  }
  // The slot below refuses isolated subinterpreters; legacy ones would load
  // the module all the same, with watchers and objects of another
  // interpreter.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "netrove loads in the main interpreter only");
    return -1;
  }
  if (!init_strings() || !init_record_objects() || !init_answers()) return -1;
  Ref all;
  if (!add(module, all, "RadixEngine", Py_XNewRef(radix_engine_type()))) return -1;
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  if (!add(module, all, "version", PyCFunction_NewEx(&version_def, module, name.get()))) return -1;
  if (!add(module, all, "StoreError", Py_XNewRef(store_error_type()))) return -1;
  if (PyModule_AddObjectRef(module, "__all__", all.get()) != 0) return -1;
  // The pickle reconstructor: a dunder name, outside __all__.
  Ref restore(restore_function(module));
  return restore ? PyModule_AddObjectRef(module, "__restore__", restore.get()) : -1;
}

// One interpreter only: the Python objects kept per stored record belong to
// one interpreter, and stored records are shared by every engine of the
// process (record_objects.hpp).
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "netrove",     // m_name
    kModuleDoc,    // m_doc
    0,             // m_size: no per-module state
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace
}  // namespace netrove::py

PyMODINIT_FUNC PyInit_netrove(void) { return PyModuleDef_Init(&netrove::py::module_def); }
