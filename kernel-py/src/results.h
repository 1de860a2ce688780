// Results handed back to Python. Every result is a new object built only after
// the operation has succeeded; the host calls that build one fail only when
// memory runs out, which is an internal fault (see created()).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "bytes.h"
#include "errors.h"
#include "failure.h"
#include "ref.h"

namespace vestrel::py {

[[nodiscard]] inline Ref new_bytes(ByteView bytes) {
  return created(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

[[nodiscard]] inline Ref new_int(std::uint64_t value) {
  return created(PyLong_FromUnsignedLongLong(value));
}

// The items are built before the tuple, so a failure to build the tuple
// still releases them.
template <class... Items>
[[nodiscard]] Ref new_tuple(Items... items) {
  Ref tuple = created(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
  Py_ssize_t index = 0;
  // PyTuple_SetItem steals each item; on a fresh tuple and an index in range
  // it cannot fail.
  (PyTuple_SetItem(tuple.get(), index++, items.release()), ...);
  return tuple;
}

// The value, or the kernel's refusal as ValueError("KernelError::<Name>").
template <class T>
[[nodiscard]] T value_or_raise(KResult<T>&& result) {
  if (!result) throw Failure::kernel(result.error());
  return std::move(result).value();
}

inline void check_kernel(KStatus status) {
  if (!status) throw Failure::kernel(status.error());
}

}  // namespace vestrel::py
