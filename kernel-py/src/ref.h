// The owned Python reference. Every reference the binding takes lives in a Ref,
// so it is released on every path, the unwinding of an internal fault
// included; this is the only place that decrements a reference count.
#pragma once

#include <Python.h>

#include <utility>

namespace vestrel::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes over a reference the caller owns (a "new reference" result).
  [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference of our own to a borrowed one.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  // Hands the reference to the caller, typically the interpreter.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vestrel::py
