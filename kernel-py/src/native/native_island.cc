// Finding vestrel_kernel's IdentityIsland class. This module reads the key
// inside an island through the instance layout and shared hold both modules
// are built with, so it must be certain that a class is the real one: the
// class is taken from the imported module, and then its destructor must be
// code of the shared object the interpreter loaded as that module. A stand-in
// class put in its place, whatever its name and size, is refused.
#include <Python.h>
#include <limits.h>
#include <link.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "island_layout.h"
#include "native_callables.h"
#include "ref.h"

namespace vestrel::py {

namespace {

PyObject* island_class = nullptr;  // kept for good once found

constexpr char kNotGenuine[] =
    "vestrel_kernel.IdentityIsland is not the class vestrel_kernel defines";

// The loaded object whose mapped segments hold an address, by its real path.
// dl_iterate_phdr rather than dladdr: the dl* functions moved into libc with
// new symbol versions in glibc 2.34, and the module must load on older ones.
struct ObjectSearch {
  std::uintptr_t address;
  bool found;
  char path[PATH_MAX];
};

int visit_object(dl_phdr_info* info, std::size_t /*size*/, void* data) noexcept {
  auto* search = static_cast<ObjectSearch*>(data);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    if (search->address < start || search->address - start >= header.p_memsz) continue;
    search->found =
        info->dlpi_name != nullptr && realpath(info->dlpi_name, search->path) != nullptr;
    return 1;
  }
  return 0;
}

// Whether `code` lies in the shared object the interpreter loaded as `module`.
bool in_module_file(void* code, PyObject* module) {
  Ref file = Ref::steal(PyObject_GetAttrString(module, "__file__"));
  if (!file) throw Failure::fetch();
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(file.get()));
  if (!encoded) throw Failure::fetch();
  char module_path[PATH_MAX];
  if (realpath(PyBytes_AsString(encoded.get()), module_path) == nullptr) return false;
  ObjectSearch search{reinterpret_cast<std::uintptr_t>(code), false, {}};
  return code != nullptr && dl_iterate_phdr(visit_object, &search) != 0 && search.found &&
         std::strcmp(search.path, module_path) == 0;
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
      !in_module_file(PyType_GetSlot(as_type, Py_tp_dealloc), module.get())) {
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
