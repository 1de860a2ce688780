// Holder proofs: a signature by the key a chain was delegated to, over a
// challenge the verifier chose, so that a copied wire alone is not enough to
// use the chain.
//
// A proof is an ML-DSA-65 signature made under the context string
// "vestrel-holder-proof/1". Credential signatures use the empty context, so a
// proof can never pass for a credential signature, nor one for a proof, even
// over the very same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "bytes.h"
#include "chain_wire.h"
#include "errors.h"
#include "identity.h"
#include "payload.h"

namespace vestrel {

inline constexpr char kHolderProofContext[] = "vestrel-holder-proof/1";

using HolderProof = std::array<std::uint8_t, SIG_SIZE>;

// The holder's deterministic ML-DSA-65 signature over `message` under
// `context`, and its check: the one shape of holder proofs (below) and of
// request proofs (request_proof.h), which differ in their context only.
[[nodiscard]] KResult<HolderProof> sign_as_holder(const Identity& holder, std::string_view context,
                                                  ByteView message) noexcept;
[[nodiscard]] bool check_as_holder(PublicKeyView holder_pk, std::string_view context,
                                   ByteView message, SignatureView signature) noexcept;
// The same against the holder's key prepared for verification.
[[nodiscard]] bool check_as_holder(const mldsa65::PreparedPublicKey& holder,
                                   std::string_view context, ByteView message,
                                   SignatureView signature) noexcept;

// Deterministic: the same identity and challenge give the same proof.
// SigningFailed only if the primitive gives up.
[[nodiscard]] KResult<HolderProof> make_holder_proof(const Identity& holder,
                                                     ByteView challenge) noexcept;

// Whether `proof` is the holder's proof over `challenge`; a proof that does
// not decode is simply not one.
[[nodiscard]] bool check_holder_proof(PublicKeyView holder_pk, ByteView challenge,
                                      SignatureView proof) noexcept;

}  // namespace vestrel
