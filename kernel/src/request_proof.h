// Request proofs: the holder's signature over one HTTP request and the chain
// it presents, so that a chain and proof captured on the way to one service
// cannot be used for another request, another service or another chain.
//
// The signed message, under the ML-DSA context "vestrel-request-proof/1"
// (neither a credential signature, with the empty context, nor a holder
// proof can ever pass for one):
//
//   u8     1, the message version
//   then method, scheme, authority, path, query, each as u32 LE length + bytes
//   u64 LE issued_at, seconds since the epoch
//   16     nonce, random
//   32     chain digest (token.h)
//   u8     1 when the body is covered, then its 32-byte SHA3-256; else 0
//
// Every variable field carries its length, so no two requests share a message.
//
// The proof travels as "vp1." base64url(body), the body being
//
//   0      8      issued_at, u64 LE
//   8      16     nonce
//   24     1      flags: bit 0 set when the body is covered; others zero
//   25     3309   the signature
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bytes.h"
#include "chain_wire.h"
#include "errors.h"
#include "holder_proof.h"
#include "identity.h"
#include "token.h"

namespace vestrel {

inline constexpr char kRequestProofContext[] = "vestrel-request-proof/1";
inline constexpr std::string_view PROOF_PREFIX = "vp1.";
inline constexpr std::size_t NONCE_LEN = 16;
inline constexpr std::size_t PROOF_BODY_LEN = 8 + NONCE_LEN + 1 + SIG_SIZE;
inline constexpr std::size_t PROOF_TEXT_LEN = PROOF_PREFIX.size() + base64url_len(PROOF_BODY_LEN);

using Nonce = std::array<std::uint8_t, NONCE_LEN>;

struct RequestFields {
  std::string_view method;
  std::string_view scheme;
  std::string_view authority;  // host:port, as the verifier and the holder both write it
  std::string_view path;
  std::string_view query;
  std::uint64_t issued_at = 0;
  Nonce nonce{};
  Digest chain{};
  std::optional<Digest> body;
};

// The exact bytes a request proof signs; none when a field is longer than
// MAX_REQUEST_FIELD_LEN.
inline constexpr std::size_t MAX_REQUEST_FIELD_LEN = 1 << 20;
[[nodiscard]] std::optional<Bytes> request_message(const RequestFields& fields);

struct RequestProof {
  std::uint64_t issued_at = 0;
  Nonce nonce{};
  bool covers_body = false;
  HolderProof signature{};
};

[[nodiscard]] std::string encode_request_proof(const RequestProof& proof);
// Strict: the exact length, the canonical text, no unknown flag.
[[nodiscard]] TextResult<RequestProof> decode_request_proof(std::string_view text);

// Whether a proof issued at `issued_at` may be used at `now`: at most
// `max_age` seconds old, and issued at most `skew` seconds after `now` (the
// holder's clock may run ahead of the verifier's). Both bounds are inclusive,
// so a proof is accepted from issued_at - skew to issued_at + max_age, and a
// replay store must hold its id until issued_at + max_age.
enum class ProofAge : std::uint8_t { Fresh, Old, Future };
[[nodiscard]] constexpr ProofAge proof_age(std::uint64_t issued_at, std::uint64_t now,
                                           std::uint64_t max_age, std::uint64_t skew) noexcept {
  if (issued_at > now && issued_at - now > skew) return ProofAge::Future;
  if (now > issued_at && now - issued_at > max_age) return ProofAge::Old;
  return ProofAge::Fresh;
}

// SigningFailed only if the primitive gives up.
[[nodiscard]] KResult<HolderProof> sign_request(const Identity& holder, ByteView message) noexcept;
[[nodiscard]] bool check_request(PublicKeyView holder_pk, ByteView message,
                                 SignatureView signature) noexcept;
[[nodiscard]] bool check_request(const mldsa65::PreparedPublicKey& holder, ByteView message,
                                 SignatureView signature) noexcept;

}  // namespace vestrel
