// credential_payload, audit and check_signature: what the package's delegate
// checks before it signs, and after a signer outside the process has signed.
// The would-be chain, the existing credentials and the new one not yet
// signed, goes through the kernel's own walk with every signature taken as
// good: the earlier ones were made by others and are checked whenever the
// chain is verified, and the new one does not exist yet. No ML-DSA work is
// done there, and every other rule is judged exactly as verification judges
// it. check_signature is the one ML-DSA check, of a signature made elsewhere.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "chain_wire.h"
#include "convert.h"
#include "entry.h"
#include "native_callables.h"
#include "payload.h"
#include "results.h"
#include "signature.h"
#include "unlocked.h"
#include "verify.h"

namespace vestrel::py {

namespace {

// ---------------------------------------------------------------------------
// The payload a credential would carry

constexpr std::string_view kPayloadParameters[] = {"child_pk", "role", "depth", "scope_tlv",
                                                   "caveats"};
constexpr CallSignature kPayloadSignature{"", "credential_payload", kPayloadParameters};

// The very bytes IdentityIsland.issue_credential signs for these arguments,
// whose conversions and argument errors it shares. Nothing else is judged
// here: the walk of audit() reports a scope or caveat fault at the index the
// credential would have.
PyObject* credential_payload_entry(PyObject* /*module*/, PyObject* args,
                                   PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kPayloadSignature, args, kwargs);
    const CredentialArguments cred = credential_arguments(matched);
    return new_bytes(
        encode_payload(cred.child_pk, cred.role, cred.depth, cred.scope, cred.caveats));
  });
}

// ---------------------------------------------------------------------------
// The audit of a would-be chain

struct EverySignatureAccepted final : SignatureVerdicts {
  KStatus check(std::size_t /*index*/, const CredentialView& /*cred*/) noexcept override {
    return {};
  }
};

bool is_empty(const ChainWindow& window) noexcept {
  return window.not_before && window.not_after && *window.not_before > *window.not_after;
}

// The window of the longest leading run of credentials whose payloads decode.
// A walk at a time inside it passes every caveat of that run, so it reports
// the first fault that holds at every time: a rule other than time, or the
// first payload that does not decode.
ChainWindow leading_window(DecodedChain chain) noexcept {
  for (; chain.count > 0; --chain.count) {
    if (auto window = chain_window(chain)) return *window;
  }
  return {};
}

constexpr std::string_view kAuditParameters[] = {"wire", "issuer_pk", "payload"};
constexpr CallSignature kAuditSignature{"", "audit", kAuditParameters};

// wire: the existing chain, or None for a root's first credential (the
// issuer is then the root). The answer is verify()'s for the would-be chain
// at a time inside its window, or, when the windows leave no such time,
// (None, "EmptyWindow", index, not_before, not_after) for a credential whose
// own bounds exclude each other and (None, "DisjointWindow", index,
// not_before, not_after, chain_not_before, chain_not_after) for one whose
// window misses the existing chain's. Bounds are None when open.
PyObject* audit_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kAuditSignature, args, kwargs);
    const bool is_root = matched[0] == Py_None;
    const ByteView wire = is_root ? ByteView() : bytes_argument(matched, 0);
    const ByteView issuer_pk = bytes_argument(matched, 1);
    const ByteView payload = bytes_argument(matched, 2);
    if (issuer_pk.size() != PK_SIZE) throw wrong_length("issuer_pk", PK_SIZE);
    const PublicKeyView issuer = issuer_pk.first<PK_SIZE>();

    DecodedChain parent{};
    if (!is_root) {
      auto decoded = decode_chain(wire);
      if (!decoded) return refused(decoded.error(), std::nullopt);
      parent = *decoded;
    }
    const PublicKeyView root_pk = is_root ? issuer : parent.slots[0].issuer_pk;
    const auto index = static_cast<std::uint32_t>(parent.count);
    DecodedChain extended = parent;
    // The placeholder signature is never looked at: every verdict is "good".
    if (auto appended = append_credential(extended, {issuer, kNoSignature, payload}); !appended) {
      return refused(appended.error(), index);
    }

    // Any time inside the window decides for every time inside it. Where the
    // new credential leaves no time, the walk runs inside the existing
    // chain's window instead: the new credential's other rules are judged
    // first, as the walk orders them, and then its time is what fails.
    const ChainWindow whole = leading_window(extended);
    const ChainWindow before = leading_window(parent);
    const std::uint64_t at = (is_empty(whole) ? before : whole).not_before.value_or(0);
    EverySignatureAccepted verdicts;
    auto walked = verify_decoded_chain(root_pk, extended, at, verdicts);
    if (walked) return authority_answer(*walked);
    const ChainRefusal& refusal = walked.error();
    const bool time_fails = refusal.error == KernelError::NotBeforeViolation ||
                            refusal.error == KernelError::NotAfterViolation;
    if (!time_fails || refusal.index != index || !is_empty(whole)) {
      return refused(refusal.error, refusal.index);
    }
    // Its payload decoded in the walk, so its own window is known.
    DecodedChain alone{};
    (void)append_credential(alone, extended.slots[index]);
    const ChainWindow own = chain_window(alone).value_or(ChainWindow{});
    if (is_empty(own)) {
      return new_tuple(Ref::borrow(Py_None), text("EmptyWindow"), new_int(index),
                       optional_int(own.not_before), optional_int(own.not_after));
    }
    return new_tuple(Ref::borrow(Py_None), text("DisjointWindow"), new_int(index),
                     optional_int(own.not_before), optional_int(own.not_after),
                     optional_int(before.not_before), optional_int(before.not_after));
  });
}

