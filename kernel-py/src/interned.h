// Attribute names the frame looks up on every call path, interned once.
#pragma once

#include <Python.h>

namespace vestrel::py {

enum class InternedName { All, Name, Qualname };

// A borrowed reference that lives as long as the process.
[[nodiscard]] PyObject* interned(InternedName name);

}  // namespace vestrel::py
