// verify_delegation: the whole chain against a trusted root key.
#include <cstdint>
#include <string>

#include "callables.h"
#include "convert.h"
#include "entry.h"
#include "module_body.h"
#include "results.h"
#include "signature.h"
#include "verify.h"

namespace vestrel::py {

namespace {

constexpr std::string_view kParameters[] = {"root_pk", "wire", "now"};
constexpr CallSignature kSignature{"", "verify_delegation", kParameters};

// The interpreter lock stays held throughout: verification is not a point at
// which other Python threads may run.
PyObject* verify_delegation_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kSignature, args, kwargs);
    const ByteView root_pk = bytes_argument(matched, 0);
    const ByteView wire = bytes_argument(matched, 1);
    const std::uint64_t now = u64_argument(matched, 2);
    if (root_pk.size() != PK_SIZE) throw wrong_length("root_pk", PK_SIZE);
    const std::uint32_t count =
        value_or_raise(verify_delegation(root_pk.first<PK_SIZE>(), wire, now));
    return new_int(count);
  });
}

}  // namespace

PyMethodDef verify_delegation_method = {
    "verify_delegation", as_method(&verify_delegation_entry), METH_VARARGS | METH_KEYWORDS,
    "verify_delegation(root_pk, wire, now)\n--\n\n"
    "verify_delegation(root_pk: bytes, wire: bytes, now: int) -> int\n\n"
    "Verifies signatures, depth sequence, scope subset, and caveats.\n"
    "Returns the credential count. Raises ValueError on failure."};

}  // namespace vestrel::py
