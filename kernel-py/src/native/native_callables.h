// The functions of vestrel._native, one method definition each, defined next
// to their entry points (native_*.cc).
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "errors.h"
#include "holder_proof.h"
#include "ref.h"
#include "signature.h"
#include "token.h"
#include "verify.h"

// Part of the stable ABI from 3.10 on, where it answers with a str's own
// storage for ASCII text instead of a copy. The limited API the modules are
// built for (3.9) does not declare it, so it is declared here, and called
// only where reads_text_in_place() says the interpreter is 3.10 or later.
extern "C" const char* PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);

namespace vestrel::py {

[[nodiscard]] bool reads_text_in_place() noexcept;

extern PyMethodDef native_verify_method;
extern PyMethodDef native_chain_signatures_method;
extern PyMethodDef native_covers_method;
extern PyMethodDef native_prove_method;
extern PyMethodDef native_check_proof_method;
extern PyMethodDef native_credential_payload_method;
extern PyMethodDef native_audit_method;
extern PyMethodDef native_check_signature_method;
// Tokens and request proofs, ended by an empty entry.
extern PyMethodDef native_http_methods[];

// The answers of a walk, shaped alike by every function that walks a chain:
// (count, holder_pk, role, depth, scope_tlv, perms, not_before, not_after)
// for a verified chain, (None, rule, index or None) for a refusal.
[[nodiscard]] Ref authority_answer(const ChainAuthority& authority);
[[nodiscard]] Ref refused(KernelError error, std::optional<std::uint32_t> at);
[[nodiscard]] Ref text(std::string_view value);
[[nodiscard]] Ref optional_int(const std::optional<std::uint64_t>& value);  // None when absent

// Holder proofs and request proofs, made and checked alike by their kernel
// functions: (holder, message) gives the genuine island's signature over
// message; (holder_pk, message, signature) whether it is one, each wrong
// length a ValueError naming its argument.
using HolderSign = KResult<HolderProof> (*)(const Identity&, ByteView) noexcept;
using HolderCheck = bool (*)(PublicKeyView, ByteView, SignatureView) noexcept;
[[nodiscard]] Ref holder_signature(const Arguments& matched, HolderSign sign);
[[nodiscard]] Ref holder_signature_valid(const Arguments& matched, HolderCheck check);

// A request target's (method, scheme, authority, path, query), five bytes
// objects, as views into them: valid while the tuple is held.
[[nodiscard]] std::array<std::string_view, 5> target_fields(PyObject* tuple);

// Each thread's buffer for a token's binary form: tokens run to hundreds of
// kilobytes, and fresh pages for every request would cost more than reading.
[[nodiscard]] Bytes& token_buffer() noexcept;
// The wire a read token gives back, written into a new bytes object.
[[nodiscard]] Ref new_token_wire(const TokenParts& parts, PublicKeyView root);

// The characters of a token argument: a str's where the interpreter keeps
// them when it can say where (3.10 and later), else from an ASCII copy; a
// bytes object's where they stand. Valid while the argument is held. The
// package passes only ASCII text.
class TextArgument {
 public:
  TextArgument(const Arguments& matched, std::size_t index);
  [[nodiscard]] std::string_view view() const noexcept { return view_; }

 private:
  Ref copy_;
  std::string_view view_;
};

// Creates the Verifier class and adds it to the module.
void add_verifier_type(PyObject* module);

// vestrel_kernel's IdentityIsland class, found and checked when the module is
// initialised. Borrowed; kept for the life of the process.
[[nodiscard]] PyObject* genuine_island_type() noexcept;
void find_island_type();

}  // namespace vestrel::py
