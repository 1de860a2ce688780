// verify and covers: the kernel's one walk over a chain and its coverage rule,
// answered as plain values for the package to shape.
#include <cstdint>
#include <optional>
#include <string_view>

#include "chain_wire.h"
#include "convert.h"
#include "entry.h"
#include "native_callables.h"
#include "results.h"
#include "scope.h"
#include "signature.h"
#include "unlocked.h"
#include "verify.h"

namespace vestrel::py {

namespace {

// The validated scope as a tuple of (resource, verb) pairs in wire order.
Ref permissions(ByteView validated_scope) {
  std::size_t count = 0;
  Permission permission;
  for (ScopeEntries entries = scope_entries(validated_scope); entries.next(permission);) ++count;
  Ref pairs = created(PyTuple_New(static_cast<Py_ssize_t>(count)));
  Py_ssize_t index = 0;
  for (ScopeEntries entries = scope_entries(validated_scope); entries.next(permission);) {
    Ref resource = new_bytes(permission.resource);
    Ref verb = new_bytes(permission.verb);
    // Steals the pair; the tuple is fresh and the index in range.
    PyTuple_SetItem(pairs.get(), index++,
                    new_tuple(std::move(resource), std::move(verb)).release());
  }
  return pairs;
}

constexpr std::string_view kVerifyParameters[] = {"root_pk", "wire", "now", "screen"};
constexpr CallSignature kVerifySignature{"", "verify", kVerifyParameters};

// Calls screen(signatures) with the tuple of every credential's signature once
// the wire is framed, before any signature is checked: the caller's chance to
// refuse (a revoked credential, say) by raising. Faults of the framing come
// first, as the refusal to return.
std::optional<KernelError> run_screen(PyObject* screen, ByteView wire) {
  auto decoded = decode_chain(wire);
  if (!decoded) return decoded.error();
  Ref signatures = created(PyTuple_New(static_cast<Py_ssize_t>(decoded->count)));
  for (std::size_t i = 0; i < decoded->count; ++i) {
    // Steals the bytes; the tuple is fresh and the index in range.
    PyTuple_SetItem(signatures.get(), static_cast<Py_ssize_t>(i),
                    new_bytes(decoded->slots[i].sig).release());
  }
  Ref outcome = Ref::steal(PyObject_CallFunctionObjArgs(screen, signatures.get(), nullptr));
  if (!outcome) throw Failure::fetch();
  return std::nullopt;
}

// A refusal is an answer, not an exception: the package raises its own typed
// one, so it comes back as (None, rule name, index or None).
PyObject* verify_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifySignature, args, kwargs);
    const ByteView root_pk = bytes_argument(matched, 0);
    const ByteView wire = bytes_argument(matched, 1);
    const std::uint64_t now = u64_argument(matched, 2);
    PyObject* screen = matched[3];
    if (root_pk.size() != PK_SIZE) throw wrong_length("root_pk", PK_SIZE);
    if (screen != Py_None) {
      if (auto framing = run_screen(screen, wire)) return refused(*framing, std::nullopt);
    }
    // The views are into bytes objects `matched` holds, whose contents never
    // change, so other threads may run while the chain is verified.
    auto verified = [&] {
      const InterpreterUnlocked unlocked;
      return verify_chain(root_pk.first<PK_SIZE>(), wire, now);
    }();
    if (!verified) return refused(verified.error().error, verified.error().index);
    return authority_answer(*verified);
  });
}

constexpr std::string_view kCoversParameters[] = {"scope_tlv", "resource", "verb"};
constexpr CallSignature kCoversSignature{"", "covers", kCoversParameters};

PyObject* covers_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kCoversSignature, args, kwargs);
    const ByteView scope = bytes_argument(matched, 0);
    const ByteView resource = bytes_argument(matched, 1);
    const ByteView verb = bytes_argument(matched, 2);
    check_kernel(validate_scope(scope));
    return Ref::borrow(permission_covered({resource, verb}, scope) ? Py_True : Py_False);
  });
}

}  // namespace

Ref optional_int(const std::optional<std::uint64_t>& value) {
  return value ? new_int(*value) : Ref::borrow(Py_None);
}

Ref text(std::string_view value) {
  return created(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Ref refused(KernelError error, std::optional<std::uint32_t> at) {
  Ref index = at ? new_int(*at) : Ref::borrow(Py_None);
  return new_tuple(Ref::borrow(Py_None), text(kernel_error_name(error)), std::move(index));
}

Ref authority_answer(const ChainAuthority& authority) {
  return new_tuple(new_int(authority.count), new_bytes(authority.holder_pk),
                   text(authority.role == Role::Leaf ? "leaf" : "node"), new_int(authority.depth),
                   new_bytes(authority.scope), permissions(authority.scope),
                   optional_int(authority.not_before), optional_int(authority.not_after));
}

PyMethodDef native_verify_method = {
    "verify", as_method(&verify_entry), METH_VARARGS | METH_KEYWORDS,
    "verify(root_pk, wire, now, screen)\n--\n\n"
    "(count, holder_pk, role, depth, scope_tlv, perms, not_before, not_after), or\n"
    "(None, rule, index) when the chain is refused. screen: None, or called with\n"
    "the tuple of signatures before any is checked."};

PyMethodDef native_covers_method = {
    "covers", as_method(&covers_entry), METH_VARARGS | METH_KEYWORDS,
    "covers(scope_tlv, resource, verb)\n--\n\n"
    "Whether the scope buffer covers the permission (resource, verb)."};

}  // namespace vestrel::py
