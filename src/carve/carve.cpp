#include "carve/carve.h"

#include <algorithm>

#include "carve/page_owners.h"
#include "page/tag.h"
#include "page/used_space.h"
#include "utils/utf8.h"

namespace pellumo {
namespace {

// The part of the next page asked for ahead of time: one cache line at
// each end.
constexpr std::size_t kPrefetchBytes = 64;

// The data of every tag of the page, each on its own: a slot outside the
// page, or a value running past its end, is no tag for carving.
void scan_tag_data(RangeCarver& carver, std::uint32_t number, Bytes page, const TagExtractor& tags,
                   const CarveLabels& labels) {
  for (std::uint16_t i = 0; i < tags.tag_count() && !carver.full(); ++i) {
    auto tag = tags.extract_tag(i);
    if (!tag || tag->data.empty()) continue;
    carver.scan(number, page, tag->at, tag->at + tag->data.size(), labels);
  }
}

// The bytes that neither the header, the tag array nor any tag's data
// uses, stretch by stretch, until the carver is full.
void scan_slack(RangeCarver& carver, std::uint32_t number, Bytes page, std::size_t header_size,
                const TagExtractor& tags, std::vector<ByteRange>& used, const CarveLabels& labels) {
  const std::size_t length = page.size();
  const std::size_t array_bytes = 4 * static_cast<std::size_t>(tags.tag_count());
  const std::size_t array_start = length > array_bytes ? length - array_bytes : 0;
  used_ranges(tags, tags.tag_count(), used);
  for_each_unused(used, std::min(length, header_size), array_start, [&](std::size_t begin, std::size_t end) {
    carver.scan(number, page, begin, end, labels);
    return !carver.full();
  });
}

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
                                      std::size_t max_hits, const std::function<bool()>& interrupted) {
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

  std::vector<ByteRange> used;

  for (std::uint64_t n = 1; n <= pages.total_pages(); ++n) {
    if (carver.full()) break;
    if (interrupted && n % 4096 == 0 && interrupted()) break;
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

    const TagExtractor tags = pages.tags(*page);
    if (slack) {
      scan_slack(carver, number, pb, page->header_size(), tags, used, labels);
    } else {
      scan_tag_data(carver, number, pb, tags, labels);
    }
  }
  return hits;
}

}  // namespace pellumo
