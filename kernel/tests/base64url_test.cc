#include "base64url.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "request_proof.h"
#include "token.h"

namespace vestrel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// A plain decoder to hold the vector paths to: four characters, three bytes.
std::optional<Bytes> reference_decode(const std::string& text) {
  const std::string alphabet(kAlphabet);
  Bytes out;
  std::uint32_t bits = 0;
  int held = 0;
  for (const char c : text) {
    const auto value = alphabet.find(c);
    if (value == std::string::npos) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> held));
    }
  }
  if ((bits & ((1u << held) - 1)) != 0) return std::nullopt;
  return out;
}

// Texts long enough for several vector steps and a scalar tail; each byte
// value in each of the positions of a step must be refused exactly when it is
// outside the alphabet, and otherwise decode to the reference's bytes.
TEST(Base64url, EveryByteInEveryPositionOfAStep) {
  std::mt19937 random(7);
  std::string text(4 * 30, 'A');
  for (auto& c : text) c = kAlphabet[random() % 64];
  for (std::size_t position = 32; position < 96; ++position) {
    for (int byte = 0; byte < 256; ++byte) {
      std::string changed = text;
      changed[position] = static_cast<char>(byte);
      const auto expected = reference_decode(changed);
      const auto decoded = base64url_decode(changed);
      ASSERT_EQ(decoded.has_value(), expected.has_value()) << position << " " << byte;
      if (decoded) {
        ASSERT_EQ(*decoded, *expected) << position << " " << byte;
      } else {
        ASSERT_EQ(decoded.error(), TextRefusal::Character);
      }
    }
  }
}

TEST(Base64url, RoundTripsAtEveryLengthAgainstTheReference) {
  std::mt19937 random(11);
  for (std::size_t size = 0; size < 400; ++size) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string text = base64url_encode(bytes);
    ASSERT_EQ(text.size(), base64url_len(size));
    ASSERT_EQ(reference_decode(text), bytes) << size;
    const auto decoded = base64url_decode(text);
    ASSERT_TRUE(decoded.has_value()) << size;
    ASSERT_EQ(*decoded, bytes) << size;
  }
}

// The faults of the base64url layer, made from a canonical text `t` whose
// length is 2 or 3 mod 4 (so that its last character has unused bits), each
// with the refusal every reader must give: an impossible length first, then
// a character outside the alphabet, then non-zero final bits. Every text is
// no longer than `t`, so a reader's own length cap never comes first.
std::vector<std::pair<std::string, TextRefusal>> layer_faults(const std::string& t) {
  const std::string alphabet(kAlphabet);
  const std::size_t cut = (t.size() - 1) % 4;  // what leaves a length of 1 mod 4
  std::string bad_char = t;
  bad_char[10] = '*';
  std::string final_bits = t;
  final_bits.back() = alphabet[alphabet.find(t.back()) + 1];
  return {
      {t.substr(0, t.size() - cut), TextRefusal::Length},
      {bad_char, TextRefusal::Character},
      {bad_char.substr(0, t.size() - cut), TextRefusal::Length},
      {final_bits, TextRefusal::FinalBits},
      {t.substr(0, t.size() - 1) + "=", TextRefusal::Character},
      {t.substr(0, t.size() - cut - 1) + "=", TextRefusal::Length},
      {"AAAA=", TextRefusal::Length},
  };
}

template <class T>
std::optional<TextRefusal> refusal_of(const TextResult<T>& result) {
  if (result) return std::nullopt;
  return result.error();
}

// Every reader of base64url text in the kernel refuses each fault alike.
TEST(Base64url, EveryReaderRefusesInTheSameOrder) {
  const std::string proof = encode_request_proof(RequestProof{}).substr(PROOF_PREFIX.size());
  const std::string bytes = base64url_encode(Bytes(40, 7));
  Bytes scratch;
  using Reader = std::function<std::optional<TextRefusal>(const std::string&)>;
  const std::vector<std::tuple<const char*, std::string, Reader>> readers = {
      {"base64url_decode", bytes, [](auto& text) { return refusal_of(base64url_decode(text)); }},
      {"read_token", bytes,
       [&](auto& text) { return refusal_of(read_token(std::string(TOKEN_PREFIX) + text, scratch)); }},
      {"decode_request_proof", proof,
       [](auto& text) { return refusal_of(decode_request_proof(std::string(PROOF_PREFIX) + text)); }},
  };
  for (const auto& [name, canonical, read] : readers) {
    ASSERT_EQ(canonical.size() % 4, 2u) << name;
    for (const auto& [text, expected] : layer_faults(canonical)) {
      ASSERT_EQ(read(text), std::optional(expected)) << name << " " << text.substr(0, 40);
    }
  }
}

}  // namespace
}  // namespace vestrel
