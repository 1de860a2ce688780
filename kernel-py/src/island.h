// The IdentityIsland class: one derived identity per instance.
#pragma once

#include <Python.h>

namespace vestrel::py {

// The class object, created the first time it is asked for and kept for the
// life of the process. Borrowed.
[[nodiscard]] PyObject* island_type();

}  // namespace vestrel::py
