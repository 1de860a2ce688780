#include "base64url.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vestrel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::uint8_t kInvalid = 0xFF;

// The value of each character, kInvalid for every byte outside the alphabet
// (padding, whitespace, the standard alphabet's + and / included).
constexpr std::array<std::uint8_t, 256> kValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}();

// Two characters for every 12 bits, so that three bytes take two lookups.
constexpr std::array<std::array<char, 2>, 4096> kPairs = [] {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (unsigned v = 0; v < 4096; ++v) pairs[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
  return pairs;
}();

// Four characters' values, each shifted to its place in a 24-bit group, so
// that decoding one group is four lookups or'ed together; an invalid
// character sets bit 31 wherever it stands.
struct PlacedTables {
  std::array<std::uint32_t, 256> at[4];
};
constexpr PlacedTables kPlaced = [] {
  PlacedTables tables{};
  for (unsigned c = 0; c < 256; ++c) {
    const std::uint8_t v = kValues[c];
    for (unsigned place = 0; place < 4; ++place) {
      tables.at[place][c] =
          v == kInvalid ? 0x80000000u : static_cast<std::uint32_t>(v) << (18 - 6 * place);
    }
  }
  return tables;
}();

// Whole groups, three bytes to four characters, from `done` groups on.
void encode_groups(const std::uint8_t* in, char* out, std::size_t groups,
                   std::size_t done) noexcept {
  for (std::size_t g = done; g < groups; ++g) {
    const std::uint8_t* p = in + 3 * g;
    const std::uint32_t group =
        static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
    std::memcpy(out + 4 * g, kPairs[group >> 12].data(), 2);
    std::memcpy(out + 4 * g + 2, kPairs[group & 0xFFF].data(), 2);
  }
}

// Whole groups from `done` on; false if any character is not in the alphabet.
bool decode_groups(const unsigned char* in, std::uint8_t* out, std::size_t groups,
                   std::size_t done) noexcept {
  std::uint32_t invalid = 0;
  for (std::size_t g = done; g < groups; ++g) {
    const unsigned char* p = in + 4 * g;
    const std::uint32_t group =
        kPlaced.at[0][p[0]] | kPlaced.at[1][p[1]] | kPlaced.at[2][p[2]] | kPlaced.at[3][p[3]];
    invalid |= group;
    out[3 * g] = static_cast<std::uint8_t>(group >> 16);
    out[3 * g + 1] = static_cast<std::uint8_t>(group >> 8);
    out[3 * g + 2] = static_cast<std::uint8_t>(group);
  }
  return (invalid & 0x80000000u) == 0;
}

#if defined(__x86_64__)

bool has_avx2() noexcept {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

// 24 bytes to 32 characters a step; returns the groups done. Each lane takes
// 12 bytes: they are spread to 16 so that every 32-bit word holds one group's
// three bytes, the four 6-bit values are moved to the low bits of four bytes
// by two multiplications, and each value becomes its character by adding the
// offset of its range of the alphabet.
__attribute__((target("avx2"))) std::size_t encode_avx2(const std::uint8_t* in, char* out,
                                                        std::size_t bytes) noexcept {
  std::size_t done = 0;
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  // Offsets by range: A-Z +65, a-z +71, 0-9 -4, '-' 62 -> 45, '_' 63 -> 95.
  const __m256i offsets =
      _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -17, 32, 0, 0, 65, 71, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -4, -17, 32, 0, 0);
  // Each step reads 28 bytes: two 16-byte loads, 12 bytes apart.
  for (; done * 3 + 28 <= bytes; done += 8) {
    const std::uint8_t* p = in + done * 3;
    __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
    v = _mm256_shuffle_epi8(v, spread);
    const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0FC0FC00)),
                                            _mm256_set1_epi32(0x04000040));
    const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003F03F0)),
                                           _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(high, low);
    // Range index: 0 for A-Z, 1 for a-z, 2..11 for digits, 12 '-', 13 '_'.
    __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    index = _mm256_sub_epi8(index, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
    const __m256i chars = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done * 4), chars);
  }
  return done;
}

