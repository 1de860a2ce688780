// Tokens and request proofs (token.h, request_proof.h) for the package's HTTP
// layer. Text arrives as the ASCII bytes of a str, which the package checks
// first; every reading of it is the kernel's.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "convert.h"
#include "crypto/sha3.h"
#include "entry.h"
#include "island_hold.h"
#include "native_callables.h"
#include "request_proof.h"
#include "results.h"
#include "signature.h"
#include "token.h"
#include "unlocked.h"

namespace vestrel::py {

bool reads_text_in_place() noexcept {
  static const bool in_place = !std::string_view(Py_GetVersion()).starts_with("3.9.");
  return in_place;
}

namespace {

std::string_view as_text(ByteView bytes) noexcept {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Ref ascii(std::string_view value) {
  return created(
      PyUnicode_DecodeASCII(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr));
}

Ref text_refused(TextRefusal refusal) {
  return new_tuple(Ref::borrow(Py_None), text(text_refusal_name(refusal)));
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed_argument(const Arguments& matched, std::size_t index) {
  const ByteView bytes = bytes_argument(matched, index);
  if (bytes.size() != N) throw wrong_length(matched.name(index), N);
  std::array<std::uint8_t, N> value;
  std::copy(bytes.begin(), bytes.end(), value.begin());
  return value;
}

// ---------------------------------------------------------------------------
// Tokens

// Tokens run to hundreds of kilobytes; each thread keeps its buffer for the
// text it encodes (token_buffer() holds the binary form).
thread_local std::string text_scratch;

constexpr std::string_view kWireParameters[] = {"wire"};
constexpr CallSignature kEncodeTokenSignature{"", "encode_token", kWireParameters};

// The token text, or (None, rule, index) when the wire has none.
PyObject* encode_token_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kEncodeTokenSignature, args, kwargs);
    auto encoded = encode_token(bytes_argument(matched, 0), token_buffer(), text_scratch);
    if (!encoded) return refused(encoded.error().error, encoded.error().index);
    return ascii(text_scratch);
  });
}

// The key id of the root a thread last decoded against: a service names the
// same root again and again, and comparing it costs far less than hashing it.
KeyId root_key_id(PublicKeyView root) {
  thread_local std::array<std::uint8_t, PK_SIZE> last{};
  thread_local KeyId id{};
  thread_local bool known = false;
  if (!known || !std::equal(root.begin(), root.end(), last.begin())) {
    id = key_id(root);
    std::copy(root.begin(), root.end(), last.begin());
    known = true;
  }
  return id;
}

constexpr std::string_view kDecodeTokenParameters[] = {"token", "root_pk"};
constexpr CallSignature kDecodeTokenSignature{"", "decode_token", kDecodeTokenParameters};

// The wire, or (None, reason).
PyObject* decode_token_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kDecodeTokenSignature, args, kwargs);
    const TextArgument token(matched, 0);
    const ByteView root = bytes_argument(matched, 1);
    if (root.size() != PK_SIZE) throw wrong_length("root_pk", PK_SIZE);
    auto parts = read_token(token.view(), token_buffer());
    if (!parts) return text_refused(parts.error());
    const KeyId ids[] = {root_key_id(root.first<PK_SIZE>())};
    if (!token_root(*parts, ids)) return text_refused(TextRefusal::UnknownRoot);
    return new_token_wire(*parts, root.first<PK_SIZE>());
  });
}

constexpr std::string_view kTokenParameters[] = {"token"};
constexpr CallSignature kTokenDigestSignature{"", "token_chain_digest", kTokenParameters};

PyObject* token_chain_digest_entry(PyObject* /*module*/, PyObject* args,
                                   PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kTokenDigestSignature, args, kwargs);
    auto parts = read_token(TextArgument(matched, 0).view(), token_buffer());
    if (!parts) return text_refused(parts.error());
    return new_bytes(token_chain_digest(*parts));
  });
}

constexpr std::string_view kIdsParameters[] = {"revocation_ids"};
constexpr CallSignature kChainDigestSignature{"", "chain_digest", kIdsParameters};

PyObject* chain_digest_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kChainDigestSignature, args, kwargs);
    PyObject* tuple = matched[0];
    if (!PyTuple_Check(tuple)) throw downcast_error(tuple, "PyTuple");
    const Py_ssize_t count = PyTuple_Size(tuple);
    if (count < 1 || count > static_cast<Py_ssize_t>(MAX_CHAIN_LEN)) {
      throw Failure::message(PyExc_ValueError, "a chain has 1 to 16 revocation ids");
    }
    std::array<RevocationId, MAX_CHAIN_LEN> ids{};
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyTuple_GetItem(tuple, i);
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (!PyBytes_Check(item)) throw downcast_error(item, "PyBytes");
      if (PyBytes_AsStringAndSize(item, &data, &size) != 0) throw Failure::fetch();
      if (size != static_cast<Py_ssize_t>(REVOCATION_ID_LEN)) {
        throw wrong_length("revocation id", REVOCATION_ID_LEN);
      }
      std::copy_n(reinterpret_cast<const std::uint8_t*>(data), REVOCATION_ID_LEN,
                  ids[static_cast<std::size_t>(i)].begin());
    }
    return new_bytes(
        chain_digest(std::span<const RevocationId>(ids.data(), static_cast<std::size_t>(count))));
  });
}

