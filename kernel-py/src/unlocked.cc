#include "unlocked.h"

#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "failure.h"
#include "ref.h"

namespace vestrel::py {

namespace {

// `relocking` counts the threads between their look at `exiting` and their
// return from PyEval_RestoreThread. The atexit callback sets `exiting` and
// then waits, with the lock released, until none is left: every thread either
// got the lock back before finalization could start, or will never ask.
std::mutex exit_mutex;
std::condition_variable relocked;
bool exiting = false;
std::size_t relocking = 0;

[[noreturn]] void wait_for_process_end() noexcept {
  for (;;) pause();
}

PyObject* on_interpreter_exit(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  // Set while this thread holds the interpreter lock, so that a thread about
  // to release it sees either value consistently (see unlock()).
  {
    const std::lock_guard lock(exit_mutex);
    exiting = true;
  }
  Py_BEGIN_ALLOW_THREADS {
    std::unique_lock lock(exit_mutex);
    relocked.wait(lock, [] { return relocking == 0; });
  }
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef exit_callback = {"_vestrel_interpreter_exit",
                             reinterpret_cast<PyCFunction>(&on_interpreter_exit), METH_NOARGS,
                             nullptr};

}  // namespace

// The caller holds the interpreter lock, as the atexit callback does when it
// sets `exiting`: a thread that saw it false and released the lock is either
// counted by relock() before the callback stops waiting, or never relocks.
PyThreadState* InterpreterUnlocked::unlock() noexcept {
  {
    const std::lock_guard lock(exit_mutex);
    if (exiting) return nullptr;
  }
  return PyEval_SaveThread();
}

void InterpreterUnlocked::relock(PyThreadState* state) noexcept {
  {
    std::unique_lock lock(exit_mutex);
    if (exiting) {
      // Never while holding the mutex: the threads still relocking need it.
      lock.unlock();
      wait_for_process_end();
    }
    ++relocking;
  }
  PyEval_RestoreThread(state);
  const std::lock_guard lock(exit_mutex);
  --relocking;
  relocked.notify_all();
}

void watch_interpreter_exit() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) throw Failure::fetch();
  Ref callback = Ref::steal(PyCFunction_New(&exit_callback, nullptr));
  if (!callback) throw Failure::fetch();
  Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  if (!registered) throw Failure::fetch();
}

}  // namespace vestrel::py
