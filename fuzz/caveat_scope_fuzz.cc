// Scope and caveat buffers over arbitrary bytes: validation, walking,
// coverage, enforcement and the summary must agree with one another.
#include <cstdlib>
#include <cstring>

#include "caveats.h"
#include "scope.h"

using namespace vestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9) return 0;
  std::uint64_t now = 0;
  std::memcpy(&now, data, 8);
  const std::size_t split = data[8] % (size - 8);
  ByteView rest(data + 9, size - 9);
  ByteView first = rest.first(std::min(split, rest.size()));
  ByteView second = rest.subspan(first.size());

  if (validate_scope(first)) {
    std::size_t records = 0;
    std::size_t bytes = 0;
    auto entries = scope_entries(first);
    for (Permission p; entries.next(p); ++records) bytes += 2 + p.resource.size() + p.verb.size();
    if (records == 0 || records > MAX_SCOPE_ENTRIES || bytes != first.size()) std::abort();
    if (!scope_covers(first, first)) std::abort();  // every scope covers itself
    if (validate_scope(second)) (void)scope_covers(first, second);
  }

  CaveatSummary summary = summarize_caveats(second);
  if (validate_caveats(second)) {
    if (summary.unknown_tag) std::abort();
    (void)enforce_caveats(second, now);
  }
  return 0;
}
