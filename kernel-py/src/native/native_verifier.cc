// The Verifier class of vestrel._native: a vestrel::Verifier (verifier.h) per
// instance. The package's Verifier converts and checks every argument first;
// this class still accepts only the exact shapes it documents.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "crypto/sha3.h"
#include "entry.h"
#include "failure.h"
#include "module_body.h"
#include "native_callables.h"
#include "request_proof.h"
#include "results.h"
#include "signature.h"
#include "token.h"
#include "unlocked.h"
#include "verifier.h"

namespace vestrel::py {

namespace {

// A wire object this Verifier verified lately, held so that its bytes cannot
// change and its address cannot be taken by another object, with what that
// verification learned. A client presents the same token with every request,
// and the package hands back the same wire object for it: the signature
// cache then need not compare its bytes again.
struct KnownWire {
  PyObject* wire;  // an owned reference, or null
  VerifiedBefore before;
};
constexpr std::size_t kKnownWires = 8;

// Allocated zeroed by the type's allocator: no verifier, no known wires.
struct VerifierObject {
  PyObject_HEAD Verifier* verifier;  // owned; created by the constructor, deleted by dealloc
  KnownWire known[kKnownWires];      // filled in turn
  std::size_t next_known;
};

VerifierObject* as_verifier(PyObject* self) noexcept {
  return reinterpret_cast<VerifierObject*>(self);
}

// What the verifier learned of `wire` when it verified that very object; only
// a bytes object can be known, as only it cannot change.
const VerifiedBefore* known_wire(PyObject* self, PyObject* wire) noexcept {
  VerifierObject* object = as_verifier(self);
  if (!PyBytes_CheckExact(wire)) return nullptr;
  for (const KnownWire& known : object->known) {
    if (known.wire == wire) return &known.before;
  }
  return nullptr;
}

void remember_wire(PyObject* self, PyObject* wire, const VerifierAnswer& answer) noexcept {
  VerifierObject* object = as_verifier(self);
  if (!PyBytes_CheckExact(wire) || !answer.has_ids || !object->verifier->remembers() ||
      known_wire(self, wire) != nullptr) {
    return;
  }
  KnownWire& slot = object->known[object->next_known];
  object->next_known = (object->next_known + 1) % kKnownWires;
  PyObject* dropped = slot.wire;
  Py_INCREF(wire);
  slot.wire = wire;
  slot.before.ids = answer.ids;
  slot.before.count = answer.authority.count;
  Py_XDECREF(dropped);
}

// ---------------------------------------------------------------------------
// Conversions

// An exact bytes object of `size` bytes, copied into `out`.
template <std::size_t N>
void copy_fixed(PyObject* item, std::string_view what, std::array<std::uint8_t, N>& out) {
  if (!PyBytes_Check(item)) throw downcast_error(item, "PyBytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(item, &data, &size) != 0) throw Failure::fetch();
  if (static_cast<std::size_t>(size) != N) throw wrong_length(what, N);
  std::memcpy(out.data(), data, N);
}

// A tuple of exact bytes objects of N bytes each.
template <std::size_t N>
std::vector<std::array<std::uint8_t, N>> fixed_tuple(PyObject* tuple, std::string_view what) {
  if (!PyTuple_Check(tuple)) throw downcast_error(tuple, "PyTuple");
  const Py_ssize_t count = PyTuple_Size(tuple);
  std::vector<std::array<std::uint8_t, N>> values(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    copy_fixed(PyTuple_GetItem(tuple, i), what, values[static_cast<std::size_t>(i)]);
  }
  return values;
}

template <std::size_t N>
Ref bytes_tuple(const std::vector<std::array<std::uint8_t, N>>& values) {
  Ref tuple = created(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Steals the bytes; the tuple is fresh and the index in range.
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), new_bytes(values[i]).release());
  }
  return tuple;
}

// The contents of a bytes object the caller holds a reference to.
ByteView bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) throw Failure::fetch();
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

Verifier& verifier_of(PyObject* self) {
  VerifierObject* object = as_verifier(self);
  if (object->verifier == nullptr) fault("Verifier used before it was constructed");
  return *object->verifier;
}

// ---------------------------------------------------------------------------
// Constructor and destructor

