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
// process is gone. A call that begins after that moment (an atexit handler
// that runs after the module's, a __del__ during teardown) keeps the lock
// throughout instead, so it returns its answer as any call does.
//
// Nothing may call into Python code while an entry point's frame is on the
// stack of a call that other threads can interleave with: a thread ended
// during finalization is unwound, and that unwind cannot cross a noexcept
// frame. Callbacks (a revocation container, __index__) run in the package's
// Python code before the compiled core is entered.
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
  // Keeps the lock when the interpreter is already exiting.
  InterpreterUnlocked() noexcept : state_(unlock()) {}
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;
  // Takes the lock back, or never returns if the interpreter began exiting
  // while it was released.
  ~InterpreterUnlocked() {
    if (state_ != nullptr) relock(state_);
  }

 private:
  // The thread's state, or null when the lock was kept.
  [[nodiscard]] static PyThreadState* unlock() noexcept;
  static void relock(PyThreadState* state) noexcept;
  PyThreadState* state_;
};

}  // namespace vestrel::py
