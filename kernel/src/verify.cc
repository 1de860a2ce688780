#include "verify.h"

#include <algorithm>
#include <cstdint>

#include "caveats.h"
#include "crypto/mldsa65.h"
#include "payload.h"
#include "scope.h"

namespace vestrel {

KStatus check_credential_signature(const CredentialView& cred) noexcept {
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

namespace {

struct AlwaysChecked final : SignatureVerdicts {
  KStatus check(std::size_t /*index*/, const CredentialView& cred) noexcept override {
    return check_credential_signature(cred);
  }
};

// The strictest time bounds found in one validated caveat buffer, merged
// into those of the credentials before it.
void tighten_window(ByteView validated_caveats, std::optional<std::uint64_t>& not_before,
                    std::optional<std::uint64_t>& not_after) noexcept {
  auto records = caveat_records(validated_caveats);
  for (Caveat c; records.next(c);) {
    if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotBefore)) {
      not_before = std::max(not_before.value_or(0), c.time);
    } else if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotAfter)) {
      not_after = std::min(not_after.value_or(UINT64_MAX), c.time);
    }
  }
}

Unexpected<ChainRefusal> refuse(KernelError error, std::size_t index) noexcept {
  return fail(ChainRefusal{error, static_cast<std::uint32_t>(index)});
}

}  // namespace

Result<ChainAuthority, ChainRefusal> verify_chain(PublicKeyView root_pk, ByteView wire,
                                                  std::uint64_t now) noexcept {
  AlwaysChecked verdicts;
  return verify_chain(root_pk, wire, now, verdicts);
}

Result<ChainAuthority, ChainRefusal> verify_chain(PublicKeyView root_pk, ByteView wire,
                                                  std::uint64_t now,
                                                  SignatureVerdicts& verdicts) noexcept {
  // The whole wire is framed before any credential is judged, so a truncated
  // last record is reported even when an earlier signature is bad.
  auto decoded = decode_chain(wire);
  if (!decoded) return fail(ChainRefusal{decoded.error(), std::nullopt});
  return verify_decoded_chain(root_pk, *decoded, now, verdicts);
}

Result<ChainAuthority, ChainRefusal> verify_decoded_chain(PublicKeyView root_pk,
                                                          const DecodedChain& chain,
                                                          std::uint64_t now,
                                                          SignatureVerdicts& verdicts) noexcept {
  // State carried from each accepted credential to the next: views into the
  // wire, nothing copied.
  ChainAuthority authority;
  PublicKeyView expected_issuer = root_pk;
  Role previous_role = Role::Node;
  ByteView previous_scope;

  for (std::size_t i = 0; i < chain.count; ++i) {
    const CredentialView& cred = chain.slots[i];
    if (!std::ranges::equal(cred.issuer_pk, expected_issuer)) {
      return refuse(KernelError::ParentKeyMismatch, i);
    }
    if (i > 0 && previous_role == Role::Leaf) return refuse(KernelError::LeafCannotDelegate, i);
    // The signature comes before the payload is read: a structural fault is
    // only reported for a payload its issuer really signed.
    if (auto s = verdicts.check(i, cred); !s) return refuse(s.error(), i);

    auto payload = decode_payload(cred.payload);
    if (!payload) return refuse(payload.error(), i);
    if (payload->depth != i + 1) return refuse(KernelError::DepthMismatch, i);
    if (i > 0) {
      if (auto c = scope_covers(payload->scope, previous_scope); !c) return refuse(c.error(), i);
    }
    if (auto t = enforce_caveats(payload->caveats, now); !t) return refuse(t.error(), i);
    tighten_window(payload->caveats, authority.not_before, authority.not_after);

    expected_issuer = payload->child_pk;
    previous_role = payload->role;
    previous_scope = payload->scope;
    authority.holder_pk = payload->child_pk;
    authority.role = payload->role;
    authority.depth = payload->depth;
    authority.scope = payload->scope;
  }
  authority.count = static_cast<std::uint32_t>(chain.count);
  return authority;
}

std::optional<ChainWindow> chain_window(const DecodedChain& chain) noexcept {
  ChainWindow window;
  for (std::size_t i = 0; i < chain.count; ++i) {
    auto payload = decode_payload(chain.slots[i].payload);
    if (!payload) return std::nullopt;
    tighten_window(payload->caveats, window.not_before, window.not_after);
  }
  return window;
}

KResult<std::uint32_t> verify_delegation(PublicKeyView root_pk, ByteView wire,
                                         std::uint64_t now) noexcept {
  auto verified = verify_chain(root_pk, wire, now);
  if (!verified) return fail(verified.error().error);
  return verified->count;
}

}  // namespace vestrel