constexpr std::string_view kNewParameters[] = {"roots", "leeway", "cache_bytes"};
constexpr CallSignature kNewSignature{"Verifier", "__new__", kNewParameters};

PyObject* verifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kNewSignature, args, kwargs);
    auto roots = fixed_tuple<PK_SIZE>(matched[0], "root_pk");
    if (roots.empty()) throw Failure::message(PyExc_ValueError, "at least one root is needed");
    const std::uint64_t leeway = u64_argument(matched, 1);
    const std::uint64_t cache_bytes = u64_argument(matched, 2);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    Ref self = Ref::steal(alloc(type, 0));
    if (!self) throw Failure::fetch();
    as_verifier(self.get())->verifier = nullptr;
    // The object owns the verifier from here; dealloc deletes it.
    as_verifier(self.get())->verifier =
        new Verifier(std::move(roots), leeway, static_cast<std::size_t>(cache_bytes));
    return self;
  });
}

void verifier_dealloc(PyObject* self) noexcept {
  for (KnownWire& known : as_verifier(self)->known) Py_XDECREF(known.wire);
  delete as_verifier(self)->verifier;
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot == nullptr) free_slot = PyObject_Free;
  free_slot(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Methods

// (authority, root index) for a verified chain;
// (None, rule, index) for a rule's refusal; (None, "Revoked", index,
// revocation id, revoked key or None) for the verifier's own; and for a token
// that does not decode, (None, "TokenMalformed", reason).
Ref answer_of(const Result<VerifierAnswer, VerifierRefusal>& outcome) {
  if (outcome) return new_tuple(authority_answer(outcome->authority), new_int(outcome->root));
  const VerifierRefusal& refusal = outcome.error();
  switch (refusal.kind) {
    case VerifierRefusal::Kind::Rule:
      return refused(refusal.rule.error, refusal.rule.index);
    case VerifierRefusal::Kind::RevokedCredential:
      return new_tuple(Ref::borrow(Py_None), text("Revoked"), new_int(refusal.index),
                       new_bytes(refusal.revoked_id), Ref::borrow(Py_None));
    case VerifierRefusal::Kind::RevokedKey:
      break;
  }
  return new_tuple(Ref::borrow(Py_None), text("Revoked"), new_int(refusal.index),
                   new_bytes(refusal.revoked_id), new_bytes(refusal.revoked_key));
}

constexpr std::string_view kVerifyParameters[] = {"wire", "now"};
constexpr CallSignature kVerifySignature{"Verifier", "verify", kVerifyParameters};

PyObject* verify_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifySignature, args, kwargs);
    const ByteView wire = bytes_argument(matched, 0);
    const std::uint64_t now = u64_argument(matched, 1);
    Verifier& verifier = verifier_of(self);
    // A copy: another thread may reuse the slot while this one verifies.
    std::optional<VerifiedBefore> before;
    if (const VerifiedBefore* known = known_wire(self, matched[0])) before = *known;
    // The wire is a bytes object `matched` holds, and `self` outlives the
    // call, so other threads may run meanwhile.
    auto outcome = [&] {
      const InterpreterUnlocked unlocked;
      return verifier.verify(wire, now, false, before ? &*before : nullptr);
    }();
    return answer_of(outcome);
  });
}

constexpr std::string_view kVerifyTokenParameters[] = {"token", "now"};
constexpr CallSignature kVerifyTokenSignature{"Verifier", "verify_token", kVerifyTokenParameters};

// As verify, for a token's ASCII text (str or bytes): (verify's answer, the wire the
// token gave) for a verified chain; verify's refusals, (None,
// "TokenMalformed", reason) for a text that is not a token, and
// ParentKeyMismatch at credential 0 for one naming no trusted root, as a wire
// from a wrong root gets.
PyObject* verify_token_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifyTokenSignature, args, kwargs);
    const TextArgument token(matched, 0);
    const std::uint64_t now = u64_argument(matched, 1);
    Verifier& verifier = verifier_of(self);
    auto parts = read_token(token.view(), token_buffer());
    if (!parts) {
      return new_tuple(Ref::borrow(Py_None), text("TokenMalformed"),
                       text(text_refusal_name(parts.error())));
    }
    const auto root = token_root(*parts, verifier.root_ids());
    if (!root) return refused(KernelError::ParentKeyMismatch, 0);
    // The answer holds the wire; nothing else refers to it until the call
    // returns, so it does not change while other threads run.
    Ref wire = new_token_wire(*parts, verifier.roots()[*root]);
    const ByteView view = bytes_view(wire.get());
    auto outcome = [&] {
      const InterpreterUnlocked unlocked;
      return verifier.verify(view, now);
    }();
    Ref answer = answer_of(outcome);
    if (!outcome) return answer;
    return new_tuple(std::move(answer), std::move(wire));
  });
}

