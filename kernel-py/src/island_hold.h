// Reaching the Identity inside an IdentityIsland instance: the one way every
// module built from this frame does it (vestrel_kernel's methods, and
// vestrel._native, which signs with an island it did not create).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "convert.h"
#include "failure.h"
#include "identity.h"
#include "island_layout.h"

namespace vestrel::py {

[[nodiscard]] inline IslandObject* as_island(PyObject* self) noexcept {
  return reinterpret_cast<IslandObject*>(self);
}

// The first suitably aligned address inside the storage area.
[[nodiscard]] inline void* identity_storage(IslandObject* island) noexcept {
  auto address = reinterpret_cast<std::uintptr_t>(island->storage);
  address = (address + alignof(Identity) - 1) & ~static_cast<std::uintptr_t>(alignof(Identity) - 1);
  return reinterpret_cast<void*>(address);
}

[[nodiscard]] inline Identity& identity_of(IslandObject* island) noexcept {
  return *std::launder(static_cast<Identity*>(identity_storage(island)));
}

// Taken for the duration of every call that reads an island's key, released
// on every path. `type` is the IdentityIsland class; anything that is not an
// instance of it is refused before its memory is touched.
class SharedHold {
 public:
  SharedHold(PyObject* receiver, PyObject* type) : island_(checked_receiver(receiver, type)) {
    std::int64_t seen = island_->hold.load();
    do {
      if (seen == -1) throw Failure::message(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!island_->hold.compare_exchange_weak(seen, seen + 1));
  }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;
  ~SharedHold() { island_->hold.fetch_sub(1); }

  [[nodiscard]] const Identity& identity() const noexcept { return identity_of(island_); }

 private:
  static IslandObject* checked_receiver(PyObject* receiver, PyObject* type) {
    if (receiver == nullptr ||
        PyType_IsSubtype(Py_TYPE(receiver), reinterpret_cast<PyTypeObject*>(type)) == 0) {
      throw downcast_error(receiver == nullptr ? Py_None : receiver, "IdentityIsland");
    }
    return as_island(receiver);
  }

  IslandObject* island_;
};

}  // namespace vestrel::py
