// Populating a module: every name goes into __all__ and onto the module in
// the order it is added.
#pragma once

#include <Python.h>

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

}  // namespace vestrel::py
