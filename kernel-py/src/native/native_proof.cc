// prove and check_proof: holder proofs, the island's signature over a
// verifier's challenge under the proof context (holder_proof.h); and the two
// helpers request proofs share with them.
#include <string_view>

#include "convert.h"
#include "entry.h"
#include "holder_proof.h"
#include "island_hold.h"
#include "native_callables.h"
#include "results.h"
#include "signature.h"
#include "unlocked.h"

namespace vestrel::py {

Ref holder_signature(const Arguments& matched, HolderSign sign) {
  const ByteView message = bytes_argument(matched, 1);
  PyObject* holder = matched[0];
  if (PyType_IsSubtype(Py_TYPE(holder), reinterpret_cast<PyTypeObject*>(genuine_island_type())) ==
      0) {
    throw downcast_error(holder, "IdentityIsland").with_argument_prefix(matched.name(0));
  }
  const SharedHold held(holder, genuine_island_type());
  return new_bytes(value_or_raise(sign(held.identity(), message)));
}

Ref holder_signature_valid(const Arguments& matched, HolderCheck check) {
  const ByteView holder_pk = bytes_argument(matched, 0);
  const ByteView message = bytes_argument(matched, 1);
  const ByteView signature = bytes_argument(matched, 2);
  if (holder_pk.size() != PK_SIZE) throw wrong_length(matched.name(0), PK_SIZE);
  if (signature.size() != SIG_SIZE) throw wrong_length(matched.name(2), SIG_SIZE);
  bool valid = false;
  {
    // The views are into bytes objects `matched` holds.
    const InterpreterUnlocked unlocked;
    valid = check(holder_pk.first<PK_SIZE>(), message, signature.first<SIG_SIZE>());
  }
  return Ref::borrow(valid ? Py_True : Py_False);
}

namespace {

constexpr std::string_view kProveParameters[] = {"holder", "challenge"};
constexpr CallSignature kProveSignature{"", "prove", kProveParameters};

PyObject* prove_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return holder_signature(Arguments(kProveSignature, args, kwargs), &make_holder_proof);
  });
}

constexpr std::string_view kCheckParameters[] = {"holder_pk", "challenge", "proof"};
constexpr CallSignature kCheckSignature{"", "check_proof", kCheckParameters};

PyObject* check_proof_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return holder_signature_valid(Arguments(kCheckSignature, args, kwargs), &check_holder_proof);
  });
}

}  // namespace

PyMethodDef native_prove_method = {
    "prove", as_method(&prove_entry), METH_VARARGS | METH_KEYWORDS,
    "prove(holder, challenge)\n--\n\nThe holder's proof over the challenge."};

PyMethodDef native_check_proof_method = {"check_proof", as_method(&check_proof_entry),
                                         METH_VARARGS | METH_KEYWORDS,
                                         "check_proof(holder_pk, challenge, proof)\n--\n\n"
                                         "Whether proof is holder_pk's proof over challenge."};

}  // namespace vestrel::py
