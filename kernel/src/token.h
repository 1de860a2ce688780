// The chain token, the text a chain travels in over HTTP, and the ids and
// digests that name keys, credentials and chains.
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

#include "base64url.h"
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

inline constexpr std::size_t MAX_TOKEN_LEN =
    TOKEN_PREFIX.size() + base64url_len(MAX_TOKEN_BODY_LEN);

// Why a wire has no token: a framing refusal of the kernel, a chain whose keys
// do not link up (ParentKeyMismatch, at the credential), a payload too short
// to name a child or too long for any credential (WireInvalid, at it), or
// bytes after the last record (WireInvalid, no index).
//
// Tokens run to hundreds of kilobytes, so the encoder and the reader work in
// buffers the caller keeps from call to call (`body` for the binary form,
// `text` for the result): fresh pages for every request would cost more than
// the encoding.
[[nodiscard]] Result<void, ChainRefusal> encode_token(ByteView wire, Bytes& body,
                                                      std::string& text);
[[nodiscard]] Result<std::string, ChainRefusal> encode_token(ByteView wire);

// A token read into `body`, its parts viewing it.
struct TokenParts {
  ByteView root_id;
  std::size_t count = 0;
  std::array<ByteView, MAX_CHAIN_LEN> sigs{};
  std::array<ByteView, MAX_CHAIN_LEN> payloads{};
  std::size_t wire_len = WIRE_HEADER_LEN;  // of the wire it gives back
};
[[nodiscard]] TextResult<TokenParts> read_token(std::string_view token, Bytes& body);

// Which of `root_ids` the token names, if any.
[[nodiscard]] std::optional<std::size_t> token_root(const TokenParts& parts,
                                                    std::span<const KeyId> root_ids) noexcept;

// Writes the wire the token came from, byte for byte, into `out`
// (parts.wire_len bytes), with `root` as the first issuer.
void write_token_wire(const TokenParts& parts, PublicKeyView root,
                      std::span<std::uint8_t> out) noexcept;

// The chain digest of the chain a token holds, read from its signatures; the
// root need not be known.
[[nodiscard]] Digest token_chain_digest(const TokenParts& parts) noexcept;

// The digest a request proof binds a chain with: SHA3-256 over
// "vestrel-chain-digest/1", the count byte and every credential's revocation
// id (SHA3-256 of its signature) in order. Signatures determine their chain,
// so this names the chain without hashing all of it on every request. A
// chain has at most 16 ids; only the first 16 given are hashed.
[[nodiscard]] Digest chain_digest(std::span<const RevocationId> revocation_ids) noexcept;

}  // namespace vestrel
