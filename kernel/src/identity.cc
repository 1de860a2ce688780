#include "identity.h"

#include <array>
#include <cstdint>

#include "caveats.h"
#include "chain_wire.h"
#include "crypto/hkdf.h"
#include "crypto/secure.h"
#include "payload.h"
#include "scope.h"

namespace vestrel {

namespace {
// The label without its terminator: the salt is exactly these 17 bytes.
constexpr std::size_t kDerivationLabelLen = sizeof(kDerivationLabel) - 1;
static_assert(kDerivationLabelLen == 17);
}  // namespace

KStatus derive_identity(std::span<const std::uint8_t, SEED_SIZE> master, ByteView deployment,
                        ByteView context, Identity& out) noexcept {
  const ByteView salt(reinterpret_cast<const std::uint8_t*>(kDerivationLabel), kDerivationLabelLen);
  SecretBytes<hkdf::kHashLen> prk;
  SecretBytes<mldsa65::kSeedBytes> xi;

  // The info is deployment || ':' || context, passed in pieces so that labels
  // of any size are never copied. No length prefixes: ("a:b", "c") and
  // ("a", "b:c") name the same identity, by design of the format.
  const std::uint8_t separator[1] = {kLabelSeparator};
  const std::array<ByteView, 3> info = {deployment, ByteView(separator), context};

  hkdf::extract(salt, master, prk.span());
  const crypto::Status expanded = hkdf::expand(prk.span(), info, xi.span());
  // The PRK is needed no longer than this; the destructors would wipe it too,
  // but not before key generation has run with it still in memory.
  secure_wipe(prk.data(), prk.size());
  if (!expanded) {
    wipe_identity(out);
    return fail(KernelError::HkdfExpandFailed);
  }

  mldsa65::keygen(xi.span(), out.signing_key, out.public_key);
  secure_wipe(xi.data(), xi.size());
  return {};
}

void wipe_identity(Identity& id) noexcept {
  mldsa65::wipe(id.signing_key);
  secure_wipe(id.public_key.data(), id.public_key.size());
}

KResult<IssuedCredential> issue_credential(const Identity& id, PublicKeyView child_pk, Role role,
                                           std::uint32_t depth, ByteView scope, ByteView caveats) {
  // The order of these checks decides which error a caller sees when several
  // inputs are wrong at once, and it mirrors what verification will enforce.
  if (auto s = validate_scope(scope); !s) return fail(s.error());
  if (auto c = validate_caveats(caveats); !c) return fail(c.error());
  if (depth > MAX_CHAIN_LEN) return fail(KernelError::ChainTooDeep);

  IssuedCredential issued{encode_payload(child_pk, role, depth, scope, caveats), {}};
  if (auto signed_ = mldsa65::sign(id.signing_key, issued.payload, issued.sig); !signed_) {
    return fail(KernelError::SigningFailed);
  }
  return issued;
}

}  // namespace vestrel
