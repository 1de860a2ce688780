// vestrel_fault_probe: a test-only module built from the same frame code as
// vestrel_kernel. No public call can fault on purpose, so this module offers
// calls that do, direct access to the two conversion kinds that only the
// identity's methods use otherwise, and a look at an identity's shared hold.
#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "convert.h"
#include "entry.h"
#include "failure.h"
#include "island_layout.h"
#include "module_body.h"
#include "results.h"
#include "signature.h"

namespace vestrel::py {
namespace {

constexpr std::string_view kValueParameters[] = {"value"};

// A broken invariant, with the caller's text as its message.
constexpr CallSignature kFaultSignature{"", "fault", kValueParameters};
PyObject* fault_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> Ref {
    const Arguments matched(kFaultSignature, args, kwargs);
    fault(text_argument(matched, 0));
  });
}

// Holds the argument, a bytes view of it and a temporary object when the
// fault unwinds, so a test can check that every reference is given back.
constexpr CallSignature kFaultHoldingSignature{"", "fault_holding", kValueParameters};
PyObject* fault_holding_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> Ref {
    const Arguments matched(kFaultHoldingSignature, args, kwargs);
    const ByteView view = bytes_argument(matched, 0);
    Ref copy = new_bytes(view);
    Ref pair = new_tuple(Ref::borrow(matched[0]), std::move(copy));
    fault("index out of range: the len is " + std::to_string(view.size()) + " but the index is " +
          std::to_string(view.size()));
  });
}

PyObject* fault_without_text_entry(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Ref { fault(""); });
}

// A result object the host cannot allocate.
PyObject* failed_allocation_entry(PyObject*, PyObject*) noexcept {
  return guarded([] { return created(PyBytes_FromStringAndSize(nullptr, PY_SSIZE_T_MAX / 2)); });
}

PyObject* bad_alloc_entry(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Ref { throw std::bad_alloc(); });
}

PyObject* std_exception_entry(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Ref { throw std::logic_error("invariant broken in a C++ library"); });
}

constexpr CallSignature kAsTextSignature{"", "as_text", kValueParameters};
PyObject* as_text_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kAsTextSignature, args, kwargs);
    const std::string text = text_argument(matched, 0);
    return new_bytes(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  });
}

constexpr CallSignature kAsU32Signature{"", "as_u32", kValueParameters};
PyObject* as_u32_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kAsU32Signature, args, kwargs);
    return new_int(u32_argument(matched, 0));
  });
}

// This module has no class of its own to compare with, so an instance of the
// real module's class is recognised by its class's name and instance size.
bool looks_like_island(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  const auto attribute_is = [type](const char* name, PyObject* expected) {
    Ref value = Ref::steal(PyObject_GetAttrString(type, name));
    Ref wanted = Ref::steal(expected);
    if (!value || !wanted) throw Failure::fetch();
    const int equal = PyObject_RichCompareBool(value.get(), wanted.get(), Py_EQ);
    if (equal < 0) throw Failure::fetch();
    return equal == 1;
  };
  return attribute_is("__qualname__", PyUnicode_FromString("IdentityIsland")) &&
         attribute_is("__module__", PyUnicode_FromString("builtins")) &&
         attribute_is("__basicsize__", PyLong_FromSize_t(sizeof(IslandObject)));
}

// The number of method calls in progress on an IdentityIsland instance.
constexpr std::string_view kIslandParameters[] = {"island"};
constexpr CallSignature kHoldCountSignature{"", "hold_count", kIslandParameters};
PyObject* hold_count_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kHoldCountSignature, args, kwargs);
    PyObject* island = matched[0];
    if (!looks_like_island(island)) throw downcast_error(island, "IdentityIsland");
    const std::int64_t hold = reinterpret_cast<const IslandObject*>(island)->hold.load();
    return created(PyLong_FromLongLong(hold));
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;
PyMethodDef kFunctions[] = {
    {"fault", as_method(&fault_entry), kKeywords, nullptr},
    {"fault_holding", as_method(&fault_holding_entry), kKeywords, nullptr},
    {"fault_without_text", as_method(&fault_without_text_entry), METH_NOARGS, nullptr},
    {"failed_allocation", as_method(&failed_allocation_entry), METH_NOARGS, nullptr},
    {"bad_alloc", as_method(&bad_alloc_entry), METH_NOARGS, nullptr},
    {"std_exception", as_method(&std_exception_entry), METH_NOARGS, nullptr},
    {"as_text", as_method(&as_text_entry), kKeywords, nullptr},
    {"as_u32", as_method(&as_u32_entry), kKeywords, nullptr},
    {"hold_count", as_method(&hold_count_entry), kKeywords, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vestrel_fault_probe",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vestrel::py

PyMODINIT_FUNC PyInit_vestrel_fault_probe() noexcept {
  using namespace vestrel::py;
  return guarded([] {
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!module) throw Failure::fetch();
    for (PyMethodDef& function : kFunctions) add_function(module.get(), &function);
    return module;
  });
}
