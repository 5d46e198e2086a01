// The carving request: which byte ranges of which pages are scanned for
// UTF-16LE strings, how each page is labelled, and the scopes that choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve/range_scan.h"
#include "catalog/table_info.h"
#include "page/page_source.h"

namespace pellumo {

enum class CarveScope : std::uint8_t { Slack, All, TagData, LvAll, LvSlack };

// The scope named "slack", "all", "tag_data", "lv_all" or "lv_slack"
// (exact, case-sensitive), or nullopt.
std::optional<CarveScope> carve_scope_from_name(std::string_view name);
const char* carve_scope_name(CarveScope scope);

// "long_value", "space_tree", "index", "leaf" or "branch": the first flag of
// 0x80, 0x20, 0x40, 0x02 that is set, in that order.
std::string_view carve_page_type(std::uint32_t page_flags);

// Carves printable UTF-16LE strings from every readable page in page order,
// scanning the ranges `scope` selects and labelling table leaf pages with
// the owning table of `tables`; min_chars below 2 acts as 2 and max_hits 0
// as 1. Damaged pages and tags are skipped: the list found so far is always
// the result.
std::vector<CarvedString> carve_pages(const PageSource& pages, const TableMap& tables, CarveScope scope,
                                      const std::optional<std::string>& needle, std::size_t min_chars,
                                      std::size_t max_hits);

}  // namespace pellumo
