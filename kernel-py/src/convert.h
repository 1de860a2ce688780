// Argument conversion: the five kinds a parameter can have, each turning one
// matched argument into the plain value the kernel takes. A TypeError raised
// while converting gets the argument's name as a prefix; every other
// exception passes on unchanged.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "failure.h"
#include "payload.h"
#include "ref.h"
#include "signature.h"

namespace vestrel::py {

// One element of a credential tuple. An exact bytes object is immutable, so it
// is kept by reference and read in place; any other byte sequence is copied
// out by iteration. A list holding the same large tuple a million times thus
// costs a million references, not a million copies.
class ByteSource {
 public:
  static ByteSource held(PyObject* exact_bytes) noexcept;
  static ByteSource copied(Bytes bytes) noexcept;
  [[nodiscard]] ByteView view() const noexcept;

 private:
  Ref held_;
  Bytes copy_;
};

struct OwnedCredential {
  ByteSource issuer_pk;
  ByteSource sig;
  ByteSource payload;
};

// A view of a bytes object (or subclass) held by `args`; valid for the call.
[[nodiscard]] ByteView bytes_argument(const Arguments& args, std::size_t index);
// UTF-8 of a str (or subclass).
[[nodiscard]] std::string text_argument(const Arguments& args, std::size_t index);
// Through the index protocol; OverflowError outside 0..2^32-1.
[[nodiscard]] std::uint32_t u32_argument(const Arguments& args, std::size_t index);
// Through the index protocol; the host's OverflowError outside 0..2^64-1.
[[nodiscard]] std::uint64_t u64_argument(const Arguments& args, std::size_t index);
// A sequence of 3-tuples of byte sequences.
[[nodiscard]] std::vector<OwnedCredential> credentials_argument(const Arguments& args,
                                                                std::size_t index);

// "leaf" or "node", ASCII capitals folded; ValueError otherwise. Shared by
// issue_credential and the package's delegate, which must agree on it.
[[nodiscard]] Role parse_role(std::string text);

// The (child_pk, role, depth, scope_tlv, caveats) of issue_credential, at
// argument positions 0 to 4, converted and checked as it does: every argument
// converted before any is judged, so a wrongly typed later argument is
// reported even when an earlier one is too long. The views are into objects
// `args` holds. The package's credential_payload takes them the same way.
struct CredentialArguments {
  PublicKeyView child_pk{kNoKey};
  Role role = Role::Leaf;
  std::uint32_t depth = 0;
  ByteView scope;
  ByteView caveats;
};
[[nodiscard]] CredentialArguments credential_arguments(const Arguments& args);

// TypeError "'{qualname}' object cannot be converted to '{target}'".
[[nodiscard]] Failure downcast_error(PyObject* obj, std::string_view target);

// ValueError "{what} must be {expected} bytes", the one wording of every
// fixed-length argument check.
[[nodiscard]] Failure wrong_length(std::string_view what, std::size_t expected);

}  // namespace vestrel::py
