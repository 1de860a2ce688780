// Letting other Python threads run while the kernel works.
//
// Taking the interpreter lock back is the dangerous half. Once the interpreter
// has begun to finalize, a thread that asks for the lock is ended on the spot
// with pthread_exit, whose forced unwind cannot pass the noexcept entry
// points: the process would abort at exit whenever a daemon thread was inside
// the kernel. So the module learns that the interpreter is about to finalize
// (an atexit callback, which runs before finalization starts, while every
// thread can still take the lock), and from then on a thread leaving the
// kernel never asks for the lock again: it waits, holding nothing, until the
// process is gone.
#pragma once

#include <Python.h>

namespace vestrel::py {

// Registers the atexit callback; a module that releases the lock calls it
// while it is initialised.
void watch_interpreter_exit();

// Releases the interpreter lock for its lifetime. Only kernel code may run
// meanwhile, and only on memory the call keeps alive: views into bytes objects
// the matched arguments hold (their contents never change) or C++ values.
class InterpreterUnlocked {
 public:
  InterpreterUnlocked() noexcept : state_(PyEval_SaveThread()) {}
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;
  // Takes the lock back, or never returns once the interpreter is exiting.
  ~InterpreterUnlocked() { relock(state_); }

 private:
  static void relock(PyThreadState* state) noexcept;
  PyThreadState* state_;
};

}  // namespace vestrel::py
