// Carving printable UTF-16LE strings out of raw page bytes: the range
// scanner, the scopes that choose which ranges of which pages to scan, and
// the search for the table that owns a leaf page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/bytes.h"

namespace pellumo {

class Database;

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

enum class CarveScope : std::uint8_t { Slack, All, TagData, LvAll, LvSlack };

// The scope named "slack", "all", "tag_data", "lv_all" or "lv_slack"
// (exact, case-sensitive), or nullopt.
std::optional<CarveScope> carve_scope_from_name(std::string_view name);
const char* carve_scope_name(CarveScope scope);

// The region kinds and page types copied into hits.
inline constexpr std::string_view kRegionSlack = "slack";
inline constexpr std::string_view kRegionAll = "all";
inline constexpr std::string_view kRegionTagData = "tag_data";

// "long_value", "space_tree", "index", "leaf" or "branch": the first flag of
// 0x80, 0x20, 0x40, 0x02 that is set, in that order.
std::string_view carve_page_type(std::uint32_t page_flags);

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

// The index, in catalog order, of the first table whose tree walk reaches
// leaf page `page_number` (the walk of every reader: pages checked, a
// refused page skipped), searched from scratch. One tree walk per table per
// call; the carving request uses PageOwners, which gives the same answer
// for every page. Exposed for tests.
std::optional<std::size_t> find_page_owner(const Database& db, std::uint32_t page_number);

// The owning table of every page, computed with one tree walk per table.
// Pages outside 1..total_pages have no owner.
class PageOwners {
 public:
  // Dense keeps one word per page of the file; Sparse keeps only the
  // pages the walks reach. Auto takes Dense unless pages are so small that
  // the table would be a noticeable fraction of the file.
  enum class Storage : std::uint8_t { Auto, Dense, Sparse };

  static PageOwners compute(const Database& db, Storage storage = Storage::Auto);

  // The index of the owning table in catalog order, or nullopt.
  std::optional<std::size_t> owner(std::uint32_t page_number) const;

 private:
  PageOwners() = default;

  static constexpr std::uint32_t kNone = 0xFFFFFFFF;  // no owning table

  std::uint32_t get(std::uint32_t page_number) const;
  void set(std::uint32_t page_number, std::uint32_t owner);

  bool dense_ = true;
  std::vector<std::uint32_t> dense_marks_;  // table index per page, or kNone
  std::unordered_map<std::uint32_t, std::uint32_t> sparse_marks_;
};

namespace carve_detail {

// The scan kernels: the portable one and, on x86-64, the SSE2 one. Both
// give exactly the same hits; carve_utf16le_from_range uses the best one
// the target has. Exposed so tests can hold them against each other.
enum class Kernel : std::uint8_t { Portable, Sse2 };
bool kernel_available(Kernel kernel);
void carve_range_with(Kernel kernel, std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                      std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                      const std::optional<std::string>& table, const std::optional<std::string>& needle,
                      std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits);

// The table name as UTF-8, each invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace carve_detail

}  // namespace pellumo
