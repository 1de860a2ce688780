// The module vestrel._native: the compiled core under the `vestrel` package.
// It is built from the same kernel and the same frame as vestrel_kernel and
// only shapes the kernel's answers into plain tuples; the package's Python
// code turns them into objects and typed exceptions.
#include <Python.h>

#include "entry.h"
#include "failure.h"
#include "module_body.h"
#include "native_callables.h"
#include "ref.h"
#include "unlocked.h"

namespace vestrel::py {

namespace {

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

PyMethodDef* const kFunctions[] = {&native_verify_method,
                                   &native_chain_signatures_method,
                                   &native_covers_method,
                                   &native_prove_method,
                                   &native_check_proof_method,
                                   &native_credential_payload_method,
                                   &native_audit_method,
                                   &native_check_signature_method};

// The island class is found first: without it no proof can be checked.
void run_body(PyObject* module) {
  find_island_type();
  // Its calls release the interpreter lock, so it must know when to stop
  // asking for it back.
  watch_interpreter_exit();
  for (PyMethodDef* function : kFunctions) add_function(module, function);
  for (PyMethodDef* function = native_http_methods; function->ml_name != nullptr; ++function) {
    add_function(module, function);
  }
  add_verifier_type(module);
}

// Like vestrel_kernel, the module keeps process-wide state (the island class).
ProcessModule state{module_def, run_body};

}  // namespace

}  // namespace vestrel::py

PyMODINIT_FUNC PyInit__native() noexcept {
  return vestrel::py::guarded(
      [] { return vestrel::py::import_process_module(vestrel::py::state); });
}
