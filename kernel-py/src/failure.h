// How failures travel from where they happen to the entry point that the
// interpreter called.
//
// Two kinds exist. A Failure is an ordinary Python exception: either a
// (type, message) pair that the entry point raises, or an exception the
// interpreter has already set and that is carried on unchanged. An
// InternalFault is a broken invariant inside the binding: it is reported on
// standard error where it happens, unwinds to the entry point (the RAII
// handles release every reference on the way) and surfaces as PanicException.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

#include "errors.h"
#include "ref.h"

namespace vestrel::py {

// Messages travel as UTF-8 in a std::string. Text taken from Python for a
// message (a keyword, a type's name, an exception's str()) may hold lone
// surrogates, which strict UTF-8 cannot carry: they travel encoded as such,
// with this error handler, and are restored when the message is raised.
inline constexpr char kMessageUtf8Errors[] = "surrogatepass";

class Failure {
 public:
  // type(text); `type` is one of the interpreter's built-in exception types.
  [[nodiscard]] static Failure message(PyObject* type, std::string text);
  // ValueError("KernelError::<Name>").
  [[nodiscard]] static Failure kernel(KernelError error);
  // Takes over the exception the interpreter has set. A host call that failed
  // without setting one becomes SystemError.
  [[nodiscard]] static Failure fetch();

  // When this is exactly a TypeError (a subclass does not count), it becomes
  // TypeError("argument '<name>': <str(original)>") that keeps the original's
  // __cause__; anything else comes back unchanged.
  [[nodiscard]] Failure with_argument_prefix(std::string_view name) &&;

  // Sets the exception in the interpreter. Only the entry point calls this.
  void raise() &&;

 private:
  Failure() = default;

  // Message form.
  PyObject* type_ = nullptr;  // a built-in type, never released
  std::string text_;
  Ref cause_;
  // Fetched form.
  bool fetched_ = false;
  Ref ptype_, pvalue_, ptraceback_;
};

// Thrown after the fault has been reported. The message lives in a fixed
// buffer so that copying the fault on the way out never allocates.
struct InternalFault {
  std::array<char, 256> message{};
};

// Reports a broken invariant on standard error and unwinds to the entry point.
[[noreturn]] void fault(std::string_view message,
                        std::source_location where = std::source_location::current());

// For host calls that create a result or a message object: they fail only when
// memory runs out, which the binding treats as an internal fault. The pending
// exception is printed first so that its cause is not lost.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());

[[nodiscard]] inline Ref created(PyObject* obj,
                                 std::source_location where = std::source_location::current()) {
  if (obj == nullptr) api_call_failed(where);
  return Ref::steal(obj);
}

// Called from inside a catch block at an entry point: turns whatever is being
// handled into the Python exception to raise, and always returns null.
[[nodiscard]] PyObject* raise_current_exception() noexcept;

}  // namespace vestrel::py
