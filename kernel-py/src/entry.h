// The boundary between the interpreter and the binding. Every function the
// interpreter calls runs its body through guarded(): nothing thrown inside,
// Python failure or internal fault alike, gets past it.
#pragma once

#include <Python.h>

#include "failure.h"
#include "ref.h"

namespace vestrel::py {

// `body` returns the call's result as a Ref; the new reference goes to the
// interpreter. Any failure leaves an exception set and gives null.
template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    return raise_current_exception();
  }
}

// Turns an entry point of any calling convention into the pointer type a method table
// holds; the flags in the table tell the interpreter how to call it.
template <class Fn>
[[nodiscard]] PyCFunction as_method(Fn* fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace vestrel::py
