#include "island.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "convert.h"
#include "entry.h"
#include "failure.h"
#include "identity.h"
#include "island_hold.h"
#include "island_layout.h"
#include "results.h"
#include "signature.h"

namespace vestrel::py {

namespace {

// ---------------------------------------------------------------------------
// Instance layout and shared hold (island_layout.h, island_hold.h)

class IslandHold : public SharedHold {
 public:
  explicit IslandHold(PyObject* receiver) : SharedHold(receiver, island_type()) {}
};

// ---------------------------------------------------------------------------
// Constructor and destructor

constexpr std::string_view kNewParameters[] = {"master", "deployment", "context"};
constexpr CallSignature kNewSignature{"IdentityIsland", "__new__", kNewParameters};

PyObject* island_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kNewSignature, args, kwargs);
    const ByteView master = bytes_argument(matched, 0);
    const ByteView deployment = bytes_argument(matched, 1);
    const ByteView context = bytes_argument(matched, 2);
    if (master.size() != SEED_SIZE) throw wrong_length("master", SEED_SIZE);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) throw Failure::fetch();
    IslandObject* island = as_island(self.get());
    new (&island->hold) std::atomic<std::int64_t>(0);
    // The key is derived straight into the instance, its final resting place,
    // so no copy of it ever exists. On failure `self` is released, and the
    // destructor wipes whatever part of the key was written.
    Identity* identity = new (identity_storage(island)) Identity;
    check_kernel(derive_identity(master.first<SEED_SIZE>(), deployment, context, *identity));
    return self;
  });
}

void island_dealloc(PyObject* self) noexcept {
  IslandObject* island = as_island(self);
  Identity& identity = identity_of(island);
  wipe_identity(identity);
  identity.~Identity();
  island->hold.~atomic();
  // Instances of a heap type own a reference to it, dropped after the memory
  // goes back through the type's own free slot.
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) free_slot = PyObject_Free;
  free_slot(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Methods

PyObject* public_key_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] {
    const IslandHold held(self);
    return new_bytes(public_key(held.identity()));
  });
}

constexpr std::string_view kIssueParameters[] = {"child_pk", "role", "depth", "scope_tlv",
                                                 "caveats"};
constexpr CallSignature kIssueSignature{"IdentityIsland", "issue_credential", kIssueParameters};

PyObject* issue_credential_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kIssueSignature, args, kwargs);
    const IslandHold held(self);
    const CredentialArguments cred = credential_arguments(matched);
    IssuedCredential issued = value_or_raise(issue_credential(
        held.identity(), cred.child_pk, cred.role, cred.depth, cred.scope, cred.caveats));
    Ref payload = new_bytes(issued.payload);
    Ref sig = new_bytes(issued.sig);
    return new_tuple(std::move(payload), std::move(sig));
  });
}

// ---------------------------------------------------------------------------
// The class

constexpr char kClassDoc[] =
    "IdentityIsland(master, deployment, context)\n--\n\n"
    "ML-DSA-65 identity derived from a master seed.";
// CPython 3.9 strips the signature header when it copies a type's
// documentation from its spec, and then finds none for __text_signature__; a
// second header survives the copy. Later versions keep the text as given.
constexpr char kClassDoc39[] =
    "IdentityIsland(master, deployment, context)\n--\n\n"
    "IdentityIsland(master, deployment, context)\n--\n\n"
    "ML-DSA-65 identity derived from a master seed.";
static_assert(std::string_view(kClassDoc39).ends_with(kClassDoc));

constexpr char kPublicKeyDoc[] =
    "public_key($self)\n--\n\nReturns the PK_SIZE-byte ML-DSA-65 public key.";

constexpr char kIssueCredentialDoc[] =
    "issue_credential($self, child_pk, role, depth, scope_tlv, caveats)\n"
    "--\n"
    "\n"
    "issue_credential(child_pk, role, depth, scope_tlv, caveats) -> (payload, sig)\n"
    "\n"
    "role: \"leaf\" or \"node\".\n"
    "depth: position in the chain, starting at 1.\n"
    "scope_tlv: TLV bytes from perm_tlv().\n"
    "caveats: concatenated caveat bytes from not_before()/not_after(), or b\"\".\n"
    "Returns (payload_bytes, sig_bytes).";

PyMethodDef kMethods[] = {
    {"public_key", as_method(&public_key_entry), METH_NOARGS, kPublicKeyDoc},
    {"issue_credential", as_method(&issue_credential_entry), METH_VARARGS | METH_KEYWORDS,
     kIssueCredentialDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Interpreters before 3.11 keep pointing at the PyType_Spec's name rather than
// copying it, so that PyType_Spec, its name and its slots all live in static storage.
PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&island_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&island_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// Default flags only: no subclassing, no instance dictionary, no weak
// references, no garbage collection (an instance refers to no other object).
PyType_Spec kSpec = {
    "builtins.IdentityIsland",
    static_cast<int>(sizeof(IslandObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* island_type() {
  // Kept for the life of the process; the interpreter lock makes the null
  // test a run-once guard.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    // The limited API of 3.9 has no version number to compare; the version
    // text starts with it.
    const bool is_3_9 = std::string_view(Py_GetVersion()).starts_with("3.9.");
    for (PyType_Slot& slot : kSlots) {
      if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(is_3_9 ? kClassDoc39 : kClassDoc);
    }
    PyObject* made = PyType_FromSpec(&kSpec);
    if (made == nullptr) throw Failure::fetch();
    type = made;
  }
  return type;
}

}  // namespace vestrel::py