// 32 characters to 24 bytes a step; returns the groups done, stopping at the
// first step holding a character outside the alphabet (the scalar loop then
// finds it). Each step stores 32 bytes, 8 past its own 24, so it runs only
// while the output has room for them.
//
// A character is checked by its two nibbles: lo_bits[low] & hi_bits[high]
// is zero exactly for the 64 of the alphabet. Each high nibble has one bit
// (0 and 1, and 8 to 15, share the bit every low nibble carries), and each
// low nibble carries the bits of the high nibbles it is invalid under:
//   high 2: only '-' (0x2D);           high 3: '0'..'9', low 0..9;
//   high 4 and 6: all but low 0;       high 5: 'P'..'Z' and '_', not low B..E;
//   high 7: 'p'..'z', low 0..A.
// Its value is the character plus an offset that its high nibble gives, but
// for '_', which shares high nibble 5 with 'P'..'Z'.
__attribute__((target("avx2"))) std::size_t decode_avx2(const unsigned char* in, std::uint8_t* out,
                                                        std::size_t groups) noexcept {
  std::size_t done = 0;
  const __m256i hi_bits = _mm256_setr_epi8(1, 1, 2, 4, 8, 16, 8, 32, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                           2, 4, 8, 16, 8, 32, 1, 1, 1, 1, 1, 1, 1, 1);
  const __m256i lo_bits =
      _mm256_setr_epi8(0x0B, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x07, 0x37, 0x37,
                       0x35, 0x37, 0x27, 0x0B, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03,
                       0x07, 0x37, 0x37, 0x35, 0x37, 0x27);
  const __m256i offsets = _mm256_setr_epi8(0, 0, 17, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0, 0, 17, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                        1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  for (; done * 3 + 32 <= groups * 3; done += 8) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done * 4));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), nibble);
    const __m256i low = _mm256_and_si256(c, nibble);
    if (_mm256_testz_si256(_mm256_shuffle_epi8(lo_bits, low), _mm256_shuffle_epi8(hi_bits, high)) ==
        0) {
      break;
    }
    // '_' (0x5F) takes 63: -32 where its high nibble gives -65.
    const __m256i underscore =
        _mm256_and_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('_')), _mm256_set1_epi8(33));
    const __m256i values =
        _mm256_add_epi8(_mm256_add_epi8(c, _mm256_shuffle_epi8(offsets, high)), underscore);
    // Four 6-bit values to one 24-bit group per 32-bit word, the three bytes
    // of each word packed big end first, 12 to a lane, and the two lanes' 12
    // brought together.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i groups24 = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups24, pack), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done * 3), packed);
  }
  return done;
}

#endif

}  // namespace

std::string_view text_refusal_name(TextRefusal refusal) noexcept {
  switch (refusal) {
    case TextRefusal::Prefix:
      return "Prefix";
    case TextRefusal::TooLong:
      return "TooLong";
    case TextRefusal::Character:
      return "Character";
    case TextRefusal::Length:
      return "Length";
    case TextRefusal::FinalBits:
      return "FinalBits";
    case TextRefusal::Truncated:
      return "Truncated";
    case TextRefusal::Count:
      return "Count";
    case TextRefusal::PayloadLength:
      return "PayloadLength";
    case TextRefusal::Trailing:
      return "Trailing";
    case TextRefusal::UnknownRoot:
      return "UnknownRoot";
    case TextRefusal::Flags:
      return "Flags";
  }
  return "Unknown";
}

std::string base64url_encode(ByteView bytes) {
  std::string text(base64url_len(bytes.size()), '\0');
  base64url_encode_into(bytes, text);
  return text;
}

void base64url_encode_into(ByteView bytes, std::span<char> text) noexcept {
  const std::size_t groups = bytes.size() / 3;
  std::size_t done = 0;
#if defined(__x86_64__)
  if (has_avx2()) done = encode_avx2(bytes.data(), text.data(), bytes.size());
#endif
  encode_groups(bytes.data(), text.data(), groups, done);
  const std::size_t left = bytes.size() % 3;
  if (left > 0) {
    const std::uint8_t* in = bytes.data() + 3 * groups;
    char* out = text.data() + 4 * groups;
    const std::uint32_t group = static_cast<std::uint32_t>(in[0]) << 16 |
                                (left == 2 ? static_cast<std::uint32_t>(in[1]) << 8 : 0);
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    if (left == 2) out[2] = kAlphabet[(group >> 6) & 63];
  }
}

TextResult<std::size_t> base64url_decoded_len(std::size_t chars) noexcept {
  // A final group of one character cannot hold a byte.
  if (chars % 4 == 1) return fail(TextRefusal::Length);
  return chars / 4 * 3 + (chars % 4 == 0 ? 0 : chars % 4 - 1);
}

Result<void, TextRefusal> base64url_decode_into(std::string_view text,
                                                std::span<std::uint8_t> out) noexcept {
  // The order of refusals is the same for every text form: an impossible
  // length first (it needs no character read), then a character outside the
  // alphabet, then final bits that are not zero.
  const auto size = base64url_decoded_len(text.size());
  if (!size) return fail(size.error());
  if (*size != out.size()) return fail(TextRefusal::Length);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t groups = text.size() / 4;
  std::size_t done = 0;
#if defined(__x86_64__)
  if (has_avx2()) done = decode_avx2(in, out.data(), groups);
#endif
  if (!decode_groups(in, out.data(), groups, done)) return fail(TextRefusal::Character);
  const std::size_t tail = text.size() % 4;  // 0, 2 or 3 characters
  if (tail != 0) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < tail; ++k) {
      const std::uint8_t v = kValues[in[4 * groups + k]];
      if (v == kInvalid) return fail(TextRefusal::Character);
      group |= static_cast<std::uint32_t>(v) << (18 - 6 * k);
    }
    // Two characters carry 12 bits for one byte, three carry 18 for two: the
    // bits left over must be zero, or two texts would give the same bytes.
    if ((group & (tail == 2 ? 0xFFFFu : 0xFFu)) != 0) return fail(TextRefusal::FinalBits);
    out[3 * groups] = static_cast<std::uint8_t>(group >> 16);
    if (tail == 3) out[3 * groups + 1] = static_cast<std::uint8_t>(group >> 8);
  }
  return {};
}

TextResult<Bytes> base64url_decode(std::string_view text) {
  const auto size = base64url_decoded_len(text.size());
  if (!size) return fail(size.error());
  Bytes bytes(*size);
  if (auto decoded = base64url_decode_into(text, bytes); !decoded) return fail(decoded.error());
  return bytes;
}

}  // namespace vestrel
