// Text forms for HTTP: base64url without padding, the chain token, and the
// chain digest that request proofs bind.
//
// A token carries a chain in ASCII safe for a URL, a header and a cookie:
//
//   "vt1." base64url(body), no padding
//
// and the body is
//
//   offset  width  field
//   0       16     root key id: the first 16 bytes of SHA3-256 of the root key
//   16      1      n, credential count, 1..16
//   17      ...    n records, root's credential first
//
// each record being
//
//   0       3309   signature
//   3309    2      payload length P, u16 LE, 1952..35309
//   3311    P      payload
//
// A credential's issuer key is not carried: the first one is the root, named
// by its key id, and each later one is the child key that opens the payload
// before it. So only chains whose keys link up have a token, and each has
// exactly one (the text is canonical: no padding, no whitespace, the unused
// bits of the last character zero, nothing after the last record).
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
#include "payload.h"
#include "result.h"
#include "verify.h"

namespace vestrel {

inline constexpr std::string_view TOKEN_PREFIX = "vt1.";
inline constexpr std::size_t KEY_ID_LEN = 16;
inline constexpr std::size_t DIGEST_LEN = 32;
inline constexpr std::size_t TOKEN_HEADER_LEN = KEY_ID_LEN + 1;
inline constexpr std::size_t TOKEN_RECORD_FIXED_LEN = SIG_SIZE + 2;
inline constexpr std::size_t MAX_TOKEN_BODY_LEN =
    TOKEN_HEADER_LEN + MAX_CHAIN_LEN * (TOKEN_RECORD_FIXED_LEN + MAX_PAYLOAD_LEN);

inline constexpr std::size_t REVOCATION_ID_LEN = 32;
using KeyId = std::array<std::uint8_t, KEY_ID_LEN>;
using Digest = std::array<std::uint8_t, DIGEST_LEN>;
using RevocationId = std::array<std::uint8_t, REVOCATION_ID_LEN>;

// A public key's short name: the first 16 bytes of SHA3-256 of the key.
[[nodiscard]] KeyId key_id(PublicKeyView pk) noexcept;

// A credential's revocation id: SHA3-256 of its signature, which names the
// credential exactly (a signature covers the payload it was made over).
[[nodiscard]] RevocationId revocation_id(SignatureView sig) noexcept;

// The number of characters base64url without padding gives `bytes` bytes.
[[nodiscard]] constexpr std::size_t base64url_len(std::size_t bytes) noexcept {
  return bytes / 3 * 4 + (bytes % 3 == 0 ? 0 : bytes % 3 + 1);
}
inline constexpr std::size_t MAX_TOKEN_LEN =
    TOKEN_PREFIX.size() + base64url_len(MAX_TOKEN_BODY_LEN);

// Why a text was not a token (or a proof header): each a distinct, stable name.
enum class TextRefusal : std::uint8_t {
  Prefix,         // does not start with the format's marker and version
  TooLong,        // longer than the largest possible value
  Character,      // a byte outside A-Z a-z 0-9 - _ (padding and whitespace included)
  Length,         // a length no base64url text can have (4k + 1)
  FinalBits,      // the last character carries bits that are not zero
  Truncated,      // the body ends inside a field
  Count,          // the credential count is 0 or more than 16
  PayloadLength,  // a payload too short to hold a child key, or over the maximum
  Trailing,       // bytes after the last record
  UnknownRoot,    // the key id names no root given
};
[[nodiscard]] std::string_view text_refusal_name(TextRefusal refusal) noexcept;

template <class T>
using TextResult = Result<T, TextRefusal>;

[[nodiscard]] std::string base64url_encode(ByteView bytes);
// Strict: only the canonical text of some byte string decodes.
[[nodiscard]] TextResult<Bytes> base64url_decode(std::string_view text);

// Why a wire has no token: a framing refusal of the kernel, a chain whose keys
// do not link up (ParentKeyMismatch, at the credential), a payload too short
// to name a child or too long for any credential (WireInvalid, at it), or
// bytes after the last record (WireInvalid, no index).
[[nodiscard]] Result<std::string, ChainRefusal> encode_token(ByteView wire);

struct DecodedToken {
  Bytes wire;
  std::size_t root = 0;  // which of the given roots the key id named
};

// The wire the token came from, byte for byte, for the first of `roots` whose
// key id (`root_ids`, in the same order) the token names.
[[nodiscard]] TextResult<DecodedToken> decode_token(std::string_view token,
                                                    std::span<const PublicKeyView> roots,
                                                    std::span<const KeyId> root_ids);

// The chain digest of the chain a token holds, read from its signatures; the
// root need not be known.
[[nodiscard]] TextResult<Digest> token_chain_digest(std::string_view token);

// The digest a request proof binds a chain with: SHA3-256 over
// "vestrel-chain-digest/1", the count byte and every credential's revocation
// id (SHA3-256 of its signature) in order. Signatures determine their chain,
// so this names the chain without hashing all of it on every request.
[[nodiscard]] Digest chain_digest(std::span<const RevocationId> revocation_ids) noexcept;

}  // namespace vestrel