constexpr std::string_view kDataParameters[] = {"data"};
constexpr CallSignature kSha3Signature{"", "sha3_256", kDataParameters};

PyObject* sha3_256_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kSha3Signature, args, kwargs);
    const ByteView data = bytes_argument(matched, 0);
    Digest digest;
    {
      // A body may be large; the bytes object `matched` holds does not change.
      const InterpreterUnlocked unlocked;
      sha3::sha3_256(data, digest);
    }
    return new_bytes(digest);
  });
}

constexpr std::string_view kPkParameters[] = {"pk"};
constexpr CallSignature kKeyIdSignature{"", "key_id", kPkParameters};

// The 16 bytes a token names its root by (token.h).
PyObject* key_id_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kKeyIdSignature, args, kwargs);
    const ByteView pk = bytes_argument(matched, 0);
    if (pk.size() != PK_SIZE) throw wrong_length("pk", PK_SIZE);
    return new_bytes(key_id(pk.first<PK_SIZE>()));
  });
}

constexpr CallSignature kB64EncodeSignature{"", "base64url_encode", kDataParameters};
constexpr std::string_view kTextParameters[] = {"text"};
constexpr CallSignature kB64DecodeSignature{"", "base64url_decode", kTextParameters};

PyObject* base64url_encode_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kB64EncodeSignature, args, kwargs);
    return ascii(base64url_encode(bytes_argument(matched, 0)));
  });
}

// The bytes, or (None, reason): only canonical unpadded text decodes.
PyObject* base64url_decode_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kB64DecodeSignature, args, kwargs);
    auto bytes = base64url_decode(as_text(bytes_argument(matched, 0)));
    if (!bytes) return text_refused(bytes.error());
    return new_bytes(*bytes);
  });
}

// ---------------------------------------------------------------------------
// Request proofs

constexpr std::string_view kMessageParameters[] = {"fields", "issued_at", "nonce", "chain", "body"};
constexpr CallSignature kMessageSignature{"", "request_message", kMessageParameters};

// fields: (method, scheme, authority, path, query), each bytes.
PyObject* request_message_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kMessageSignature, args, kwargs);
    const auto texts = target_fields(matched[0]);
    RequestFields fields;
    fields.method = texts[0];
    fields.scheme = texts[1];
    fields.authority = texts[2];
    fields.path = texts[3];
    fields.query = texts[4];
    fields.issued_at = u64_argument(matched, 1);
    fields.nonce = fixed_argument<NONCE_LEN>(matched, 2);
    fields.chain = fixed_argument<DIGEST_LEN>(matched, 3);
    if (matched[4] != Py_None) fields.body = fixed_argument<DIGEST_LEN>(matched, 4);
    auto message = request_message(fields);
    if (!message) {
      throw Failure::message(
          PyExc_ValueError,
          "a request field is longer than " + std::to_string(MAX_REQUEST_FIELD_LEN) + " bytes");
    }
    return new_bytes(*message);
  });
}

constexpr std::string_view kSignParameters[] = {"holder", "message"};
constexpr CallSignature kSignSignature{"", "sign_request", kSignParameters};

PyObject* sign_request_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return holder_signature(Arguments(kSignSignature, args, kwargs), &sign_request); });
}

constexpr std::string_view kCheckParameters[] = {"holder_pk", "message", "signature"};
constexpr CallSignature kCheckSignature{"", "check_request", kCheckParameters};

PyObject* check_request_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return holder_signature_valid(Arguments(kCheckSignature, args, kwargs), &check_request);
  });
}

constexpr std::string_view kEncodeProofParameters[] = {"issued_at", "nonce", "covers_body",
                                                       "signature"};
constexpr CallSignature kEncodeProofSignature{"", "encode_proof", kEncodeProofParameters};

PyObject* encode_proof_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kEncodeProofSignature, args, kwargs);
    RequestProof proof;
    proof.issued_at = u64_argument(matched, 0);
    proof.nonce = fixed_argument<NONCE_LEN>(matched, 1);
    const int covers = PyObject_IsTrue(matched[2]);
    if (covers < 0) throw Failure::fetch();
    proof.covers_body = covers == 1;
    proof.signature = fixed_argument<SIG_SIZE>(matched, 3);
    return ascii(encode_request_proof(proof));
  });
}

constexpr std::string_view kProofParameters[] = {"proof"};
constexpr CallSignature kDecodeProofSignature{"", "decode_proof", kProofParameters};

