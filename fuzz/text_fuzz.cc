// The readers of text that arrives in HTTP headers: tokens and request proof
// headers. The first input byte picks which; the rest is the text. Whatever
// reads must write back to exactly the same text (one text per value), and a
// token's wire must give the same token again.
#include <array>
#include <cstdlib>
#include <string_view>

#include "base64url.h"
#include "request_proof.h"
#include "token.h"

using namespace vestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0: {
      auto bytes = base64url_decode(text);
      if (bytes && base64url_encode(*bytes) != text) std::abort();
      break;
    }
    case 1: {
      Bytes body;
      auto parts = read_token(text, body);
      if (!parts) break;
      Bytes wire(parts->wire_len);
      // Any key serves as the root: the token names it by id only.
      const std::array<std::uint8_t, PK_SIZE> root{};
      write_token_wire(*parts, root, wire);
      auto again = encode_token(wire);
      // The root's key id differs from the one the text named, and only there.
      if (!again || again->size() != text.size() ||
          again->substr(TOKEN_PREFIX.size() + 24) != text.substr(TOKEN_PREFIX.size() + 24)) {
        std::abort();
      }
      break;
    }
    default: {
      auto proof = decode_request_proof(text);
      if (proof && encode_request_proof(*proof) != text) std::abort();
      break;
    }
  }
  return 0;
}
