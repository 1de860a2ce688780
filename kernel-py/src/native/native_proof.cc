// prove and check_proof: holder proofs, the island's signature over a
// verifier's challenge under the proof context (holder_proof.h).
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

namespace {

constexpr std::string_view kProveParameters[] = {"holder", "challenge"};
constexpr CallSignature kProveSignature{"", "prove", kProveParameters};

PyObject* prove_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kProveSignature, args, kwargs);
    const ByteView challenge = bytes_argument(matched, 1);
    PyObject* holder = matched[0];
    if (PyType_IsSubtype(Py_TYPE(holder), reinterpret_cast<PyTypeObject*>(genuine_island_type())) ==
        0) {
      throw downcast_error(holder, "IdentityIsland").with_argument_prefix(matched.name(0));
    }
    const SharedHold held(holder, genuine_island_type());
    return new_bytes(value_or_raise(make_holder_proof(held.identity(), challenge)));
  });
}

constexpr std::string_view kCheckParameters[] = {"holder_pk", "challenge", "proof"};
constexpr CallSignature kCheckSignature{"", "check_proof", kCheckParameters};

PyObject* check_proof_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kCheckSignature, args, kwargs);
    const ByteView holder_pk = bytes_argument(matched, 0);
    const ByteView challenge = bytes_argument(matched, 1);
    const ByteView proof = bytes_argument(matched, 2);
    if (holder_pk.size() != PK_SIZE) throw wrong_length("holder_pk", PK_SIZE);
    if (proof.size() != SIG_SIZE) throw wrong_length("proof", SIG_SIZE);
    bool valid = false;
    {
      // The views are into bytes objects `matched` holds.
      const InterpreterUnlocked unlocked;
      valid = check_holder_proof(holder_pk.first<PK_SIZE>(), challenge, proof.first<SIG_SIZE>());
    }
    return Ref::borrow(valid ? Py_True : Py_False);
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
