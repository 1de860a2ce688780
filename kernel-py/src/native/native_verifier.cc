// The Verifier class of vestrel._native: a vestrel::Verifier (verifier.h) per
// instance. The package's Verifier converts and checks every argument first;
// this class still accepts only the exact shapes it documents.
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "convert.h"
#include "entry.h"
#include "failure.h"
#include "module_body.h"
#include "native_callables.h"
#include "results.h"
#include "signature.h"
#include "token.h"
#include "unlocked.h"
#include "verifier.h"

namespace vestrel::py {

namespace {

struct VerifierObject {
  PyObject_HEAD Verifier* verifier;  // owned; created by the constructor, deleted by dealloc
};

VerifierObject* as_verifier(PyObject* self) noexcept {
  return reinterpret_cast<VerifierObject*>(self);
}

// ---------------------------------------------------------------------------
// Conversions

// An exact bytes object of `size` bytes, copied into `out`.
template <std::size_t N>
void copy_fixed(PyObject* item, std::string_view what, std::array<std::uint8_t, N>& out) {
  if (!PyBytes_Check(item)) throw downcast_error(item, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(item, &data, &size) != 0) throw Failure::fetch();
  if (static_cast<std::size_t>(size) != N) throw wrong_length(what, N);
  std::memcpy(out.data(), data, N);
}

// A tuple of exact bytes objects of N bytes each.
template <std::size_t N>
std::vector<std::array<std::uint8_t, N>> fixed_tuple(PyObject* tuple, std::string_view what) {
  if (!PyTuple_Check(tuple)) throw downcast_error(tuple, "PyTuple");
  const Py_ssize_t count = PyTuple_Size(tuple);
  std::vector<std::array<std::uint8_t, N>> values(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    copy_fixed(PyTuple_GetItem(tuple, i), what, values[static_cast<std::size_t>(i)]);
  }
  return values;
}

template <std::size_t N>
Ref bytes_tuple(const std::vector<std::array<std::uint8_t, N>>& values) {
  Ref tuple = created(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Steals the bytes; the tuple is fresh and the index in range.
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), new_bytes(values[i]).release());
  }
  return tuple;
}

Verifier& verifier_of(PyObject* self) {
  VerifierObject* object = as_verifier(self);
  if (object->verifier == nullptr) fault("Verifier used before it was constructed");
  return *object->verifier;
}

// ---------------------------------------------------------------------------
// Constructor and destructor

constexpr std::string_view kNewParameters[] = {"roots", "leeway", "cache_bytes"};
constexpr CallSignature kNewSignature{"Verifier", "__new__", kNewParameters};

PyObject* verifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kNewSignature, args, kwargs);
    auto roots = fixed_tuple<PK_SIZE>(matched[0], "root_pk");
    if (roots.empty()) throw Failure::message(PyExc_ValueError, "at least one root is needed");
    const std::uint64_t leeway = u64_argument(matched, 1);
    const std::uint64_t cache_bytes = u64_argument(matched, 2);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) throw Failure::fetch();
    as_verifier(self.get())->verifier = nullptr;
    // The object owns the verifier from here; dealloc deletes it.
    as_verifier(self.get())->verifier =
        new Verifier(std::move(roots), leeway, static_cast<std::size_t>(cache_bytes));
    return self;
  });
}

