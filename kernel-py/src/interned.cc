#include "interned.h"

#include <array>
#include <cstddef>

#include "failure.h"

namespace vestrel::py {

PyObject* interned(InternedName name) {
  static constexpr std::array<const char*, 3> kTexts = {"__all__", "__name__", "__qualname__"};
  // Never released: the names outlive every import. Callers hold the
  // interpreter lock, which is what makes the null test a run-once guard.
  static std::array<PyObject*, 3> objects{};
  auto index = static_cast<std::size_t>(name);
  if (objects[index] == nullptr)
    objects[index] = created(PyUnicode_InternFromString(kTexts[index])).release();
  return objects[index];
}

}  // namespace vestrel::py
