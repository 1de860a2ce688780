#include "base64url.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

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

}  // namespace
}  // namespace vestrel
