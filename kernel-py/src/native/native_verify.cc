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

constexpr std::string_view kVerifyParameters[] = {"root_pk", "wire", "now"};
constexpr CallSignature kVerifySignature{"", "verify", kVerifyParameters};

// The arguments of verify and chain_signatures, converted and checked alike,
// so that both refuse a bad argument with the same error in the same order.
// The views are into bytes objects `matched` holds (keep it for the call),
// whose contents never change. Only exact ints and bytes are read without calling Python code (an
// __index__): the package converts anything else before the call.
struct VerifyArguments {
  PublicKeyView root_pk{kNoKey};
  ByteView wire;
  std::uint64_t now = 0;
};

VerifyArguments verify_arguments(const Arguments& matched) {
  const ByteView root_pk = bytes_argument(matched, 0);
  const ByteView wire = bytes_argument(matched, 1);
  const std::uint64_t now = u64_argument(matched, 2);
  if (root_pk.size() != PK_SIZE) throw wrong_length("root_pk", PK_SIZE);
  return {root_pk.first<PK_SIZE>(), wire, now};
}

// A refusal is an answer, not an exception: the package raises its own typed
// one, so it comes back as (None, rule name, index or None).
PyObject* verify_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kVerifySignature, args, kwargs);
    const VerifyArguments checked = verify_arguments(matched);
    // Other threads may run while the chain is verified: the views stay valid.
    auto verified = [&] {
      const InterpreterUnlocked unlocked;
      return verify_chain(checked.root_pk, checked.wire, checked.now);
    }();
    if (!verified) return refused(verified.error().error, verified.error().index);
    return authority_answer(*verified);
  });
}

constexpr CallSignature kSignaturesSignature{"", "chain_signatures", kVerifyParameters};

// The tuple of every credential's signature once the wire is framed, or the
// framing's refusal as verify answers it. The package screens a chain against
// a caller's revocation container with these before it calls verify: that
// container's code runs in the caller's frames, never inside this module's
// (unlocked.h says why).
PyObject* chain_signatures_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kSignaturesSignature, args, kwargs);
    const VerifyArguments checked = verify_arguments(matched);
    auto decoded = decode_chain(checked.wire);
    if (!decoded) return refused(decoded.error(), std::nullopt);
    Ref signatures = created(PyTuple_New(static_cast<Py_ssize_t>(decoded->count)));
    for (std::size_t i = 0; i < decoded->count; ++i) {
      // Steals the bytes; the tuple is fresh and the index in range.
      PyTuple_SetItem(signatures.get(), static_cast<Py_ssize_t>(i),
                      new_bytes(decoded->slots[i].sig).release());
    }
    return signatures;
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
    "verify(root_pk, wire, now)\n--\n\n"
    "(count, holder_pk, role, depth, scope_tlv, perms, not_before, not_after), or\n"
    "(None, rule, index) when the chain is refused."};

PyMethodDef native_chain_signatures_method = {
    "chain_signatures", as_method(&chain_signatures_entry), METH_VARARGS | METH_KEYWORDS,
    "chain_signatures(root_pk, wire, now)\n--\n\n"
    "The tuple of the wire's signatures, or (None, rule, None) when it does not frame;\n"
    "the arguments are checked as verify checks them."};

PyMethodDef native_covers_method = {
    "covers", as_method(&covers_entry), METH_VARARGS | METH_KEYWORDS,
    "covers(scope_tlv, resource, verb)\n--\n\n"
    "Whether the scope buffer covers the permission (resource, verb)."};

}  // namespace vestrel::py
