// The module vestrel._native: the compiled core under the `vestrel` package.
// It is built from the same kernel and the same frame as vestrel_kernel and
// only shapes the kernel's answers into plain tuples; the package's Python
// code turns them into objects and typed exceptions.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "entry.h"
#include "failure.h"
#include "module_body.h"
#include "native_callables.h"
#include "ref.h"

namespace vestrel::py {

namespace {

// Like vestrel_kernel, the module keeps process-wide state (the panic type,
// the island class),
// which a second interpreter must not share.
constexpr char kSubinterpreterMessage[] =
    "vestrel_kernel modules do not yet support subinterpreters, see "
    "https://vestrel.invalid/kernel/issues/subinterpreters";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vestrel._native",
    "The compiled core of the vestrel package; use the package, not this module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_object = nullptr;  // kept for good once the body succeeded

PyMethodDef* const kFunctions[] = {&native_verify_method, &native_covers_method,
                                   &native_prove_method, &native_check_proof_method};

Ref initialise() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw Failure::fetch();
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw Failure::message(PyExc_ImportError, kSubinterpreterMessage);
  }
  if (module_object != nullptr) return Ref::borrow(module_object);

  find_island_type();
  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) throw Failure::fetch();
  for (PyMethodDef* function : kFunctions) add_function(module.get(), function);
  // A reference of the process's own, never released; the caller gets the other.
  module_object = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace

}  // namespace vestrel::py

PyMODINIT_FUNC PyInit__native() noexcept {
  return vestrel::py::guarded([] { return vestrel::py::initialise(); });
}
