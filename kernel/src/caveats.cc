#include "caveats.h"

namespace vestrel {

CaveatRecord encode_caveat(CaveatTag tag, std::uint64_t ts) noexcept {
  CaveatRecord record{};
  ByteWriter out(record);
  out.put_u8(static_cast<std::uint8_t>(tag));
  out.put_u64le(ts);
  return record;
}

namespace {
bool known_tag(std::uint8_t tag) noexcept {
  return tag == static_cast<std::uint8_t>(CaveatTag::NotBefore) ||
         tag == static_cast<std::uint8_t>(CaveatTag::NotAfter);
}
}  // namespace

KStatus validate_caveats(ByteView caveats) noexcept {
  // Size before shape: a 600-byte buffer is too large, not malformed.
  if (caveats.size() > MAX_CAVEATS_LEN) return fail(KernelError::CaveatsTooLarge);
  if (caveats.size() % CAVEAT_RECORD_LEN != 0) return fail(KernelError::MalformedCaveatBuffer);
  auto records = caveat_records(caveats);
  for (Caveat c; records.next(c);) {
    if (!known_tag(c.tag)) return fail(KernelError::MalformedCaveatBuffer);
  }
  return {};
}

bool CaveatRecords::next(Caveat& out) noexcept {
  // A trailing piece shorter than a record is never read.
  if (reader_.remaining() < CAVEAT_RECORD_LEN) return false;
  return reader_.read_u8(out.tag) && reader_.read_u64le(out.time);
}

KStatus enforce_caveats(ByteView validated_caveats, std::uint64_t now) noexcept {
  // Every record is enforced, so repeated bounds of one kind all apply and the
  // strictest governs; the first violated record names the error.
  auto records = caveat_records(validated_caveats);
  for (Caveat c; records.next(c);) {
    if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotBefore) && now < c.time) {
      return fail(KernelError::NotBeforeViolation);
    }
    if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotAfter) && now > c.time) {
      return fail(KernelError::NotAfterViolation);
    }
  }
  return {};
}

CaveatSummary summarize_caveats(ByteView caveats) noexcept {
  CaveatSummary summary;
  auto records = caveat_records(caveats);
  for (Caveat c; records.next(c);) {
    if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotBefore)) {
      summary.not_before = c.time;
    } else if (c.tag == static_cast<std::uint8_t>(CaveatTag::NotAfter)) {
      summary.not_after = c.time;
    } else {
      summary.unknown_tag = c.tag;
      return summary;
    }
  }
  return summary;
}

}  // namespace vestrel