constexpr std::string_view kCheckRequestParameters[] = {"chain", "proof", "target", "body",
                                                        "limits"};
constexpr CallSignature kCheckRequestSignature{"Verifier", "check_request",
                                               kCheckRequestParameters};

Ref request_refused(std::string_view rule, std::string_view reason) {
  return new_tuple(Ref::borrow(Py_None), text(rule), text(reason));
}

// What check_request and check_headers take besides the chain and the proof.
// target: (method, scheme, authority, path, query) as bytes; body: bytes or
// None; limits: (now, max_age, proof_skew, the chain digest a reference named
// or None), the times exact ints. The views are into objects the call's
// arguments hold.
struct RequestLimits {
  std::array<std::string_view, 5> fields;
  std::optional<ByteView> body;
  std::uint64_t now = 0;
  std::uint64_t max_age = 0;
  std::uint64_t skew = 0;
  std::optional<Digest> wanted;
};

// An exact int of a limits tuple: anything else could run Python code here.
std::uint64_t limit_at(PyObject* times, Py_ssize_t index) {
  PyObject* item = PyTuple_GetItem(times, index);
  if (!PyLong_CheckExact(item)) throw downcast_error(item, "int");
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (PyErr_Occurred() != nullptr) throw Failure::fetch();
  return value;
}

RequestLimits request_limits(const Arguments& matched, std::size_t target_index,
                             std::size_t body_index, std::size_t limits_index) {
  PyObject* target = matched[target_index];
  PyObject* times = matched[limits_index];
  if (!PyTuple_Check(target) || PyTuple_Size(target) != 5 || !PyTuple_Check(times) ||
      PyTuple_Size(times) != 4) {
    throw Failure::message(PyExc_TypeError, "target and limits must be tuples of 5 and 4");
  }
  RequestLimits limits;
  if (PyObject* named = PyTuple_GetItem(times, 3); named != Py_None) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(named)) throw downcast_error(named, "PyBytes");
    if (PyBytes_AsStringAndSize(named, &data, &size) != 0) throw Failure::fetch();
    if (size != static_cast<Py_ssize_t>(DIGEST_LEN)) throw wrong_length("digest", DIGEST_LEN);
    limits.wanted.emplace();
    std::memcpy(limits.wanted->data(), data, DIGEST_LEN);
  }
  limits.fields = target_fields(target);
  limits.now = limit_at(times, 0);
  limits.max_age = limit_at(times, 1);
  limits.skew = limit_at(times, 2);
  if (matched[body_index] != Py_None) limits.body = bytes_argument(matched, body_index);
  return limits;
}

