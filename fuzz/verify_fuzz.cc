// Chain verification and holder proofs under a fixed root key. The first
// input byte picks a mode:
//  - even: the rest is a wire, verified as it stands (framing, linkage and
//    signature paths; a random wire rarely gets past its signatures), and
//    also a holder proof (its first SIG_SIZE bytes) over a challenge (the
//    remainder), which must never be accepted;
//  - odd: the rest is one payload, which the root really signs, so the
//    payload, scope, depth and caveat checks behind the signature are reached.
//    Then verification must fail exactly as the strict payload reader does,
//    and a holder proof over the same bytes must pass as a proof only, never
//    as the credential's signature.
// In both modes a Verifier with a cache, asked twice, must answer exactly as
// the plain walk does: a cached signature never changes an outcome.
#include <algorithm>
#include <array>
#include <cstdlib>

#include "chain_wire.h"
#include "crypto/mldsa65.h"
#include "holder_proof.h"
#include "identity.h"
#include "verifier.h"
#include "verify.h"

using namespace vestrel;

namespace {

const Identity& root() {
  static const Identity* id = [] {
    auto* fresh = new Identity;
    const std::array<std::uint8_t, SEED_SIZE> master{};
    const char label[] = "fuzz";
    ByteView text(reinterpret_cast<const std::uint8_t*>(label), sizeof label - 1);
    if (!derive_identity(master, text, text, *fresh)) std::abort();
    return fresh;
  }();
  return *id;
}

constexpr std::uint64_t kNow = 1'000'000;

// The verifier trusts the root key given to the walk; it is installed on
// first use, since the key is derived at run time.
void same_as_the_walk(ByteView wire) {
  static Verifier* cached = [] {
    PublicKey key;
    const auto pk = public_key(root());
    std::copy(pk.begin(), pk.end(), key.begin());
    return new Verifier({key}, 0, 1 << 20);
  }();
  const auto walked = verify_chain(public_key(root()), wire, kNow);
  for (int round = 0; round < 2; ++round) {
    const auto answer = cached->verify(wire, kNow);
    if (answer.has_value() != walked.has_value()) std::abort();
    if (!answer && (answer.error().kind != VerifierRefusal::Kind::Rule ||
                    answer.error().rule.error != walked.error().error ||
                    answer.error().rule.index != walked.error().index)) {
      std::abort();
    }
    if (answer && answer->authority.count != walked->count) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ByteView rest(data + 1, size - 1);
  const Identity& id = root();
  if ((data[0] & 1) == 0) {
    same_as_the_walk(rest);
    if (rest.size() >= SIG_SIZE &&
        check_holder_proof(public_key(id), rest.subspan(SIG_SIZE), rest.first<SIG_SIZE>())) {
      std::abort();  // a forged proof
    }
    return 0;
  }

  std::array<std::uint8_t, SIG_SIZE> sig{};
  if (!mldsa65::sign(id.signing_key, rest, sig)) std::abort();
  auto proof = make_holder_proof(id, rest);
  if (!proof || !check_holder_proof(public_key(id), rest, *proof) ||
      check_holder_proof(public_key(id), rest, sig) ||
      mldsa65::verify(public_key(id), rest, *proof) == mldsa65::VerifyOutcome::Valid) {
    std::abort();
  }
  CredentialView cred{public_key(id), sig, rest};
  auto wire = encode_chain(std::span<const CredentialView>(&cred, 1));
  if (!wire) return 0;  // a payload beyond the writer's capacity
  same_as_the_walk(*wire);
  auto verdict = verify_delegation(public_key(id), *wire, kNow);
  auto payload = decode_payload(rest);
  if (!payload) {
    if (verdict || verdict.error() != payload.error()) std::abort();
  } else if (payload->depth != 1) {
    if (verdict || verdict.error() != KernelError::DepthMismatch) std::abort();
  } else if (verdict) {
    if (*verdict != 1 || !enforce_caveats(payload->caveats, kNow)) std::abort();
  }
  return 0;
}
