#include "failure.h"

#include <execinfo.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <utility>

namespace vestrel::py {

// ---------------------------------------------------------------------------
// Failure

Failure Failure::message(PyObject* type, std::string text) {
  Failure failure;
  failure.type_ = type;
  failure.text_ = std::move(text);
  return failure;
}

Failure Failure::kernel(KernelError error) {
  std::string text = "KernelError::";
  text += kernel_error_name(error);
  return message(PyExc_ValueError, std::move(text));
}

Failure Failure::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return message(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  Failure failure;
  failure.fetched_ = true;
  failure.ptype_ = Ref::steal(type);
  failure.pvalue_ = Ref::steal(value);
  failure.ptraceback_ = Ref::steal(traceback);
  return failure;
}

Failure Failure::with_argument_prefix(std::string_view name) && {
  std::string prefix = "argument '";
  prefix += name;
  prefix += "': ";
  if (!fetched_) {
    if (type_ != PyExc_TypeError) return std::move(*this);
    text_.insert(0, prefix);
    return std::move(*this);
  }

  // The host may still hold the exception in its lazy form; only a real
  // instance can tell its exact type and give its text and cause.
  PyObject* type = ptype_.release();
  PyObject* value = pvalue_.release();
  PyObject* traceback = ptraceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  ptype_ = Ref::steal(type);
  pvalue_ = Ref::steal(value);
  ptraceback_ = Ref::steal(traceback);
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    return std::move(*this);
  }

  Ref text = Ref::steal(PyObject_Str(value));
  if (!text) return fetch();
  Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", kMessageUtf8Errors));
  if (!utf8) return fetch();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) != 0) return fetch();

  Failure replaced = message(PyExc_TypeError, prefix.append(data, static_cast<std::size_t>(size)));
  // The replacement inherits the original's cause, not the original itself:
  // the prefix is a rewording, not a new link in the chain.
  replaced.cause_ = Ref::steal(PyException_GetCause(value));
  return replaced;
}

namespace {

// Turns the pending exception into a real instance, so that `args` is the
// 1-tuple holding the message whatever version lazily creates it.
PyObject* normalize_pending() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
  return value;  // borrowed from the pending exception
}

}  // namespace

void Failure::raise() && {
  if (fetched_) {
    // The interpreter takes back the three references it handed over in fetch().
    PyErr_Restore(ptype_.release(), pvalue_.release(), ptraceback_.release());
    return;
  }
  Ref text = created(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()),
                                          kMessageUtf8Errors));
  PyErr_SetObject(type_, text.get());
  PyObject* value = normalize_pending();
  if (cause_ && value != nullptr) PyException_SetCause(value, cause_.release());  // steals
}

// ---------------------------------------------------------------------------
// Internal faults

namespace {

constexpr char kGenericFaultMessage[] = "internal fault in vestrel_kernel";

constexpr char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python fails with an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

void write_report(std::string_view message, const char* file, unsigned line,
                  const char* function) noexcept {
  // prctl and the raw system call rather than pthread_getname_np and gettid,
  // which glibc only gained in 2.34 and 2.30: the module must load on older
  // systems. The kernel keeps at most 16 bytes of a thread's name.
  char thread_name[17] = "?";
  if (prctl(PR_GET_NAME, thread_name, 0, 0, 0) != 0) thread_name[0] = '?';
  thread_name[16] = '\0';
  if (message.empty()) message = kGenericFaultMessage;
  std::fprintf(stderr,
               "vestrel_kernel: internal fault in thread '%s' (%ld) at %s:%u (%s):\n  %.*s\n",
               thread_name, syscall(SYS_gettid), file, line, function,
               static_cast<int>(message.size()), message.data());
  // Addresses only: the module hides its symbols, so the frames are resolved
  // offline. The shipped module keeps its symbol table (addr2line -f -e
  // <module> names the functions); the .debug file its build kept gives files
  // and lines.
  void* frames[48];
  int depth = backtrace(frames, 48);
  std::fputs("stack:\n", stderr);
  std::fflush(stderr);
  backtrace_symbols_fd(frames, depth, STDERR_FILENO);
}

InternalFault make_fault(std::string_view message) noexcept {
  InternalFault fault;
  std::size_t n = std::min(message.size(), fault.message.size() - 1);
  std::copy_n(message.data(), n, fault.message.data());
  return fault;
}

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Created once and kept for the life of the process; every caller holds the
// interpreter lock, so the null test is the run-once guard. Should creation
// run Python code that re-enters here, the first stored type wins.
PyObject* panic_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (made == nullptr) {
      if (PyErr_Occurred() != nullptr) PyErr_Print();
      std::source_location here = std::source_location::current();
      write_report("Failed to initialize new exception type.", here.file_name(), here.line(),
                   here.function_name());
      abort_at_boundary();
    }
    if (type == nullptr)
      type = made;
    else
      Py_DECREF(made);
  }
  return type;
}

void raise_panic(const InternalFault& fault) noexcept {
  PyObject* type = panic_type();
  std::string_view message(fault.message.data());
  if (message.empty()) message = kGenericFaultMessage;
  // Messages may come from a std::exception's what(), which promises no
  // encoding; replacement characters are better than a second fault.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) abort_at_boundary();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  normalize_pending();
}

InternalFault report_escaped(std::string_view message) noexcept {
  write_report(message, "<entry point>", 0, "exception escaped to the entry point");
  return make_fault(message);
}

}  // namespace

void fault(std::string_view message, std::source_location where) {
  write_report(message, where.file_name(), where.line(), where.function_name());
  throw make_fault(message);
}

void api_call_failed(std::source_location where) {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fault("Python API call failed", where);
}

PyObject* raise_current_exception() noexcept {
  InternalFault seen;
  try {
    throw;
  } catch (Failure& failure) {
    try {
      std::move(failure).raise();
      return nullptr;
    } catch (const InternalFault& inner) {
      seen = inner;
    } catch (...) {
      seen = report_escaped("failed to raise an exception");
    }
  } catch (const InternalFault& reported) {
    seen = reported;
  } catch (const std::bad_alloc&) {
    seen = report_escaped("memory allocation failed");
  } catch (const std::exception& error) {
    seen = report_escaped(error.what());
  } catch (...) {
    seen = report_escaped(kGenericFaultMessage);
  }
  raise_panic(seen);
  return nullptr;
}

}  // namespace vestrel::py