// ---------------------------------------------------------------------------
// A signature made elsewhere

constexpr std::string_view kCheckSignatureParameters[] = {"issuer_pk", "payload", "sig"};
constexpr CallSignature kCheckSignatureSignature{"", "check_signature", kCheckSignatureParameters};

// The signature step of verification alone, for a credential whose payload
// was signed by a key outside the process: None when `sig` is the issuer's
// signature over `payload`, else (None, "SignatureDecodingFailed" or
// "SignatureInvalid", None). A key or signature of the wrong length is a
// ValueError naming the argument.
PyObject* check_signature_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kCheckSignatureSignature, args, kwargs);
    const ByteView issuer_pk = bytes_argument(matched, 0);
    const ByteView payload = bytes_argument(matched, 1);
    const ByteView sig = bytes_argument(matched, 2);
    if (issuer_pk.size() != PK_SIZE) throw wrong_length("issuer_pk", PK_SIZE);
    if (sig.size() != SIG_SIZE) throw wrong_length("sig", SIG_SIZE);
    const CredentialView cred{issuer_pk.first<PK_SIZE>(), sig.first<SIG_SIZE>(), payload};
    // The views are into bytes objects `matched` holds.
    const KStatus checked = [&] {
      const InterpreterUnlocked unlocked;
      return check_credential_signature(cred);
    }();
    if (!checked) return refused(checked.error(), std::nullopt);
    return Ref::borrow(Py_None);
  });
}

}  // namespace

PyMethodDef native_check_signature_method = {
    "check_signature", as_method(&check_signature_entry), METH_VARARGS | METH_KEYWORDS,
    "check_signature(issuer_pk, payload, sig)\n--\n\n"
    "None when sig is issuer_pk's credential signature over payload, else\n"
    "(None, rule, None) with the rule verification would refuse it by."};

PyMethodDef native_credential_payload_method = {
    "credential_payload", as_method(&credential_payload_entry), METH_VARARGS | METH_KEYWORDS,
    "credential_payload(child_pk, role, depth, scope_tlv, caveats)\n--\n\n"
    "The payload issue_credential would sign for these arguments, unsigned."};

PyMethodDef native_audit_method = {
    "audit", as_method(&audit_entry), METH_VARARGS | METH_KEYWORDS,
    "audit(wire, issuer_pk, payload)\n--\n\n"
    "verify()'s answer for wire extended by an unsigned credential, every signature\n"
    "taken as good, at a time inside the window; (None, \"EmptyWindow\", index, nb, na)\n"
    "or (None, \"DisjointWindow\", index, nb, na, chain_nb, chain_na) when there is none."};

}  // namespace vestrel::py
