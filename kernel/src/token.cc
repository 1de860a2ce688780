#include "token.h"

#include <algorithm>
#include <cstring>

#include "crypto/sha3.h"

namespace vestrel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

// The value of each character, kInvalid for every byte outside the alphabet
// (padding, whitespace, the standard alphabet's + and / included).
constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}();

// Four characters' values with each in its place of a 24-bit group, so that
// decoding one group is four lookups or'ed together; an invalid character sets
// bit 31 in whichever position it stands.
struct PlacedTables {
  std::array<std::uint32_t, 256> at[4];
};
constexpr PlacedTables kPlaced = [] {
  PlacedTables tables{};
  for (unsigned c = 0; c < 256; ++c) {
    const std::uint8_t v = kValues[c];
    for (unsigned place = 0; place < 4; ++place) {
      tables.at[place][c] =
          v == kInvalid ? 0x80000000u : static_cast<std::uint32_t>(v) << (18 - 6 * place);
    }
  }
  return tables;
}();

constexpr std::string_view kChainDigestDomain = "vestrel-chain-digest/1";

}  // namespace

std::string_view text_refusal_name(TextRefusal refusal) noexcept {
  switch (refusal) {
    case TextRefusal::Prefix:
      return "Prefix";
    case TextRefusal::TooLong:
      return "TooLong";
    case TextRefusal::Character:
      return "Character";
    case TextRefusal::Length:
      return "Length";
    case TextRefusal::FinalBits:
      return "FinalBits";
    case TextRefusal::Truncated:
      return "Truncated";
    case TextRefusal::Count:
      return "Count";
    case TextRefusal::PayloadLength:
      return "PayloadLength";
    case TextRefusal::Trailing:
      return "Trailing";
    case TextRefusal::UnknownRoot:
      return "UnknownRoot";
  }
  return "Unknown";
}

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
// base64url without padding

std::string base64url_encode(ByteView bytes) {
  std::string text(base64url_len(bytes.size()), '\0');
  const std::uint8_t* in = bytes.data();
  char* out = text.data();
  std::size_t left = bytes.size();
  for (; left >= 3; left -= 3, in += 3, out += 4) {
    const std::uint32_t group =
        static_cast<std::uint32_t>(in[0]) << 16 | static_cast<std::uint32_t>(in[1]) << 8 | in[2];
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = kAlphabet[(group >> 6) & 63];
    out[3] = kAlphabet[group & 63];
  }
  if (left > 0) {
    const std::uint32_t group = static_cast<std::uint32_t>(in[0]) << 16 |
                                (left == 2 ? static_cast<std::uint32_t>(in[1]) << 8 : 0);
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    if (left == 2) out[2] = kAlphabet[(group >> 6) & 63];
  }
  return text;
}

TextResult<Bytes> base64url_decode(std::string_view text) {
  // A final group of one character cannot hold a byte.
  if (text.size() % 4 == 1) return fail(TextRefusal::Length);
  const std::size_t whole = text.size() / 4;
  const std::size_t tail = text.size() % 4;  // 0, 2 or 3 characters
  Bytes bytes(whole * 3 + (tail == 0 ? 0 : tail - 1));
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::uint8_t* out = bytes.data();
  std::uint32_t invalid = 0;
  for (std::size_t g = 0; g < whole; ++g, in += 4, out += 3) {
    const std::uint32_t group =
        kPlaced.at[0][in[0]] | kPlaced.at[1][in[1]] | kPlaced.at[2][in[2]] | kPlaced.at[3][in[3]];
    invalid |= group;
    out[0] = static_cast<std::uint8_t>(group >> 16);
    out[1] = static_cast<std::uint8_t>(group >> 8);
    out[2] = static_cast<std::uint8_t>(group);
  }
  if ((invalid & 0x80000000u) != 0) return fail(TextRefusal::Character);
  if (tail != 0) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < tail; ++k) {
      const std::uint8_t v = kValues[in[k]];
      if (v == kInvalid) return fail(TextRefusal::Character);
      group |= static_cast<std::uint32_t>(v) << (18 - 6 * k);
    }
    // Two characters carry 12 bits for one byte, three carry 18 for two: the
    // bits left over must be zero, or two texts would give the same bytes.
    const std::uint32_t unused = tail == 2 ? 0xFFFFu : 0xFFu;
    if ((group & unused) != 0) return fail(TextRefusal::FinalBits);
    out[0] = static_cast<std::uint8_t>(group >> 16);
    if (tail == 3) out[1] = static_cast<std::uint8_t>(group >> 8);
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// Tokens

Result<std::string, ChainRefusal> encode_token(ByteView wire) {
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

  Bytes body(body_len);
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
  std::string token(TOKEN_PREFIX);
  token += base64url_encode(body);
  return token;
}

namespace {

// A token's body, read strictly; views into `body`.
struct TokenParts {
  ByteView root_id;
  std::size_t count = 0;
  std::array<ByteView, MAX_CHAIN_LEN> sigs{};
  std::array<ByteView, MAX_CHAIN_LEN> payloads{};
  std::size_t wire_len = WIRE_HEADER_LEN;
};

TextResult<Bytes> token_body(std::string_view token) {
  if (token.size() > MAX_TOKEN_LEN) return fail(TextRefusal::TooLong);
  if (!token.starts_with(TOKEN_PREFIX)) return fail(TextRefusal::Prefix);
  return base64url_decode(token.substr(TOKEN_PREFIX.size()));
}

TextResult<TokenParts> token_parts(ByteView body) noexcept {
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

}  // namespace

TextResult<DecodedToken> decode_token(std::string_view token, std::span<const PublicKeyView> roots,
                                      std::span<const KeyId> root_ids) {
  auto body = token_body(token);
  if (!body) return fail(body.error());
  auto parts = token_parts(*body);
  if (!parts) return fail(parts.error());

  std::size_t root = roots.size();
  for (std::size_t r = 0; r < roots.size() && r < root_ids.size() && root == roots.size(); ++r) {
    if (std::ranges::equal(root_ids[r], parts->root_id)) root = r;
  }
  if (root == roots.size()) return fail(TextRefusal::UnknownRoot);

  DecodedToken decoded{Bytes(parts->wire_len), root};
  ByteWriter out(decoded.wire);
  out.put_u8(WIRE_VERSION);
  out.put_u32le(static_cast<std::uint32_t>(parts->count));
  for (std::size_t i = 0; i < parts->count; ++i) {
    out.put_bytes(i == 0 ? ByteView(roots[root]) : parts->payloads[i - 1].first(PK_SIZE));
    out.put_bytes(parts->sigs[i]);
    out.put_u32le(static_cast<std::uint32_t>(parts->payloads[i].size()));
    out.put_bytes(parts->payloads[i]);
  }
  return decoded;
}

TextResult<Digest> token_chain_digest(std::string_view token) {
  auto body = token_body(token);
  if (!body) return fail(body.error());
  auto parts = token_parts(*body);
  if (!parts) return fail(parts.error());
  std::array<RevocationId, MAX_CHAIN_LEN> ids{};
  for (std::size_t i = 0; i < parts->count; ++i) {
    ids[i] = revocation_id(parts->sigs[i].first<SIG_SIZE>());
  }
  return chain_digest(std::span<const RevocationId>(ids.data(), parts->count));
}

}  // namespace vestrel
