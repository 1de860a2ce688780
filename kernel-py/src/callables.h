// The module's functions, one method definition each, defined next to their
// entry points (fn_*.cc). The module body adds them in its attribute order.
#pragma once

#include <Python.h>

namespace vestrel::py {

extern PyMethodDef perm_tlv_method;
extern PyMethodDef not_before_method;
extern PyMethodDef not_after_method;
extern PyMethodDef encode_chain_method;
extern PyMethodDef decode_chain_method;
extern PyMethodDef parse_payload_method;
extern PyMethodDef verify_delegation_method;

}  // namespace vestrel::py
