// The module vestrel_kernel: initialisation, the interpreter it is bound to,
// and the attributes it offers, in their order.
#include <Python.h>

#include <cstddef>

#include "callables.h"
#include "entry.h"
#include "errors.h"
#include "failure.h"
#include "island.h"
#include "module_body.h"
#include "ref.h"

namespace vestrel::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vestrel_kernel",
    "",       // __doc__
    0,        // no per-module state: everything lives in the process
    nullptr,  // functions are added by the body, in attribute order
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct Constant {
  const char* name;
  std::size_t value;
};
constexpr Constant kConstants[] = {
    {"PK_SIZE", PK_SIZE},
    {"SIG_SIZE", SIG_SIZE},
    {"SEED_SIZE", SEED_SIZE},
};

PyMethodDef* const kFunctions[] = {
    &perm_tlv_method,     &not_before_method,    &not_after_method,         &encode_chain_method,
    &decode_chain_method, &parse_payload_method, &verify_delegation_method,
};

// The constants, then the class, then the functions: this order is also the
// order of __all__.
void run_body(PyObject* module) {
  for (const Constant& constant : kConstants) {
    Ref value = created(PyLong_FromSize_t(constant.value));
    add_name(module, constant.name, value.get());
  }
  add_name(module, "IdentityIsland", island_type());
  for (PyMethodDef* function : kFunctions) add_function(module, function);
}

ProcessModule state{module_def, run_body};

}  // namespace

}  // namespace vestrel::py

PyMODINIT_FUNC PyInit_vestrel_kernel() noexcept {
  return vestrel::py::guarded(
      [] { return vestrel::py::import_process_module(vestrel::py::state); });
}
