// The memory of one IdentityIsland instance. The class (island.cc) is the only
// code that creates and uses instances; the test-only probe module includes
// this too, to read an instance's shared hold from outside.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "identity.h"

namespace vestrel::py {

// The interpreter's allocator guarantees 16-byte alignment, less than the key's
// polynomials ask for, so the Identity is placed at the first suitably aligned
// address inside a slightly larger area.
struct IslandObject {
  PyObject_HEAD
      // Method calls in progress; -1 would be an exclusive hold, which nothing in
      // this module ever takes.
      std::atomic<std::int64_t>
          hold;
  alignas(16) unsigned char storage[sizeof(Identity) + alignof(Identity)];
};

}  // namespace vestrel::py
