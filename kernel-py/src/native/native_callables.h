// The functions of vestrel._native, one method definition each, defined next
// to their entry points (native_*.cc).
#pragma once

#include <Python.h>

namespace vestrel::py {

extern PyMethodDef native_verify_method;
extern PyMethodDef native_covers_method;
extern PyMethodDef native_prove_method;
extern PyMethodDef native_check_proof_method;

// vestrel_kernel's IdentityIsland class, found and checked when the module is
// initialised. Borrowed; kept for the life of the process.
[[nodiscard]] PyObject* genuine_island_type() noexcept;
void find_island_type();

}  // namespace vestrel::py