// The whole check of one presented request but the replay store: the proof
// header read, its age, the chain verified (`token`, a token's text, read
// into a new wire; else `wire_object`, a wire held by the caller), the
// request's message signed by the chain's holder. Answers (verify's answer,
// the wire a token gave or None, chain digest, replay id, issued_at), a
// refusal of verify, or (None, rule, reason) for the request's own faults.
Ref check_one_request(PyObject* self, const std::optional<TextArgument>& token,
                      PyObject* wire_object, std::string_view proof_text,
                      const RequestLimits& limits) {
  Verifier& verifier = verifier_of(self);
  auto proof = decode_request_proof(proof_text);
  if (!proof) return request_refused("ProofMalformed", text_refusal_name(proof.error()));
  // Cheap refusals before any signature is checked. The proof has its own
  // allowance for a holder's clock that runs ahead; the verifier's leeway is
  // for credentials' windows and widens nothing here.
  switch (proof_age(proof->issued_at, limits.now, limits.max_age, limits.skew)) {
    case ProofAge::Future:
      return request_refused(
          "ProofExpired", "the proof was issued " + std::to_string(proof->issued_at - limits.now) +
                              " s in the future (at most " + std::to_string(limits.skew) +
                              " s allowed)");
    case ProofAge::Old:
      return request_refused("ProofExpired",
                             "the proof is " + std::to_string(limits.now - proof->issued_at) +
                                 " s old (max_age " + std::to_string(limits.max_age) + " s)");
    case ProofAge::Fresh:
      break;
  }
  if (limits.body && !limits.body->empty() && !proof->covers_body) {
    return request_refused("ProofInvalid", "the proof does not cover the request's body");
  }

  // A token is read into a wire written straight into the bytes object the
  // answer holds; a wire is verified where it stands.
  Ref token_wire = Ref::borrow(Py_None);
  ByteView wire;
  std::optional<VerifiedBefore> before;  // a copy, as in verify
  if (token) {
    auto parts = read_token(token->view(), token_buffer());
    if (!parts) return request_refused("TokenMalformed", text_refusal_name(parts.error()));
    const auto root = token_root(*parts, verifier.root_ids());
    if (!root) return refused(KernelError::ParentKeyMismatch, 0);
    token_wire = new_token_wire(*parts, verifier.roots()[*root]);
    wire_object = token_wire.get();
    wire = bytes_view(wire_object);
  } else {
    if (!PyBytes_Check(wire_object)) throw downcast_error(wire_object, "PyBytes");
    wire = bytes_view(wire_object);
    if (const VerifiedBefore* known = known_wire(self, wire_object)) before = *known;
  }

  RequestFields request;
  request.method = limits.fields[0];
  request.scheme = limits.fields[1];
  request.authority = limits.fields[2];
  request.path = limits.fields[3];
  request.query = limits.fields[4];
  request.issued_at = proof->issued_at;
  request.nonce = proof->nonce;
  bool signed_by_holder = false;
  bool named_chain = true;
  auto outcome = [&] {
    const InterpreterUnlocked unlocked;
    auto verified = verifier.verify(wire, limits.now, true, before ? &*before : nullptr);
    if (!verified) return verified;
    request.chain = chain_digest(
        std::span<const RevocationId>(verified->ids.data(), verified->authority.count));
    // A store is not trusted to give back the chain a reference names.
    if (limits.wanted && *limits.wanted != request.chain) {
      named_chain = false;
      return verified;
    }
    if (proof->covers_body) {
      Digest digest;
      sha3::sha3_256(limits.body ? *limits.body : ByteView(), digest);
      request.body = digest;
    }
    if (auto message = request_message(request)) {
      signed_by_holder = verifier.check_request_signature(verified->authority.holder_pk,
                                                          *message, proof->signature);
    }
    return verified;
  }();
  if (!outcome) return answer_of(outcome);
  remember_wire(self, wire_object, *outcome);
  if (!named_chain) {
    return request_refused("ChainUnknown",
                           "the chain registered under this reference is another one");
  }
  if (!signed_by_holder) {
    return request_refused("ProofInvalid",
                           "the proof is not the holder's over this request and chain");
  }
  // The id a replay store keeps: the chain digest's first half and the nonce.
  std::array<std::uint8_t, DIGEST_LEN / 2 + NONCE_LEN> replay_id;
  std::copy_n(request.chain.begin(), DIGEST_LEN / 2, replay_id.begin());
  std::copy(proof->nonce.begin(), proof->nonce.end(), replay_id.begin() + DIGEST_LEN / 2);
  return new_tuple(answer_of(outcome), std::move(token_wire), new_bytes(request.chain),
                   new_bytes(replay_id), new_int(proof->issued_at));
}

// check_request(chain, proof, target, body, limits): the chain a token's text
// (a str) or a wire (bytes); see check_one_request.
PyObject* check_request_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kCheckRequestSignature, args, kwargs);
    std::optional<TextArgument> token;
    if (PyUnicode_Check(matched[0]) != 0) token.emplace(matched, 0);
    const TextArgument proof_text(matched, 1);
    const RequestLimits limits = request_limits(matched, 2, 3, 4);
    return check_one_request(self, token, matched[0], proof_text.view(), limits);
  });
}

constexpr std::string_view kCheckHeadersParameters[] = {"headers", "known", "target", "body",
                                                        "limits"};
constexpr CallSignature kCheckHeadersSignature{"Verifier", "check_headers",
                                               kCheckHeadersParameters};

