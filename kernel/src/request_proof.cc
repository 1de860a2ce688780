#include "request_proof.h"

namespace vestrel {

namespace {

constexpr std::uint8_t kMessageVersion = 1;
constexpr std::uint8_t kCoversBody = 0x01;

ByteView bytes_of(std::string_view text) noexcept {
  return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

std::optional<Bytes> request_message(const RequestFields& fields) {
  const std::string_view texts[] = {fields.method, fields.scheme, fields.authority, fields.path,
                                    fields.query};
  // Each length must fit its 32-bit field, or two requests could share a message.
  for (std::string_view text : texts) {
    if (text.size() > MAX_REQUEST_FIELD_LEN) return std::nullopt;
  }
  std::size_t len = 1 + 8 + NONCE_LEN + DIGEST_LEN + 1 + (fields.body ? DIGEST_LEN : 0);
  for (std::string_view text : texts) len += 4 + text.size();
  Bytes message(len);
  ByteWriter out(message);
  out.put_u8(kMessageVersion);
  for (std::string_view text : texts) {
    out.put_u32le(static_cast<std::uint32_t>(text.size()));
    out.put_bytes(bytes_of(text));
  }
  out.put_u64le(fields.issued_at);
  out.put_bytes(fields.nonce);
  out.put_bytes(fields.chain);
  out.put_u8(fields.body ? 1 : 0);
  if (fields.body) out.put_bytes(*fields.body);
  return message;
}

std::string encode_request_proof(const RequestProof& proof) {
  std::array<std::uint8_t, PROOF_BODY_LEN> body{};
  ByteWriter out(body);
  out.put_u64le(proof.issued_at);
  out.put_bytes(proof.nonce);
  out.put_u8(proof.covers_body ? kCoversBody : 0);
  out.put_bytes(proof.signature);
  std::string text(PROOF_PREFIX);
  text += base64url_encode(body);
  return text;
}

TextResult<RequestProof> decode_request_proof(std::string_view text) {
  if (text.size() > PROOF_TEXT_LEN) return fail(TextRefusal::TooLong);
  if (!text.starts_with(PROOF_PREFIX)) return fail(TextRefusal::Prefix);
  auto body = base64url_decode(text.substr(PROOF_PREFIX.size()));
  if (!body) return fail(body.error());
  if (body->size() < PROOF_BODY_LEN) return fail(TextRefusal::Truncated);
  ByteReader in(*body);
  RequestProof proof;
  ByteView nonce;
  ByteView signature;
  std::uint8_t flags = 0;
  if (!in.read_u64le(proof.issued_at) || !in.read_bytes(NONCE_LEN, nonce) || !in.read_u8(flags) ||
      !in.read_bytes(SIG_SIZE, signature)) {
    return fail(TextRefusal::Truncated);
  }
  if ((flags & ~kCoversBody) != 0) return fail(TextRefusal::Flags);
  std::copy(nonce.begin(), nonce.end(), proof.nonce.begin());
  std::copy(signature.begin(), signature.end(), proof.signature.begin());
  proof.covers_body = (flags & kCoversBody) != 0;
  return proof;
}

KResult<HolderProof> sign_request(const Identity& holder, ByteView message) noexcept {
  return sign_as_holder(holder, kRequestProofContext, message);
}

bool check_request(PublicKeyView holder_pk, ByteView message, SignatureView signature) noexcept {
  return check_as_holder(holder_pk, kRequestProofContext, message, signature);
}

bool check_request(const mldsa65::PreparedPublicKey& holder, ByteView message,
                   SignatureView signature) noexcept {
  return check_as_holder(holder, kRequestProofContext, message, signature);
}

}  // namespace vestrel
