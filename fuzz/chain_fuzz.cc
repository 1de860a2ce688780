// The chain reader over arbitrary bytes: whatever decodes must re-encode to
// the bytes it was read from (trailing bytes excepted).
#include <algorithm>
#include <cstdlib>

#include "chain_wire.h"

using namespace vestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView input(data, size);
  auto chain = decode_chain(input);
  if (!chain) return 0;
  if (chain->count < 1 || chain->count > MAX_CHAIN_LEN) std::abort();
  auto wire = encode_chain(std::span<const CredentialView>(chain->slots.data(), chain->count));
  if (!wire) {
    // Only an oversized payload may fail the writer's capacity rule.
    for (std::size_t i = 0; i < chain->count; ++i) {
      if (chain->slots[i].payload.size() > MAX_PAYLOAD_LEN) return 0;
    }
    std::abort();
  }
  if (wire->size() > size || !std::ranges::equal(*wire, input.first(wire->size()))) std::abort();
  return 0;
}
