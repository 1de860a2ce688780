// Letting other Python threads run while the kernel works.
#pragma once

#include <Python.h>

namespace vestrel::py {

// Releases the interpreter lock for its lifetime. Only kernel code may run
// meanwhile, and only on memory the call keeps alive: views into bytes objects
// the matched arguments hold (their contents never change) or C++ values.
class InterpreterUnlocked {
 public:
  InterpreterUnlocked() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace vestrel::py
