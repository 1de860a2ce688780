#include "holder_proof.h"

#include "crypto/mldsa65.h"

namespace vestrel {

namespace {

// The context without its terminating zero.
ByteView proof_context() noexcept {
  return ByteView(reinterpret_cast<const std::uint8_t*>(kHolderProofContext),
                  sizeof kHolderProofContext - 1);
}

}  // namespace

KResult<HolderProof> make_holder_proof(const Identity& holder, ByteView challenge) noexcept {
  HolderProof proof{};
  if (auto s = mldsa65::sign(holder.signing_key, proof_context(), challenge, proof); !s) {
    return fail(KernelError::SigningFailed);
  }
  return proof;
}

bool check_holder_proof(PublicKeyView holder_pk, ByteView challenge, SignatureView proof) noexcept {
  return mldsa65::verify(holder_pk, proof_context(), challenge, proof) ==
         mldsa65::VerifyOutcome::Valid;
}

}  // namespace vestrel