// The bytes of a header's name or value, for an exact str (where the
// interpreter keeps them: 3.10 on) or bytes; nothing for any other object.
std::optional<std::string_view> header_text(PyObject* obj) noexcept {
  if (PyBytes_CheckExact(obj)) {
    return std::string_view(PyBytes_AsString(obj), static_cast<std::size_t>(PyBytes_Size(obj)));
  }
  if (!PyUnicode_CheckExact(obj) || !reads_text_in_place()) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a lone surrogate: the package's own reading refuses it
    return std::nullopt;
  }
  // Only ASCII text is its own UTF-8, character for byte.
  if (PyUnicode_GetLength(obj) != size) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

bool same_ascii_letters(std::string_view text, std::string_view lower) noexcept {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(), [](char c, char l) {
           return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == l;
         });
}

// A proof header's text as a proof's own characters: nothing around them that
// the package's reading would strip, nothing outside ASCII.
bool plain_proof_text(std::string_view text) noexcept {
  const auto proof_char = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
  };
  if (text.empty() || text.size() > PROOF_TEXT_LEN || !proof_char(text.front()) ||
      !proof_char(text.back())) {
    return false;
  }
  // Eight characters a step: any byte's top bit set means a byte past ASCII.
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    bits |= word;
  }
  for (; i < text.size(); ++i) bits |= static_cast<unsigned char>(text[i]);
  return (bits & 0x8080808080808080u) == 0;
}

// The Content-Length values a scan of the headers met, borrowed from them: a
// middleware reads the declared length before the body without a second scan.
// A request rarely carries more than one; one with more than kMaxLengths is
// left to the package's own reading.
constexpr std::size_t kMaxLengths = 4;
struct DeclaredLengths {
  std::array<PyObject*, kMaxLengths> values{};
  std::size_t count = 0;
};

// The one Authorization and the one proof header value of `headers` (an exact
// dict, or a list or tuple of 2-tuples, of str or bytes names), borrowed from
// it, and its Content-Length values into `lengths`; false when the headers
// are of another form, either header is missing or repeated, a name is
// neither str nor bytes, or more than kMaxLengths lengths came: the package
// then reads them itself, and refuses what it must.
bool lone_credentials(PyObject* headers, PyObject*& authorization, PyObject*& proof,
                      DeclaredLengths& lengths) noexcept {
  int authorizations = 0;
  int proofs = 0;
  const auto take = [&](PyObject* name, PyObject* value) {
    const auto text = header_text(name);
    if (!text) return false;
    if (same_ascii_letters(*text, "authorization")) {
      authorization = value;
      ++authorizations;
    } else if (same_ascii_letters(*text, "vestrel-proof")) {
      proof = value;
      ++proofs;
    } else if (same_ascii_letters(*text, "content-length")) {
      if (lengths.count == kMaxLengths) return false;
      lengths.values[lengths.count++] = value;
    }
    return true;
  };
  if (PyDict_CheckExact(headers)) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(headers, &position, &name, &value)) {
      if (!take(name, value)) return false;
    }
  } else if (PyList_CheckExact(headers) || PyTuple_CheckExact(headers)) {
    const bool list = PyList_CheckExact(headers);
    const Py_ssize_t count = list ? PyList_Size(headers) : PyTuple_Size(headers);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = list ? PyList_GetItem(headers, i) : PyTuple_GetItem(headers, i);
      if (!PyTuple_CheckExact(item) || PyTuple_Size(item) != 2 ||
          !take(PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1))) {
        return false;
      }
    }
  } else {
    return false;
  }
  return authorizations == 1 && proofs == 1;
}

constexpr std::string_view kVestrelScheme = "vestrel ";
// A chain registered by reference is presented as "vr1." and the base64url
// text of its chain digest.
constexpr std::string_view kReferencePrefix = "vr1.";

// The credential of an Authorization value written "Vestrel <credential>",
// the scheme in any case and one space after it; nothing for any other value.
std::optional<std::string_view> plain_credential(std::string_view value) noexcept {
  if (value.size() <= kVestrelScheme.size() ||
      !same_ascii_letters(value.substr(0, kVestrelScheme.size()), kVestrelScheme)) {
    return std::nullopt;
  }
  return value.substr(kVestrelScheme.size());
}

