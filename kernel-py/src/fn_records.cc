// perm_tlv, not_before, not_after: the records callers concatenate into scope
// and caveat buffers.
#include <cstdint>

#include "callables.h"
#include "caveats.h"
#include "convert.h"
#include "entry.h"
#include "module_body.h"
#include "results.h"
#include "scope.h"
#include "signature.h"

namespace vestrel::py {

namespace {

constexpr std::string_view kPermTlvParameters[] = {"resource", "verb"};
constexpr CallSignature kPermTlvSignature{"", "perm_tlv", kPermTlvParameters};

constexpr std::string_view kTsParameters[] = {"ts"};
constexpr CallSignature kNotBeforeSignature{"", "not_before", kTsParameters};
constexpr CallSignature kNotAfterSignature{"", "not_after", kTsParameters};

PyObject* perm_tlv_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    const Arguments matched(kPermTlvSignature, args, kwargs);
    const ByteView resource = bytes_argument(matched, 0);
    const ByteView verb = bytes_argument(matched, 1);
    const PermRecord record = value_or_raise(perm_tlv(resource, verb));
    return new_bytes(record.view());
  });
}

Ref caveat_record(const CallSignature& signature, CaveatTag tag, PyObject* args, PyObject* kwargs) {
  const Arguments matched(signature, args, kwargs);
  const std::uint64_t ts = u64_argument(matched, 0);
  return new_bytes(encode_caveat(tag, ts));
}

PyObject* not_before_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return caveat_record(kNotBeforeSignature, CaveatTag::NotBefore, args, kwargs); });
}

PyObject* not_after_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return caveat_record(kNotAfterSignature, CaveatTag::NotAfter, args, kwargs); });
}

}  // namespace

PyMethodDef perm_tlv_method = {"perm_tlv", as_method(&perm_tlv_entry), METH_VARARGS | METH_KEYWORDS,
                               "perm_tlv(resource, verb)\n--\n\n"
                               "perm_tlv(resource: bytes, verb: bytes) -> bytes\n\n"
                               "Encodes a permission in TLV format."};

PyMethodDef not_before_method = {
    "not_before", as_method(&not_before_entry), METH_VARARGS | METH_KEYWORDS,
    "not_before(ts)\n--\n\n"
    "not_before(ts: int) -> bytes\n\n"
    "Returns a 9-byte caveat record. ts is seconds since the Unix epoch."};

PyMethodDef not_after_method = {
    "not_after", as_method(&not_after_entry), METH_VARARGS | METH_KEYWORDS,
    "not_after(ts)\n--\n\n"
    "not_after(ts: int) -> bytes\n\n"
    "Returns a 9-byte caveat record. ts is seconds since the Unix epoch."};

}  // namespace vestrel::py
