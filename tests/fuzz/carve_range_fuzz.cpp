// Range carving: one range of one page through every scan kernel, each
// held against the step-by-step scanner; any difference aborts.
//
// Input: byte 0 gives min_chars (1 + b % 8), byte 1 max_hits (1 + b % 16),
// byte 2 the needle length (b % 6; 5 means no needle) and the needle bytes
// follow; then start and end as 16-bit little-endian numbers, taken modulo
// the page length + 1. The rest is the page.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "../cpp/carve/carve_reference.h"
#include "carve/carve.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t min_chars = 1 + data[0] % 8;
  const std::size_t max_hits = 1 + data[1] % 16;
  const std::size_t needle_length = data[2] % 6;
  std::size_t at = 3;
  std::optional<std::string> needle;
  if (needle_length < 5) {
    if (size - at < needle_length) return 0;
    needle = std::string(reinterpret_cast<const char*>(data + at), needle_length);
    at += needle_length;
  }
  if (size - at < 4) return 0;
  const std::size_t raw_start = data[at] | (data[at + 1] << 8);
  const std::size_t raw_end = data[at + 2] | (data[at + 3] << 8);
  at += 4;
  // The page is copied so that reading past it is caught by the sanitizers.
  const std::vector<std::uint8_t> page(data + at, data + size);
  const std::size_t start = raw_start % (page.size() + 1);
  const std::size_t end = raw_end % (page.size() + 1);
  const std::optional<std::string> table = "T";

  // Half the calls find one hit already in the list.
  std::vector<pellumo::CarvedString> want(raw_start & 1);
  pellumo::carve_reference::carve_range(3, page, start, end, "slack", 0x82, "long_value", table, needle, min_chars,
                                        max_hits, want);
  for (const auto kernel : {pellumo::carve_detail::Kernel::Portable, pellumo::carve_detail::Kernel::Sse2}) {
    if (!pellumo::carve_detail::kernel_available(kernel)) continue;
    std::vector<pellumo::CarvedString> got(raw_start & 1);
    pellumo::carve_detail::carve_range_with(kernel, 3, page, start, end, "slack", 0x82, "long_value", table, needle,
                                            min_chars, max_hits, got);
    if (got != want) std::abort();
  }
  return 0;
}