void verifier_dealloc(PyObject* self) noexcept {
  delete as_verifier(self)->verifier;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) free_slot = PyObject_Free;
  free_slot(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Methods

// (authority, root index, revocation ids or None) for a verified chain;
// (None, rule, index) for a rule's refusal; (None, "Revoked", index,
// revocation id, revoked key or None) for the verifier's own; and for a token
// that does not decode, (None, "TokenMalformed", reason).
Ref answer_of(const Result<VerifierAnswer, VerifierRefusal>& outcome) {
  if (outcome) {
    Ref ids = Ref::borrow(Py_None);
    if (outcome->has_ids) {
      ids = created(PyTuple_New(static_cast<Py_ssize_t>(outcome->authority.count)));
      for (std::size_t i = 0; i < outcome->authority.count; ++i) {
        // Steals the bytes; the tuple is fresh and the index in range.
        PyTuple_SetItem(ids.get(), static_cast<Py_ssize_t>(i),
                        new_bytes(outcome->ids[i]).release());
      }
    }
    return new_tuple(authority_answer(outcome->authority), new_int(outcome->root), std::move(ids));
  }
  const VerifierRefusal& refusal = outcome.error();
  switch (refusal.kind) {
    case VerifierRefusal::Kind::Rule:
      return refused(refusal.rule.error, refusal.rule.index);
    case VerifierRefusal::Kind::RevokedCredential:
      return new_tuple(Ref::borrow(Py_None), text("Revoked"), new_int(refusal.index),
                       new_bytes(refusal.revoked_id), Ref::borrow(Py_None));
    case VerifierRefusal::Kind::RevokedKey:
      break;
  }
  return new_tuple(Ref::borrow(Py_None), text("Revoked"), new_int(refusal.index),
                   new_bytes(refusal.revoked_id), new_bytes(refusal.revoked_key));
}

bool flag_argument(const Arguments& matched, std::size_t index) {
  const int truth = PyObject_IsTrue(matched[index]);
  if (truth < 0) throw Failure::fetch();
  return truth == 1;
}

constexpr std::string_view kVerifyParameters[] = {"wire", "now", "want_ids"};
constexpr CallSignature kVerifySignature{"Verifier", "verify", kVerifyParameters};

PyObject* verify_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifySignature, args, kwargs);
    const ByteView wire = bytes_argument(matched, 0);
    const std::uint64_t now = u64_argument(matched, 1);
    const bool want_ids = flag_argument(matched, 2);
    Verifier& verifier = verifier_of(self);
    // The wire is a bytes object `matched` holds, and `self` outlives the
    // call, so other threads may run meanwhile.
    auto outcome = [&] {
      const InterpreterUnlocked unlocked;
      return verifier.verify(wire, now, want_ids);
    }();
    return answer_of(outcome);
  });
}

constexpr std::string_view kVerifyTokenParameters[] = {"token", "now", "want_ids"};
constexpr CallSignature kVerifyTokenSignature{"Verifier", "verify_token", kVerifyTokenParameters};

// As verify, for the ASCII bytes of a token: (verify's answer, the wire the
// token gave) for a verified chain; verify's refusals, (None,
// "TokenMalformed", reason) for a text that is not a token, and
// ParentKeyMismatch at credential 0 for one naming no trusted root, as a wire
// from a wrong root gets.
PyObject* verify_token_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifyTokenSignature, args, kwargs);
    const ByteView token = bytes_argument(matched, 0);
    const std::uint64_t now = u64_argument(matched, 1);
    const bool want_ids = flag_argument(matched, 2);
    Verifier& verifier = verifier_of(self);
    // Each thread keeps its buffer for the binary form from call to call.
    thread_local Bytes body;
    auto parts = read_token(
        std::string_view(reinterpret_cast<const char*>(token.data()), token.size()), body);
    if (!parts) {
      return new_tuple(Ref::borrow(Py_None), text("TokenMalformed"),
                       text(text_refusal_name(parts.error())));
    }
    const auto root = token_root(*parts, verifier.root_ids());
    if (!root) return refused(KernelError::ParentKeyMismatch, 0);
    // The wire is written straight into the bytes object the answer holds;
    // nothing else refers to it until the call returns.
    Ref wire =
        created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(parts->wire_len)));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(wire.get()));
    auto outcome = [&] {
      const InterpreterUnlocked unlocked;
      write_token_wire(*parts, verifier.roots()[*root], std::span(data, parts->wire_len));
      return verifier.verify(ByteView(data, parts->wire_len), now, want_ids);
    }();
    Ref answer = answer_of(outcome);
    if (!outcome) return answer;
    return new_tuple(std::move(answer), std::move(wire));
  });
}

constexpr std::string_view kIdsParameters[] = {"ids"};
constexpr CallSignature kRevokeSignature{"Verifier", "revoke", kIdsParameters};
constexpr CallSignature kUnrevokeSignature{"Verifier", "unrevoke", kIdsParameters};

PyObject* revoke_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kRevokeSignature, args, kwargs);
    const auto ids = fixed_tuple<REVOCATION_ID_LEN>(matched[0], "revocation id");
    verifier_of(self).revoke(ids);
    return Ref::borrow(Py_None);
  });
}

