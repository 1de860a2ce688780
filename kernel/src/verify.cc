#include "verify.h"

#include <algorithm>

#include "caveats.h"
#include "crypto/mldsa65.h"
#include "payload.h"
#include "scope.h"

namespace vestrel {

namespace {

KStatus check_signature(const CredentialView& cred) noexcept {
  switch (mldsa65::verify(cred.issuer_pk, cred.payload, cred.sig)) {
    case mldsa65::VerifyOutcome::Valid:
      return {};
    case mldsa65::VerifyOutcome::DoesNotDecode:
      return fail(KernelError::SignatureDecodingFailed);
    case mldsa65::VerifyOutcome::DoesNotVerify:
      break;
  }
  return fail(KernelError::SignatureInvalid);
}

}  // namespace

KResult<std::uint32_t> verify_delegation(PublicKeyView root_pk, ByteView wire,
                                         std::uint64_t now) noexcept {
  // The whole wire is framed before any credential is judged, so a truncated
  // last record is reported even when an earlier signature is bad.
  auto decoded = decode_chain(wire);
  if (!decoded) return fail(decoded.error());
  const DecodedChain& chain = *decoded;

  // State carried from each accepted credential to the next: views into the
  // wire, nothing copied.
  PublicKeyView expected_issuer = root_pk;
  Role previous_role = Role::Node;
  ByteView previous_scope;

  for (std::size_t i = 0; i < chain.count; ++i) {
    const CredentialView& cred = chain.slots[i];
    if (!std::ranges::equal(cred.issuer_pk, expected_issuer)) {
      return fail(KernelError::ParentKeyMismatch);
    }
    if (i > 0 && previous_role == Role::Leaf) return fail(KernelError::LeafCannotDelegate);
    // The signature comes before the payload is read: a structural fault is
    // only reported for a payload its issuer really signed.
    if (auto s = check_signature(cred); !s) return fail(s.error());

    auto payload = decode_payload(cred.payload);
    if (!payload) return fail(payload.error());
    if (payload->depth != i + 1) return fail(KernelError::DepthMismatch);
    if (i > 0) {
      if (auto c = scope_covers(payload->scope, previous_scope); !c) return fail(c.error());
    }
    if (auto t = enforce_caveats(payload->caveats, now); !t) return fail(t.error());

    expected_issuer = payload->child_pk;
    previous_role = payload->role;
    previous_scope = payload->scope;
  }
  return static_cast<std::uint32_t>(chain.count);
}

}  // namespace vestrel
