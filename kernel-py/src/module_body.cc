#include "module_body.h"

#include "convert.h"
#include "failure.h"
#include "interned.h"

namespace vestrel::py {

void add_name(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_name = interned(InternedName::All);
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) throw Failure::fetch();
    PyErr_Clear();
    all = created(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, all.get()) != 0) throw Failure::fetch();
  } else if (!PyList_Check(all.get())) {
    throw downcast_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name) != 0) fault("could not append __name__ to __all__");
  if (PyObject_SetAttr(module, name, value) != 0) throw Failure::fetch();
}

void add_name(PyObject* module, const char* name, PyObject* value) {
  Ref text = created(PyUnicode_FromString(name));
  add_name(module, text.get(), value);
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) throw Failure::fetch();
  Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) throw Failure::fetch();
  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(InternedName::Name)));
  if (!name) throw Failure::fetch();
  if (!PyUnicode_Check(name.get())) throw downcast_error(name.get(), "PyString");
  add_name(module, name.get(), function.get());
}

namespace {

constexpr char kSubinterpreterMessage[] =
    "vestrel_kernel modules do not yet support subinterpreters, see "
    "https://vestrel.invalid/kernel/issues/subinterpreters";

}  // namespace

Ref import_process_module(ProcessModule& state) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw Failure::fetch();
  std::int64_t expected = -1;
  if (!state.bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw Failure::message(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (state.module != nullptr) return Ref::borrow(state.module);

  Ref module = Ref::steal(PyModule_Create2(&state.def, PYTHON_ABI_VERSION));
  if (!module) throw Failure::fetch();
  state.body(module.get());  // a failure drops the half-built module
  // A reference of the process's own, never released; the caller gets the other.
  state.module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace vestrel::py