// The (token, wire) pair `known` (the package's dict of token length -> (token,
// wire)) keeps for `token`, borrowed from it; nothing when it keeps none.
PyObject* known_token_wire(PyObject* known, std::string_view token) {
  const Ref length = created(PyLong_FromSize_t(token.size()));
  PyObject* entry = PyDict_GetItem(known, length.get());  // borrowed
  if (entry == nullptr || !PyTuple_CheckExact(entry) || PyTuple_Size(entry) != 2) return nullptr;
  const auto kept = header_text(PyTuple_GetItem(entry, 0));
  PyObject* wire = PyTuple_GetItem(entry, 1);
  if (!kept || *kept != token || !PyBytes_CheckExact(wire)) return nullptr;
  return wire;
}

// A request presented plainly: the one Authorization header's value
// "Vestrel <credential>" and the one proof header's value, plainly written,
// with the objects that hold them (borrowed from the headers).
struct PlainPresentation {
  PyObject* authorization = nullptr;
  PyObject* proof = nullptr;
  std::string_view credential;
  std::string_view proof_text;
  DeclaredLengths lengths;
};

// The plain presentation `headers` carry (see lone_credentials); nothing for
// any other form, which the package reads itself.
std::optional<PlainPresentation> plain_presentation(PyObject* headers) noexcept {
  PlainPresentation found;
  if (!lone_credentials(headers, found.authorization, found.proof, found.lengths)) {
    return std::nullopt;
  }
  const auto value = header_text(found.authorization);
  const auto proof_text = header_text(found.proof);
  if (!value || !proof_text || !plain_proof_text(*proof_text)) return std::nullopt;
  const auto credential = plain_credential(*value);
  if (!credential) return std::nullopt;
  found.credential = *credential;
  found.proof_text = *proof_text;
  return found;
}

// The common request in one call: headers holding exactly one Authorization
// header, "Vestrel " and a token the package has read lately (`known`), and
// exactly one proof header, plainly written. Answers as check_request, with
// the known wire as the second item; None for any other request, which the
// package then reads itself and refuses as it must. Only where str text is
// read in place.
PyObject* check_headers_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> Ref {
    const Arguments matched(kCheckHeadersSignature, args, kwargs);
    PyObject* known = matched[1];
    const auto not_handled = [] { return Ref::borrow(Py_None); };
    if (!reads_text_in_place() || !PyDict_CheckExact(known)) return not_handled();
    const auto found = plain_presentation(matched[0]);
    if (!found) return not_handled();
    PyObject* wire = known_token_wire(known, found->credential);
    if (wire == nullptr) return not_handled();
    // Held: the verification below runs without the interpreter lock.
    const Ref held_authorization = Ref::borrow(found->authorization);
    const Ref held_proof = Ref::borrow(found->proof);
    const Ref held_wire = Ref::borrow(wire);

    const RequestLimits limits = request_limits(matched, 2, 3, 4);
    Ref answer = check_one_request(self, std::nullopt, wire, found->proof_text, limits);
    // A verified answer names the wire it used, in the place of a token's.
    if (PyTuple_Size(answer.get()) == 5 && PyTuple_GetItem(answer.get(), 0) != Py_None) {
      return new_tuple(Ref::borrow(PyTuple_GetItem(answer.get(), 0)), Ref::borrow(wire),
                       Ref::borrow(PyTuple_GetItem(answer.get(), 2)),
                       Ref::borrow(PyTuple_GetItem(answer.get(), 3)),
                       Ref::borrow(PyTuple_GetItem(answer.get(), 4)));
    }
    return answer;
  });
}

constexpr std::string_view kReadPresentedParameters[] = {"headers", "known"};
constexpr CallSignature kReadPresentedSignature{"Verifier", "read_presented",
                                                kReadPresentedParameters};

