#include "holder_proof.h"

#include "crypto/mldsa65.h"

namespace vestrel {

namespace {

ByteView bytes_of(std::string_view text) noexcept {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

KResult<HolderProof> sign_as_holder(const Identity& holder, std::string_view context,
                                    ByteView message) noexcept {
  HolderProof signature{};
  if (auto s = mldsa65::sign(holder.signing_key, bytes_of(context), message, signature); !s) {
    return fail(KernelError::SigningFailed);
  }
  return signature;
}

bool check_as_holder(PublicKeyView holder_pk, std::string_view context, ByteView message,
                     SignatureView signature) noexcept {
  return mldsa65::verify(holder_pk, bytes_of(context), message, signature) ==
         mldsa65::VerifyOutcome::Valid;
}

bool check_as_holder(const mldsa65::PreparedPublicKey& holder, std::string_view context,
                     ByteView message, SignatureView signature) noexcept {
  return mldsa65::verify(holder, bytes_of(context), message, signature) ==
         mldsa65::VerifyOutcome::Valid;
}

KResult<HolderProof> make_holder_proof(const Identity& holder, ByteView challenge) noexcept {
  return sign_as_holder(holder, kHolderProofContext, challenge);
}

bool check_holder_proof(PublicKeyView holder_pk, ByteView challenge, SignatureView proof) noexcept {
  return check_as_holder(holder_pk, kHolderProofContext, challenge, proof);
}

}  // namespace vestrel