// (issued_at, nonce, covers_body, signature), or (None, reason).
PyObject* decode_proof_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kDecodeProofSignature, args, kwargs);
    auto proof = decode_request_proof(TextArgument(matched, 0).view());
    if (!proof) return text_refused(proof.error());
    return new_tuple(new_int(proof->issued_at), new_bytes(proof->nonce),
                     Ref::borrow(proof->covers_body ? Py_True : Py_False),
                     new_bytes(proof->signature));
  });
}

}  // namespace

TextArgument::TextArgument(const Arguments& matched, std::size_t index) {
  PyObject* obj = matched[index];
  if (!PyUnicode_Check(obj)) {
    view_ = as_text(bytes_argument(matched, index));
    return;
  }
  if (reads_text_in_place()) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw Failure::fetch();
    view_ = std::string_view(data, static_cast<std::size_t>(size));
    return;
  }
  copy_ = Ref::steal(PyUnicode_AsASCIIString(obj));
  if (!copy_) throw Failure::fetch();  // UnicodeEncodeError
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(copy_.get(), &data, &size) != 0) throw Failure::fetch();
  view_ = std::string_view(data, static_cast<std::size_t>(size));
}

std::array<std::string_view, 5> target_fields(PyObject* tuple) {
  if (!PyTuple_Check(tuple) || PyTuple_Size(tuple) != 5) {
    throw Failure::message(PyExc_TypeError, "fields must be a tuple of five bytes objects");
  }
  std::array<std::string_view, 5> texts;
  for (Py_ssize_t i = 0; i < 5; ++i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(item)) throw downcast_error(item, "PyBytes");
    if (PyBytes_AsStringAndSize(item, &data, &size) != 0) throw Failure::fetch();
    texts[static_cast<std::size_t>(i)] = std::string_view(data, static_cast<std::size_t>(size));
  }
  return texts;
}

Bytes& token_buffer() noexcept {
  thread_local Bytes body;
  return body;
}

Ref new_token_wire(const TokenParts& parts, PublicKeyView root) {
  Ref wire = created(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(parts.wire_len)));
  // A fresh bytes object may be written before anything else sees it.
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(wire.get()));
  write_token_wire(parts, root, std::span(data, parts.wire_len));
  return wire;
}

PyMethodDef native_http_methods[] = {
    {"encode_token", as_method(&encode_token_entry), METH_VARARGS | METH_KEYWORDS,
     "encode_token(wire)\n--\n\nThe token, or (None, rule, index)."},
    {"decode_token", as_method(&decode_token_entry), METH_VARARGS | METH_KEYWORDS,
     "decode_token(token, root_pk)\n--\n\nThe wire, or (None, reason)."},
    {"token_chain_digest", as_method(&token_chain_digest_entry), METH_VARARGS | METH_KEYWORDS,
     "token_chain_digest(token)\n--\n\nThe chain digest, or (None, reason)."},
    {"chain_digest", as_method(&chain_digest_entry), METH_VARARGS | METH_KEYWORDS,
     "chain_digest(revocation_ids)\n--\n\nThe digest of the chain with these ids."},
    {"sha3_256", as_method(&sha3_256_entry), METH_VARARGS | METH_KEYWORDS,
     "sha3_256(data)\n--\n\nSHA3-256 of data."},
    {"key_id", as_method(&key_id_entry), METH_VARARGS | METH_KEYWORDS,
     "key_id(pk)\n--\n\nThe key's 16-byte id."},
    {"base64url_encode", as_method(&base64url_encode_entry), METH_VARARGS | METH_KEYWORDS,
     "base64url_encode(data)\n--\n\nbase64url without padding."},
    {"base64url_decode", as_method(&base64url_decode_entry), METH_VARARGS | METH_KEYWORDS,
     "base64url_decode(text)\n--\n\nThe bytes, or (None, reason)."},
    {"request_message", as_method(&request_message_entry), METH_VARARGS | METH_KEYWORDS,
     "request_message(fields, issued_at, nonce, chain, body)\n--\n\n"
     "The bytes a request proof signs."},
    {"sign_request", as_method(&sign_request_entry), METH_VARARGS | METH_KEYWORDS,
     "sign_request(holder, message)\n--\n\nThe holder's request proof signature."},
    {"check_request", as_method(&check_request_entry), METH_VARARGS | METH_KEYWORDS,
     "check_request(holder_pk, message, signature)\n--\n\nWhether the signature is valid."},
    {"encode_proof", as_method(&encode_proof_entry), METH_VARARGS | METH_KEYWORDS,
     "encode_proof(issued_at, nonce, covers_body, signature)\n--\n\nThe proof header's text."},
    {"decode_proof", as_method(&decode_proof_entry), METH_VARARGS | METH_KEYWORDS,
     "decode_proof(proof)\n--\n\n(issued_at, nonce, covers_body, signature), or (None, reason)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vestrel::py
