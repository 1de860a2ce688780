// A deterministically derived ML-DSA-65 identity and the credentials it issues.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "bytes.h"
#include "crypto/mldsa65.h"
#include "errors.h"
#include "payload.h"

namespace vestrel {

// The credential format's sizes are ML-DSA-65's; the two spans name one type.
static_assert(PK_SIZE == mldsa65::kPublicKeyBytes && SIG_SIZE == mldsa65::kSignatureBytes &&
              SEED_SIZE == mldsa65::kSeedBytes);

// The derivation label, used as the HKDF salt.
inline constexpr char kDerivationLabel[] = "Vestrel-Kernel-v1";
inline constexpr std::uint8_t kLabelSeparator = 0x3A;

// One derived key pair. Read-only once built; the secret half is wiped by
// wipe_identity (the Python object calls it before freeing its storage). Not
// copyable, so no stray copy of the key can be made by accident.
struct Identity {
  Identity() = default;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  mldsa65::ExpandedKey signing_key;
  std::array<std::uint8_t, PK_SIZE> public_key;
};

// Derives in place into `out` (which may be the final resting place of the
// key, such as an object's storage) so the key material is never copied.
// master: exactly SEED_SIZE bytes, checked by the caller.
[[nodiscard]] KStatus derive_identity(std::span<const std::uint8_t, SEED_SIZE> master,
                                      ByteView deployment, ByteView context,
                                      Identity& out) noexcept;

[[nodiscard]] inline PublicKeyView public_key(const Identity& id) noexcept { return id.public_key; }

void wipe_identity(Identity& id) noexcept;

struct IssuedCredential {
  Bytes payload;
  std::array<std::uint8_t, SIG_SIZE> sig;
};

// ScopeEmpty/ScopeTooLarge/WireInvalid, then CaveatsTooLarge/
// MalformedCaveatBuffer, then ChainTooDeep (depth > 16), then SigningFailed.
[[nodiscard]] KResult<IssuedCredential> issue_credential(const Identity& id, PublicKeyView child_pk,
                                                         Role role, std::uint32_t depth,
                                                         ByteView scope, ByteView caveats);

}  // namespace vestrel