PyObject* unrevoke_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kUnrevokeSignature, args, kwargs);
    const auto ids = fixed_tuple<REVOCATION_ID_LEN>(matched[0], "revocation id");
    verifier_of(self).unrevoke(ids);
    return Ref::borrow(Py_None);
  });
}

constexpr std::string_view kKeyParameters[] = {"pk"};
constexpr CallSignature kRevokeKeySignature{"Verifier", "revoke_key", kKeyParameters};
constexpr CallSignature kUnrevokeKeySignature{"Verifier", "unrevoke_key", kKeyParameters};

PyObject* revoke_key_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kRevokeKeySignature, args, kwargs);
    PublicKey key;
    copy_fixed(matched[0], "pk", key);
    verifier_of(self).revoke_key(key);
    return Ref::borrow(Py_None);
  });
}

PyObject* unrevoke_key_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kUnrevokeKeySignature, args, kwargs);
    PublicKey key;
    copy_fixed(matched[0], "pk", key);
    verifier_of(self).unrevoke_key(key);
    return Ref::borrow(Py_None);
  });
}

PyObject* revoked_ids_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).revoked_ids()); });
}

PyObject* revoked_keys_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).revoked_keys()); });
}

PyObject* roots_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).roots()); });
}

// (hits, misses, entries, bytes, max_bytes)
PyObject* cache_info_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] {
    const CacheInfo info = verifier_of(self).cache_info();
    return new_tuple(new_int(info.hits), new_int(info.misses), new_int(info.entries),
                     new_int(info.bytes), new_int(info.max_bytes));
  });
}

PyMethodDef kMethods[] = {
    {"verify", as_method(&verify_entry), METH_VARARGS | METH_KEYWORDS,
     "verify(wire, now, want_ids)\n--\n\n"
     "((count, holder_pk, role, depth, scope_tlv, perms, not_before, not_after), root index,\n"
     "ids or None), (None, rule, index), or (None, 'Revoked', index, revocation_id, key or None)."},
    {"verify_token", as_method(&verify_token_entry), METH_VARARGS | METH_KEYWORDS,
     "verify_token(token, now, want_ids)\n--\n\n"
     "(verify's answer, wire) for a verified chain; verify's refusals, or\n"
     "(None, 'TokenMalformed', reason)."},
    {"revoke", as_method(&revoke_entry), METH_VARARGS | METH_KEYWORDS,
     "revoke(ids)\n--\n\nRevokes a tuple of 32-byte revocation ids."},
    {"unrevoke", as_method(&unrevoke_entry), METH_VARARGS | METH_KEYWORDS,
     "unrevoke(ids)\n--\n\nTakes back the revocation of a tuple of ids."},
    {"revoke_key", as_method(&revoke_key_entry), METH_VARARGS | METH_KEYWORDS,
     "revoke_key(pk)\n--\n\nRefuses every chain in which the key takes part."},
    {"unrevoke_key", as_method(&unrevoke_key_entry), METH_VARARGS | METH_KEYWORDS,
     "unrevoke_key(pk)\n--\n\nTakes back the revocation of a key."},
    {"revoked_ids", as_method(&revoked_ids_entry), METH_NOARGS,
     "revoked_ids()\n--\n\nThe revoked ids, in no order."},
    {"revoked_keys", as_method(&revoked_keys_entry), METH_NOARGS,
     "revoked_keys()\n--\n\nThe revoked keys, in no order."},
    {"roots", as_method(&roots_entry), METH_NOARGS, "roots()\n--\n\nThe trusted roots, in order."},
    {"cache_info", as_method(&cache_info_entry), METH_NOARGS,
     "cache_info()\n--\n\n(hits, misses, entries, bytes, max_bytes)"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kClassDoc[] =
    "Verifier(roots, leeway, cache_bytes)\n--\n\n"
    "Trusted roots, revocation and a signature cache; use vestrel.Verifier.";

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&verifier_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&verifier_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// No subclassing, no instance dictionary, no garbage collection: an instance
// refers to no other object.
PyType_Spec kSpec = {
    "vestrel._native.Verifier",
    static_cast<int>(sizeof(VerifierObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

void add_verifier_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromSpec(&kSpec));
  if (!type) throw Failure::fetch();
  add_name(module, "Verifier", type.get());
}

}  // namespace vestrel::py
