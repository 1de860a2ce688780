// The functions of vestrel._native, one method definition each, defined next
// to their entry points (native_*.cc).
#pragma once

#include <Python.h>

namespace vestrel::py {

extern PyMethodDef native_verify_method;
extern PyMethodDef native_covers_method;

}  // namespace vestrel::py