// The Content-Length values as text, bytes read as Latin-1 (as a server's
// header bytes are), for the package's own parsing of them; None for none.
// Empty when a value is neither bytes nor str: the caller then reads the
// headers itself.
Ref length_texts(const DeclaredLengths& lengths) {
  if (lengths.count == 0) return Ref::borrow(Py_None);
  // The values are borrowed from the headers: held before the list is made,
  // since making it may run the collector, and with it Python code that
  // changes the headers.
  std::array<Ref, kMaxLengths> values;
  for (std::size_t i = 0; i < lengths.count; ++i) values[i] = Ref::borrow(lengths.values[i]);
  Ref texts = created(PyList_New(static_cast<Py_ssize_t>(lengths.count)));
  for (std::size_t i = 0; i < lengths.count; ++i) {
    PyObject* value = values[i].get();
    Ref text;
    if (PyBytes_CheckExact(value)) {
      text = created(PyUnicode_DecodeLatin1(PyBytes_AsString(value), PyBytes_Size(value), nullptr));
    } else if (PyUnicode_CheckExact(value)) {
      text = Ref::borrow(value);
    } else {
      return Ref();
    }
    PyList_SetItem(texts.get(), static_cast<Py_ssize_t>(i), text.release());
  }
  return texts;
}

// What a middleware reads of a request's headers before its body, in one scan:
// for exactly one Authorization header "Vestrel " and a chain reference or a
// token the package has read lately (`known`, as for check_headers), and
// exactly one proof header, plainly written, (proof value, wire, None,
// lengths) for the known token and (proof value, None, digest, lengths) for
// the reference, where lengths are the Content-Length values (see
// length_texts); None for any other request, which the package reads itself.
// Nothing is checked but the form: the proof's own reading comes with
// check_request, the lengths' with the body. Before 3.10, where no str text is
// read in place, only headers all bytes (as ASGI servers give them) are read.
PyObject* read_presented_entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> Ref {
    const Arguments matched(kReadPresentedSignature, args, kwargs);
    PyObject* known = matched[1];
    const auto not_handled = [] { return Ref::borrow(Py_None); };
    if (!PyDict_CheckExact(known)) return not_handled();
    const auto found = plain_presentation(matched[0]);
    if (!found) return not_handled();
    if (found->credential.starts_with(kReferencePrefix)) {
      Digest digest;
      if (!base64url_decode_into(found->credential.substr(kReferencePrefix.size()), digest)) {
        return not_handled();
      }
      Ref proof = Ref::borrow(found->proof);
      Ref lengths = length_texts(found->lengths);
      if (!lengths) return not_handled();
      return new_tuple(std::move(proof), Ref::borrow(Py_None), new_bytes(digest),
                       std::move(lengths));
    }
    // The proof and the wire are borrowed from the headers and from `known`:
    // held before anything is made that may run the collector (the lengths'
    // list), whose Python code may change either.
    PyObject* known_wire = known_token_wire(known, found->credential);
    if (known_wire == nullptr) return not_handled();
    Ref proof = Ref::borrow(found->proof);
    Ref wire = Ref::borrow(known_wire);
    Ref lengths = length_texts(found->lengths);
    if (!lengths) return not_handled();
    return new_tuple(std::move(proof), std::move(wire), Ref::borrow(Py_None), std::move(lengths));
  });
}

constexpr std::string_view kIdsParameters[] = {"ids"};
constexpr CallSignature kRevokeSignature{"Verifier", "revoke", kIdsParameters};
constexpr CallSignature kUnrevokeSignature{"Verifier", "unrevoke", kIdsParameters};

PyObject* revoke_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kRevokeSignature, args, kwargs);
    const auto ids = fixed_tuple<REVOCATION_ID_LEN>(matched[0], "revocation id");
    verifier_of(self).revoke(ids);
    return Ref::borrow(Py_None);
  });
}

PyObject* unrevoke_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kUnrevokeSignature, args, kwargs);
    const auto ids = fixed_tuple<REVOCATION_ID_LEN>(matched[0], "revocation id");
    verifier_of(self).unrevoke(ids);
    return Ref::borrow(Py_None);
  });
}

constexpr std::string_view kKeyParameters[] = {"pk"};
constexpr CallSignature kRevokeKeySignature{"Verifier", "revoke_key", kKeyParameters};
constexpr CallSignature kUnrevokeKeySignature{"Verifier", "unrevoke_key", kKeyParameters};

PyObject* revoke_key_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kRevokeKeySignature, args, kwargs);
    PublicKey key;
    copy_fixed(matched[0], "pk", key);
    verifier_of(self).revoke_key(key);
    return Ref::borrow(Py_None);
  });
}

