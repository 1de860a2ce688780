// The module vestrel_kernel: initialisation, the interpreter it is bound to,
// and the attributes it offers, in their order.
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "callables.h"
#include "entry.h"
#include "errors.h"
#include "failure.h"
#include "island.h"
#include "module_body.h"
#include "ref.h"

namespace vestrel::py {

namespace {

// The module keeps process-wide state (the module object, the class), which a
// second interpreter must not share; the first interpreter to import it owns
// it for the life of the process.
constexpr char kSubinterpreterMessage[] =
    "vestrel_kernel modules do not yet support subinterpreters, see "
    "https://vestrel.invalid/kernel/issues/subinterpreters";

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

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_object = nullptr;  // kept for good once the body succeeded

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

Ref initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) throw Failure::fetch();
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw Failure::message(PyExc_ImportError, kSubinterpreterMessage);
  }

  // A repeated import in the bound interpreter (after the module was removed
  // from sys.modules, say) gets the very same object and registers nothing.
  if (module_object != nullptr) return Ref::borrow(module_object);

  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module) throw Failure::fetch();
  run_body(module.get());  // a failure drops the half-built module
  // A reference of the process's own, never released; the caller gets the other.
  module_object = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace

}  // namespace vestrel::py

PyMODINIT_FUNC PyInit_vestrel_kernel() noexcept {
  return vestrel::py::guarded([] { return vestrel::py::initialise(); });
}
