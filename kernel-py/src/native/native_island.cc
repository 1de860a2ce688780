// Finding vestrel_kernel's IdentityIsland class. This module reads the key
// inside an island through the instance layout and shared hold both modules
// are built with, so it must be certain that a class is the real one: the
// class is taken from the imported module, and then its destructor must be
// code of the shared object that defines PyInit_vestrel_kernel. A stand-in
// class put in its place, whatever its name and size, is refused.
#include <Python.h>
#include <dlfcn.h>

#include "failure.h"
#include "island_layout.h"
#include "native_callables.h"
#include "ref.h"

namespace vestrel::py {

namespace {

PyObject* island_class = nullptr;  // kept for good once found

constexpr char kNotGenuine[] =
    "vestrel_kernel.IdentityIsland is not the class vestrel_kernel defines";

// Whether `code` lies in the shared object that exports PyInit_vestrel_kernel.
bool in_kernel_module(void* code) noexcept {
  Dl_info where{};
  if (code == nullptr || dladdr(code, &where) == 0 || where.dli_fname == nullptr) return false;
  void* handle = dlopen(where.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  void* init = dlsym(handle, "PyInit_vestrel_kernel");
  Dl_info init_where{};
  const bool same =
      init != nullptr && dladdr(init, &init_where) != 0 && init_where.dli_fbase == where.dli_fbase;
  dlclose(handle);
  return same;
}

}  // namespace

PyObject* genuine_island_type() noexcept { return island_class; }

void find_island_type() {
  if (island_class != nullptr) return;
  Ref module = Ref::steal(PyImport_ImportModule("vestrel_kernel"));
  if (!module) throw Failure::fetch();
  Ref type = Ref::steal(PyObject_GetAttrString(module.get(), "IdentityIsland"));
  if (!type) throw Failure::fetch();
  if (!PyType_Check(type.get())) throw Failure::message(PyExc_ImportError, kNotGenuine);
  auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
  // Only heap types answer PyType_GetSlot in the limited API; the real class is one.
  if ((PyType_GetFlags(as_type) & Py_TPFLAGS_HEAPTYPE) == 0 ||
      !in_kernel_module(PyType_GetSlot(as_type, Py_tp_dealloc))) {
    throw Failure::message(PyExc_ImportError, kNotGenuine);
  }
  Ref size = Ref::steal(PyObject_GetAttrString(type.get(), "__basicsize__"));
  if (!size) throw Failure::fetch();
  if (PyLong_AsSsize_t(size.get()) != static_cast<Py_ssize_t>(sizeof(IslandObject))) {
    if (PyErr_Occurred() != nullptr) throw Failure::fetch();
    throw Failure::message(PyExc_ImportError, kNotGenuine);
  }
  island_class = type.release();  // the process's own reference, never released
}

}  // namespace vestrel::py