PyObject* unrevoke_key_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kUnrevokeKeySignature, args, kwargs);
    PublicKey key;
    copy_fixed(matched[0], "pk", key);
    verifier_of(self).unrevoke_key(key);
    return Ref::borrow(Py_None);
  });
}

PyObject* revoked_ids_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).revoked_ids()); });
}

PyObject* revoked_keys_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).revoked_keys()); });
}

PyObject* roots_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return bytes_tuple(verifier_of(self).roots()); });
}

// (hits, misses, entries, bytes, max_bytes)
PyObject* cache_info_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] {
    const CacheInfo info = verifier_of(self).cache_info();
    return new_tuple(new_int(info.hits), new_int(info.misses), new_int(info.entries),
                     new_int(info.bytes), new_int(info.max_bytes));
  });
}

PyMethodDef kMethods[] = {
    {"verify", as_method(&verify_entry), METH_VARARGS | METH_KEYWORDS,
     "verify(wire, now)\n--\n\n"
     "((count, holder_pk, role, depth, scope_tlv, perms, not_before, not_after), root index),\n"
     "(None, rule, index), or (None, 'Revoked', index, revocation_id, key or None)."},
    {"verify_token", as_method(&verify_token_entry), METH_VARARGS | METH_KEYWORDS,
     "verify_token(token, now)\n--\n\n"
     "(verify's answer, wire) for a verified chain; verify's refusals, or\n"
     "(None, 'TokenMalformed', reason)."},
    {"check_request", as_method(&check_request_entry), METH_VARARGS | METH_KEYWORDS,
     "check_request(chain, proof, target, body, times)\n--\n\n"
     "(verify's answer, token wire or None, chain digest, replay id, issued_at), verify's\n"
     "refusals, or (None, rule, reason)."},
    {"check_headers", as_method(&check_headers_entry), METH_VARARGS | METH_KEYWORDS,
     "check_headers(headers, known, target, body, limits)\n--\n\n"
     "check_request's answer for a plainly presented known token, else None."},
    {"read_presented", as_method(&read_presented_entry), METH_VARARGS | METH_KEYWORDS,
     "read_presented(headers, known)\n--\n\n"
     "(proof, wire, None) for a plainly presented known token, (proof, None, digest) for a\n"
     "chain reference, else None."},
    {"revoke", as_method(&revoke_entry), METH_VARARGS | METH_KEYWORDS,
     "revoke(ids)\n--\n\nRevokes a tuple of 32-byte revocation ids."},
    {"unrevoke", as_method(&unrevoke_entry), METH_VARARGS | METH_KEYWORDS,
     "unrevoke(ids)\n--\n\nTakes back the revocation of a tuple of ids."},
    {"revoke_key", as_method(&revoke_key_entry), METH_VARARGS | METH_KEYWORDS,
     "revoke_key(pk)\n--\n\nRefuses every chain in which the key takes part."},
    {"unrevoke_key", as_method(&unrevoke_key_entry), METH_VARARGS | METH_KEYWORDS,
     "unrevoke_key(pk)\n--\n\nTakes back the revocation of a key."},
    {"revoked_ids", as_method(&revoked_ids_entry), METH_NOARGS,
     "revoked_ids()\n--\n\nThe revoked ids, in no order."},
    {"revoked_keys", as_method(&revoked_keys_entry), METH_NOARGS,
     "revoked_keys()\n--\n\nThe revoked keys, in no order."},
    {"roots", as_method(&roots_entry), METH_NOARGS, "roots()\n--\n\nThe trusted roots, in order."},
    {"cache_info", as_method(&cache_info_entry), METH_NOARGS,
     "cache_info()\n--\n\n(hits, misses, entries, bytes, max_bytes)"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kClassDoc[] =
    "Verifier(roots, leeway, cache_bytes)\n--\n\n"
    "Trusted roots, revocation and a signature cache; use vestrel.Verifier.";

PyType_Slot kSlots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&verifier_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&verifier_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// No subclassing, no instance dictionary, no garbage collection: an instance
// refers to no other object.
PyType_Spec kSpec = {
    "vestrel._native.Verifier",
    static_cast<int>(sizeof(VerifierObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

void add_verifier_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromSpec(&kSpec));
  if (!type) throw Failure::fetch();
  add_name(module, "Verifier", type.get());
}

}  // namespace vestrel::py
