// The range scanner of carving: printable UTF-16LE strings in a byte range
// of one page, found 32 code units at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/bytes.h"

namespace pellumo {

// One carved string. Owns all its texts; nothing refers to the mapping.
struct CarvedString {
  std::uint32_t page = 0;
  std::uint64_t offset = 0;       // first code unit, from the page start; always even
  std::uint64_t slack_start = 0;  // the scanned range as the caller gave it (may be odd)
  std::uint64_t slack_end = 0;    // exclusive
  std::string region_kind;        // "slack", "all" or "tag_data"
  std::uint32_t page_flags = 0;
  std::string page_type;  // "long_value", "space_tree", "index", "leaf" or "branch"
  std::optional<std::string> table;  // owning table, as UTF-8
  std::string text;                  // printable ASCII, one character per code unit

  bool operator==(const CarvedString&) const = default;
};

// The region kinds copied into hits.
inline constexpr std::string_view kRegionSlack = "slack";
inline constexpr std::string_view kRegionAll = "all";
inline constexpr std::string_view kRegionTagData = "tag_data";

// Scans [start, end) of `page_bytes` for runs of code units 0x20..0x7E at
// even page offsets and appends to `hits` every run of at least `min_chars`
// characters that contains `needle` (absent or empty: every run), until
// `hits` holds `max_hits` entries. A run ends at the range end. Reads
// nothing outside [start, end); an `end` beyond the page is cut to the page.
// Callers pass min_chars >= 2 and max_hits >= 1; a min_chars of 0 still
// never yields an empty string.
void carve_utf16le_from_range(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const std::optional<std::string>& table, const std::optional<std::string>& needle,
                              std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits);

namespace carve_detail {

// The scan kernels: the portable one and, on x86-64, the SSE2 one. Both
// give exactly the same hits; carve_utf16le_from_range uses the best one
// the target has. Exposed so tests can hold them against each other.
enum class Kernel : std::uint8_t { Portable, Sse2 };
bool kernel_available(Kernel kernel);
Kernel best_kernel();
void carve_range_with(Kernel kernel, std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                      std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                      const std::optional<std::string>& table, const std::optional<std::string>& needle,
                      std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits);

}  // namespace carve_detail

// The needle prepared for matching against the raw bytes of a run: its
// characters with a zero byte between each two. Inside a run every even
// byte is a character (never zero) and every odd byte is zero, so a match
// of this pattern can only start on a code unit and means the run's text
// contains the needle.
struct CarveNeedle {
  bool filter = false;      // an absent or empty needle lets every run through
  bool impossible = false;  // a character outside 0x20..0x7E never matches
  std::string pattern;

  explicit CarveNeedle(const std::optional<std::string>& needle);
  // Whether the raw bytes of a run contain the pattern.
  bool found_in(Bytes run) const;
};

// What a range scan copies into each hit.
struct CarveLabels {
  std::string_view region_kind;
  std::uint32_t page_flags;
  std::string_view page_type;
  const std::optional<std::string>& table;
};

// Appends qualifying runs to the hit list shared by one request.
class RangeCarver {
 public:
  RangeCarver(const std::optional<std::string>& needle, std::size_t min_chars, std::size_t max_hits,
              std::vector<CarvedString>& hits, carve_detail::Kernel kernel);

  bool full() const { return hits_.size() >= max_hits_; }
  bool can_match() const { return !needle_.impossible; }

  void scan(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end, const CarveLabels& labels);

 private:
  // Judges one run [run_start, run_end) and appends it when it qualifies.
  // Returns true once the hit list is full.
  bool emit(std::uint32_t page, Bytes page_bytes, std::size_t run_start, std::size_t run_end, std::size_t start,
            std::size_t end, const CarveLabels& labels);

  CarveNeedle needle_;
  std::size_t min_chars_;
  std::size_t min_bytes_;  // of a run long enough, saturated
  std::size_t max_hits_;
  std::vector<CarvedString>& hits_;
  carve_detail::Kernel kernel_;
};

}  // namespace pellumo
