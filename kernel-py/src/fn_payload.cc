// parse_payload: the lenient reader, for inspecting a payload without
// verifying it. The kernel reads the layout; this file only words its
// findings and builds the dictionary.
#include <cstdio>
#include <string>

#include "callables.h"
#include "convert.h"
#include "entry.h"
#include "module_body.h"
#include "payload.h"
#include "results.h"
#include "signature.h"

namespace vestrel::py {

namespace {

constexpr std::string_view kParameters[] = {"payload"};
constexpr CallSignature kSignature{"", "parse_payload", kParameters};

// "0x" and exactly two lowercase hex digits.
std::string hex_byte(std::uint8_t byte) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(byte));
  return text;
}

[[noreturn]] void refuse(std::string text) {
  throw Failure::message(PyExc_ValueError, std::move(text));
}

void raise_problem(const LenientPayload& parsed) {
  using Problem = LenientPayload::Problem;
  switch (parsed.problem) {
    case Problem::None:
      return;
    case Problem::TooShort:
      refuse("payload too short");
    case Problem::InvalidRole:
      refuse("invalid role byte: " + hex_byte(parsed.bad_byte));
    case Problem::TruncatedScope:
      refuse("payload truncated at scope");
    case Problem::TruncatedCaveatLen:
      refuse("payload truncated at caveat length");
    case Problem::TruncatedCaveats:
      refuse("payload truncated at caveats");
    case Problem::Scope:
      throw Failure::kernel(parsed.scope_error);
    case Problem::UnknownCaveatTag:
      refuse("unknown caveat tag: " + hex_byte(parsed.bad_byte));
  }
  fault("unknown lenient payload problem");
}

Ref optional_int(const std::optional<std::uint64_t>& value) {
  return value ? new_int(*value) : Ref::borrow(Py_None);
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
  if (PyDict_SetItemString(dict, key, value.get()) != 0) api_call_failed();
}

PyObject* parse_payload_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kSignature, args, kwargs);
    const ByteView payload = bytes_argument(matched, 0);
    const LenientPayload parsed = parse_payload(payload);
    raise_problem(parsed);

    Ref perms = created(PyList_New(0));
    Permission permission;
    for (ScopeEntries entries = scope_entries(parsed.scope); entries.next(permission);) {
      Ref resource = new_bytes(permission.resource);
      Ref verb = new_bytes(permission.verb);
      Ref pair = new_tuple(std::move(resource), std::move(verb));
      if (PyList_Append(perms.get(), pair.get()) != 0) api_call_failed();
    }

    // Insertion order is the order callers see when they iterate the result.
    Ref result = created(PyDict_New());
    set_item(result.get(), "child_pk", new_bytes(parsed.child_pk));
    set_item(result.get(), "role",
             created(PyUnicode_FromString(parsed.role == Role::Leaf ? "leaf" : "node")));
    set_item(result.get(), "depth", new_int(parsed.depth));
    set_item(result.get(), "perms", perms);
    set_item(result.get(), "not_before", optional_int(parsed.caveats.not_before));
    set_item(result.get(), "not_after", optional_int(parsed.caveats.not_after));
    return result;
  });
}

}  // namespace

PyMethodDef parse_payload_method = {
    "parse_payload", as_method(&parse_payload_entry), METH_VARARGS | METH_KEYWORDS,
    "parse_payload(payload)\n"
    "--\n"
    "\n"
    "parse_payload(payload: bytes) -> dict\n"
    "\n"
    "Deserializes a credential payload without verifying the signature.\n"
    "Returns a dict with the following keys:\n"
    "  child_pk  : bytes  \u2014 delegatee public key (PK_SIZE bytes)\n"
    "  role      : str    \u2014 \"leaf\" or \"node\"\n"
    "  depth     : int    \u2014 position in the chain\n"
    "  perms     : list[tuple[bytes, bytes]] \u2014 list of (resource, verb)\n"
    "  not_before: int | None \u2014 Unix timestamp in seconds, or None if absent\n"
    "  not_after : int | None \u2014 Unix timestamp in seconds, or None if absent\n"
    "\n"
    "Raises ValueError if the payload is truncated or structurally invalid."};

}  // namespace vestrel::py
