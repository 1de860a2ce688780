// Both payload readers over arbitrary bytes. Beyond "no crash, no read outside
// the input", it checks that the readers agree wherever they must and that a
// strictly decoded payload re-encodes to exactly the input.
#include <algorithm>
#include <cstdlib>

#include "payload.h"

using namespace vestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView input(data, size);
  auto strict = decode_payload(input);
  LenientPayload lenient = parse_payload(input);
  if (!strict) return 0;

  // Whatever the strict reader accepts, the lenient one accepts with the same fields.
  if (lenient.problem != LenientPayload::Problem::None) std::abort();
  if (lenient.depth != strict->depth || lenient.role != strict->role) std::abort();
  if (lenient.scope.data() != strict->scope.data() || lenient.scope.size() != strict->scope.size())
    std::abort();

  Bytes again = encode_payload(strict->child_pk, strict->role, strict->depth, strict->scope,
                               strict->caveats);
  if (!std::ranges::equal(again, input)) std::abort();
  return 0;
}
