#include "token.h"

#include <algorithm>
#include <cstring>

#include "crypto/sha3.h"

namespace vestrel {

namespace {

constexpr std::string_view kChainDigestDomain = "vestrel-chain-digest/1";

}  // namespace

KeyId key_id(PublicKeyView pk) noexcept {
  std::array<std::uint8_t, sha3::kSha3_256DigestBytes> digest;
  sha3::sha3_256(pk, digest);
  KeyId id;
  std::copy_n(digest.begin(), KEY_ID_LEN, id.begin());
  return id;
}

RevocationId revocation_id(SignatureView sig) noexcept {
  RevocationId id;
  sha3::sha3_256(sig, id);
  return id;
}

Digest chain_digest(std::span<const RevocationId> revocation_ids) noexcept {
  // Domain, count and ids in one buffer: at most 22 + 1 + 16 * 32 bytes.
  std::array<std::uint8_t, kChainDigestDomain.size() + 1 + MAX_CHAIN_LEN * REVOCATION_ID_LEN>
      input{};
  const std::size_t count = std::min(revocation_ids.size(), MAX_CHAIN_LEN);
  std::memcpy(input.data(), kChainDigestDomain.data(), kChainDigestDomain.size());
  input[kChainDigestDomain.size()] = static_cast<std::uint8_t>(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(input.data() + kChainDigestDomain.size() + 1 + i * REVOCATION_ID_LEN,
                revocation_ids[i].data(), REVOCATION_ID_LEN);
  }
  Digest digest;
  sha3::sha3_256(ByteView(input).first(kChainDigestDomain.size() + 1 + count * REVOCATION_ID_LEN),
                 digest);
  return digest;
}

// ---------------------------------------------------------------------------
// Tokens

Result<void, ChainRefusal> encode_token(ByteView wire, Bytes& body, std::string& text) {
  auto decoded = decode_chain(wire);
  if (!decoded) return fail(ChainRefusal{decoded.error(), std::nullopt});
  const DecodedChain& chain = *decoded;
  std::size_t body_len = TOKEN_HEADER_LEN;
  std::size_t framed = WIRE_HEADER_LEN;
  for (std::size_t i = 0; i < chain.count; ++i) {
    const CredentialView& cred = chain.slots[i];
    const auto index = static_cast<std::uint32_t>(i);
    if (cred.payload.size() < PK_SIZE || cred.payload.size() > MAX_PAYLOAD_LEN) {
      return fail(ChainRefusal{KernelError::WireInvalid, index});
    }
    if (i > 0 && !std::ranges::equal(cred.issuer_pk, chain.slots[i - 1].payload.first(PK_SIZE))) {
      return fail(ChainRefusal{KernelError::ParentKeyMismatch, index});
    }
    body_len += TOKEN_RECORD_FIXED_LEN + cred.payload.size();
    framed += WIRE_CREDENTIAL_FIXED_LEN + cred.payload.size();
  }
  // The token must give back this very wire, so nothing may follow it.
  if (framed != wire.size()) return fail(ChainRefusal{KernelError::WireInvalid, std::nullopt});

  body.resize(body_len);
  ByteWriter out(body);
  out.put_bytes(key_id(chain.slots[0].issuer_pk));
  out.put_u8(static_cast<std::uint8_t>(chain.count));
  for (std::size_t i = 0; i < chain.count; ++i) {
    const CredentialView& cred = chain.slots[i];
    out.put_bytes(cred.sig);
    const auto len = static_cast<std::uint16_t>(cred.payload.size());
    out.put_u8(static_cast<std::uint8_t>(len));
    out.put_u8(static_cast<std::uint8_t>(len >> 8));
    out.put_bytes(cred.payload);
  }
  text.resize(TOKEN_PREFIX.size() + base64url_len(body_len));
  std::copy(TOKEN_PREFIX.begin(), TOKEN_PREFIX.end(), text.begin());
  base64url_encode_into(body, std::span<char>(text).subspan(TOKEN_PREFIX.size()));
  return {};
}

Result<std::string, ChainRefusal> encode_token(ByteView wire) {
  Bytes body;
  std::string text;
  if (auto encoded = encode_token(wire, body, text); !encoded) return fail(encoded.error());
  return text;
}

TextResult<TokenParts> read_token(std::string_view token, Bytes& body) {
  if (token.size() > MAX_TOKEN_LEN) return fail(TextRefusal::TooLong);
  if (!token.starts_with(TOKEN_PREFIX)) return fail(TextRefusal::Prefix);
  const std::string_view text = token.substr(TOKEN_PREFIX.size());
  const auto size = base64url_decoded_len(text.size());
  body.resize(size ? *size : 0);
  if (auto decoded = base64url_decode_into(text, body); !decoded) return fail(decoded.error());

  ByteReader in(body);
  TokenParts parts;
  std::uint8_t count = 0;
  if (!in.read_bytes(KEY_ID_LEN, parts.root_id) || !in.read_u8(count)) {
    return fail(TextRefusal::Truncated);
  }
  if (count == 0 || count > MAX_CHAIN_LEN) return fail(TextRefusal::Count);
  parts.count = count;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    if (!in.read_bytes(SIG_SIZE, parts.sigs[i]) || !in.read_u8(low) || !in.read_u8(high)) {
      return fail(TextRefusal::Truncated);
    }
    const std::size_t len = static_cast<std::size_t>(low) | static_cast<std::size_t>(high) << 8;
    if (len < PK_SIZE || len > MAX_PAYLOAD_LEN) return fail(TextRefusal::PayloadLength);
    if (!in.read_bytes(len, parts.payloads[i])) return fail(TextRefusal::Truncated);
    parts.wire_len += WIRE_CREDENTIAL_FIXED_LEN + len;
  }
  if (!in.empty()) return fail(TextRefusal::Trailing);
  return parts;
}

std::optional<std::size_t> token_root(const TokenParts& parts,
                                      std::span<const KeyId> root_ids) noexcept {
  for (std::size_t r = 0; r < root_ids.size(); ++r) {
    if (std::ranges::equal(root_ids[r], parts.root_id)) return r;
  }
  return std::nullopt;
}

void write_token_wire(const TokenParts& parts, PublicKeyView root,
                      std::span<std::uint8_t> wire) noexcept {
  ByteWriter out(wire);
  out.put_u8(WIRE_VERSION);
  out.put_u32le(static_cast<std::uint32_t>(parts.count));
  for (std::size_t i = 0; i < parts.count; ++i) {
    out.put_bytes(i == 0 ? ByteView(root) : parts.payloads[i - 1].first(PK_SIZE));
    out.put_bytes(parts.sigs[i]);
    out.put_u32le(static_cast<std::uint32_t>(parts.payloads[i].size()));
    out.put_bytes(parts.payloads[i]);
  }
}

Digest token_chain_digest(const TokenParts& parts) noexcept {
  std::array<RevocationId, MAX_CHAIN_LEN> ids{};
  for (std::size_t i = 0; i < parts.count; ++i) {
    ids[i] = revocation_id(parts.sigs[i].first<SIG_SIZE>());
  }
  return chain_digest(std::span<const RevocationId>(ids.data(), parts.count));
}

}  // namespace vestrel
