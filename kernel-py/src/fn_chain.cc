// encode_chain and decode_chain: framing credentials into one wire and back.
#include <string>
#include <vector>

#include "callables.h"
#include "chain_wire.h"
#include "convert.h"
#include "entry.h"
#include "module_body.h"
#include "results.h"
#include "signature.h"

namespace vestrel::py {

namespace {

constexpr std::string_view kEncodeParameters[] = {"credentials"};
constexpr CallSignature kEncodeSignature{"", "encode_chain", kEncodeParameters};

constexpr std::string_view kDecodeParameters[] = {"wire"};
constexpr CallSignature kDecodeSignature{"", "decode_chain", kDecodeParameters};

[[noreturn]] void wrong_field_length(std::size_t index, const char* field, std::size_t expected) {
  throw wrong_length("credential[" + std::to_string(index) + "] " + field, expected);
}

PyObject* encode_chain_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kEncodeSignature, args, kwargs);
    // The whole sequence is converted before any length is judged, so a
    // malformed later tuple is reported even when an earlier key is short.
    const std::vector<OwnedCredential> credentials = credentials_argument(matched, 0);

    // Sized by what was actually converted, never by the caller's __len__.
    std::vector<CredentialView> views;
    views.reserve(credentials.size());
    for (std::size_t i = 0; i < credentials.size(); ++i) {
      const ByteView issuer_pk = credentials[i].issuer_pk.view();
      const ByteView sig = credentials[i].sig.view();
      if (issuer_pk.size() != PK_SIZE) wrong_field_length(i, "issuer_pk", PK_SIZE);
      if (sig.size() != SIG_SIZE) wrong_field_length(i, "sig", SIG_SIZE);
      views.push_back(CredentialView{issuer_pk.first<PK_SIZE>(), sig.first<SIG_SIZE>(),
                                     credentials[i].payload.view()});
    }
    const Bytes wire = value_or_raise(encode_chain(views));
    return new_bytes(wire);
  });
}

PyObject* decode_chain_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kDecodeSignature, args, kwargs);
    const ByteView wire = bytes_argument(matched, 0);
    const DecodedChain chain = value_or_raise(decode_chain(wire));

    Ref list = created(PyList_New(static_cast<Py_ssize_t>(chain.count)));
    for (std::size_t i = 0; i < chain.count; ++i) {
      const CredentialView& slot = chain.slots[i];
      Ref issuer_pk = new_bytes(slot.issuer_pk);
      Ref sig = new_bytes(slot.sig);
      Ref payload = new_bytes(slot.payload);
      Ref tuple = new_tuple(std::move(issuer_pk), std::move(sig), std::move(payload));
      // Steals the tuple; the index is in range of the fresh list.
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list;
  });
}

}  // namespace

PyMethodDef encode_chain_method = {
    "encode_chain", as_method(&encode_chain_entry), METH_VARARGS | METH_KEYWORDS,
    "encode_chain(credentials)\n--\n\n"
    "encode_chain(credentials: list[tuple[bytes, bytes, bytes]]) -> bytes\n\n"
    "Each tuple is (issuer_pk, sig, payload). Returns the wire-encoded chain."};

PyMethodDef decode_chain_method = {
    "decode_chain", as_method(&decode_chain_entry), METH_VARARGS | METH_KEYWORDS,
    "decode_chain(wire)\n--\n\n"
    "decode_chain(wire: bytes) -> list[tuple[bytes, bytes, bytes]]\n\n"
    "Returns tuples (issuer_pk, sig, payload). Does not verify signatures."};

}  // namespace vestrel::py
