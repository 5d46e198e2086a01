#include "carve/carve.h"

#include <algorithm>

#include "carve/page_owners.h"
#include "page/tag.h"
#include "utils/utf8.h"

namespace pellumo {
namespace {

// The part of the next page asked for ahead of time: one cache line at
// each end.
constexpr std::size_t kPrefetchBytes = 64;

}  // namespace

std::optional<CarveScope> carve_scope_from_name(std::string_view name) {
  if (name == "slack") return CarveScope::Slack;
  if (name == "all") return CarveScope::All;
  if (name == "tag_data") return CarveScope::TagData;
  if (name == "lv_all") return CarveScope::LvAll;
  if (name == "lv_slack") return CarveScope::LvSlack;
  return std::nullopt;
}

const char* carve_scope_name(CarveScope scope) {
  switch (scope) {
    case CarveScope::Slack:
      return "slack";
    case CarveScope::All:
      return "all";
    case CarveScope::TagData:
      return "tag_data";
    case CarveScope::LvAll:
      return "lv_all";
    case CarveScope::LvSlack:
      return "lv_slack";
  }
  return "slack";
}

std::string_view carve_page_type(std::uint32_t page_flags) {
  if (page_flags & kPageFlagLongValue) return "long_value";
  if (page_flags & kPageFlagSpaceTree) return "space_tree";
  if (page_flags & kPageFlagIndex) return "index";
  if (page_flags & kPageFlagLeaf) return "leaf";
  return "branch";
}

std::vector<CarvedString> carve_pages(const PageSource& pages, const TableMap& tables, CarveScope scope,
                                      const std::optional<std::string>& needle, std::size_t min_chars,
                                      std::size_t max_hits) {
  std::vector<CarvedString> hits;
  RangeCarver carver(needle, std::max<std::size_t>(min_chars, 2), std::max<std::size_t>(max_hits, 1), hits,
                     carve_detail::best_kernel());
  // A needle that no run can contain leaves the list empty whatever the pages hold.
  if (!carver.can_match()) return hits;

  const bool long_values_only = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
  const bool whole_page = scope == CarveScope::All || scope == CarveScope::LvAll;
  const bool slack = scope == CarveScope::Slack || scope == CarveScope::LvSlack;
  const std::string_view region = whole_page ? kRegionAll : slack ? kRegionSlack : kRegionTagData;

  // Owners are worked out once, at the first table leaf page met; names are
  // decoded once per table.
  std::optional<PageOwners> owners;
  std::vector<std::optional<std::string>> table_names(tables.size());
  const std::optional<std::string> no_table;

  struct Interval {
    std::size_t start, end;
  };
  std::vector<Interval> used;

  for (std::uint64_t n = 1; n <= pages.total_pages(); ++n) {
    if (carver.full()) break;
    const auto number = static_cast<std::uint32_t>(n);
    auto bytes = pages.page_bytes(number);
    if (!bytes) continue;
    // The next page's header and tag array are the first bytes of it that
    // are read, and the hardware does not fetch across a page boundary on
    // its own: ask for them while this page is scanned.
    if (auto next = pages.page_bytes(number + 1); next && next->size() >= kPrefetchBytes) {
      __builtin_prefetch(next->data());
      __builtin_prefetch(next->data() + next->size() - kPrefetchBytes);
    }
    auto page = Page::parse(*bytes, pages.format_version(), pages.format_revision(), pages.page_size());
    if (!page) continue;  // a page whose header does not parse is skipped
    const std::uint32_t flags = page->page_flags();
    if (long_values_only && (flags & kPageFlagLongValue) == 0) continue;

    const std::string_view page_type = carve_page_type(flags);
    const std::optional<std::string>* table = &no_table;
    if (page->is_table_leaf()) {
      if (!owners) owners = PageOwners::compute(pages, tables);
      if (auto t = owners->owner(number)) {
        if (!table_names[*t]) table_names[*t] = utf8_lossy(tables[*t].first);
        table = &table_names[*t];
      }
    }
    const CarveLabels labels{region, flags, page_type, *table};
    const Bytes pb = *bytes;
    const std::size_t length = pb.size();

    if (whole_page) {
      carver.scan(number, pb, 0, length, labels);
      continue;
    }

    // The tag slots are read directly: a slot outside the page, or a value
    // running past its end, is no tag for carving.
    const TagExtractor tags = pages.tags(*page);
    const std::uint16_t count = tags.tag_count();
    const std::size_t header = page->header_size();
    auto tag_value = [&](std::uint16_t i) -> std::optional<Interval> {
      auto s = tags.slot(i);
      if (!s) return std::nullopt;
      const std::size_t begin = header + s->offset;
      if (!in_bounds(pb, begin, s->size)) return std::nullopt;
      return Interval{begin, begin + s->size};
    };

    if (!slack) {
      for (std::uint16_t i = 0; i < count; ++i) {
        if (carver.full()) break;
        auto value = tag_value(i);
        if (!value || value->start == value->end) continue;
        carver.scan(number, pb, value->start, value->end, labels);
      }
      continue;
    }

    used.clear();
    used.push_back(Interval{0, std::min(length, header)});
    const std::size_t array_bytes = 4 * static_cast<std::size_t>(count);
    used.push_back(Interval{length > array_bytes ? length - array_bytes : 0, length});
    for (std::uint16_t i = 0; i < count; ++i) {
      auto value = tag_value(i);
      if (value && value->start != value->end) used.push_back(*value);
    }
    std::sort(used.begin(), used.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
    // Merge in start order, scanning each gap before the next interval.
    std::size_t cursor = 0;
    std::size_t merged_end = 0;
    bool open = false;
    for (const Interval& iv : used) {
      if (open && iv.start <= merged_end) {
        merged_end = std::max(merged_end, iv.end);
        continue;
      }
      if (open) cursor = std::max(cursor, merged_end);
      if (cursor < iv.start) {
        carver.scan(number, pb, cursor, iv.start, labels);
        if (carver.full()) break;
      }
      open = true;
      merged_end = iv.end;
    }
    if (open) cursor = std::max(cursor, merged_end);
    if (!carver.full() && cursor < length) carver.scan(number, pb, cursor, length, labels);
  }
  return hits;
}

}  // namespace pellumo
