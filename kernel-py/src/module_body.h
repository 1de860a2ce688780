// Populating a module: every name goes into __all__ and onto the module in
// the order it is added.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "ref.h"

namespace vestrel::py {

// Appends `name` to the module's __all__ (creating the list the first time),
// then sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* value);
void add_name(PyObject* module, const char* name, PyObject* value);

// Creates a built-in function bound to `module` whose __module__ is the
// module's name, and adds it under its own __name__. `def` must outlive the
// process's use of the function, so it is always static.
void add_function(PyObject* module, PyMethodDef* def);

// A module whose state lives in the process (the module object, the classes
// it finds or makes) rather than in the interpreter. The first interpreter to
// import it owns it for the life of the process.
struct ProcessModule {
  PyModuleDef& def;
  void (*body)(PyObject* module);  // adds the module's names, in order
  std::atomic<std::int64_t> bound_interpreter{-1};
  PyObject* module = nullptr;  // kept for good once the body succeeded
};

// The module for the importing interpreter: built and filled by the body the
// first time; the very same object on a repeated import there (after it was
// removed from sys.modules, say), registering nothing again; ImportError in
// any other interpreter, which must not share that state.
Ref import_process_module(ProcessModule& state);

}  // namespace vestrel::py
