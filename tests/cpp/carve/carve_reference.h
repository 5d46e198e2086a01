// Carving written the slow, literal way: one code unit at a time, slack as
// a byte-by-byte map of used bytes, owners by a fresh tree walk per page.
// The fast scanner and request are held against these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <unordered_set>

#include "carve/carve.h"
#include "database/database.h"
#include "page/branch.h"
#include "page/page.h"
#include "page/tag.h"
#include "utils/bytes.h"
#include "utils/utf8.h"

namespace pellumo::carve_reference {

inline void carve_range(std::uint32_t page, Bytes b, std::size_t start, std::size_t end, std::string_view region,
                        std::uint32_t flags, std::string_view page_type, const std::optional<std::string>& table,
                        const std::optional<std::string>& needle, std::size_t min_chars, std::size_t max_hits,
                        std::vector<CarvedString>& hits) {
  if (start >= end || start + 2 > end) return;
  std::size_t pos = start;
  for (;;) {
    if (hits.size() >= max_hits) return;
    if (pos % 2 == 1) {
      if (pos + 3 > end) return;
      pos += 1;
    }
    const std::size_t run_start = pos;
    std::string text;
    std::size_t p = pos;
    bool at_end = false;
    for (;;) {
      if (p + 2 > end) {
        at_end = true;
        break;
      }
      const unsigned u = b[p] | (b[p + 1] << 8);
      if (u < 0x20 || u > 0x7E) break;
      text.push_back(static_cast<char>(u));
      p += 2;
    }
    if (text.size() >= min_chars && (!needle || needle->empty() || text.find(*needle) != std::string::npos)) {
      hits.push_back(CarvedString{page, run_start, start, end, std::string(region), flags, std::string(page_type),
                                  table, text});
      if (hits.size() >= max_hits) return;
    }
    if (at_end) return;
    pos = p + 2;
    if (pos >= end || end - pos < 2) return;
  }
}

// The index, in catalog order, of the first table whose leaf chain reaches
// page `page_number`, searched from scratch: every table's descent from its
// root through the first entry of each branch page (stopping at a page met
// twice, a missing or undecodable entry or an unreadable child), then its
// leaf chain, bounded by the page count.
inline std::optional<std::size_t> find_page_owner(const Database& db, std::uint32_t page_number) {
  ByteVector scratch;
  const std::uint64_t total = db.total_pages();
  for (std::size_t t = 0; t < db.tables().size(); ++t) {
    const std::uint32_t root = db.tables()[t].second.root_page;
    auto page = db.read_page(root);
    if (!page) continue;
    std::uint32_t p = root;
    std::unordered_set<std::uint32_t> passed;
    while (!page->is_leaf()) {
      if (!passed.insert(p).second) break;
      const TagExtractor tags = db.tags(*page);
      const std::uint16_t first = page->first_entry_tag();
      if (tags.tag_count() <= first) break;
      auto tag = tags.read_entry_tag(first, scratch);
      if (!tag) break;
      auto child = BranchEntry::parse_child(tag->flags, tag->data);
      if (!child) break;
      p = *child;
      page = db.read_page(p);
      if (!page) break;
    }
    std::uint64_t steps = 0;
    for (;;) {
      if (p == 0) break;
      if (p == page_number) return t;
      auto next = db.read_page(p);
      if (!next) break;
      if (++steps > total) break;
      p = next->next_page();
    }
  }
  return std::nullopt;
}

inline std::vector<CarvedString> carve_request(const Database& db, CarveScope scope,
                                               const std::optional<std::string>& needle, std::size_t min_chars,
                                               std::size_t max_hits) {
  min_chars = std::max<std::size_t>(min_chars, 2);
  max_hits = std::max<std::size_t>(max_hits, 1);
  std::vector<CarvedString> hits;
  const std::uint32_t v = db.format_version(), r = db.format_revision(), ps = db.page_size();
  const bool large = v == 0x620 && r >= 0x11 && ps > 8192;
  const unsigned mask = large ? 0x7FFF : 0x1FFF;
  for (std::uint64_t n = 1; n <= db.total_pages(); ++n) {
    if (hits.size() >= max_hits) break;
    auto bytes = db.page_bytes(static_cast<std::uint32_t>(n));
    if (!bytes) continue;
    auto page = Page::parse(*bytes, v, r, ps);
    if (!page) continue;
    const Bytes b = *bytes;
    const std::size_t L = b.size(), h = page->header_size();
    const std::uint32_t flags = *read_u32_le(b, 36);
    const bool lv = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
    if (lv && !(flags & 0x80)) continue;

    std::size_t count = L < 40 ? 0 : (*read_u16_le(b, 34) & 0x0FFF);
    if (ps > 8192) {
      const std::size_t available = *read_u16_le(b, 28);
      const std::size_t free = L > available ? L - available : 0;
      count = std::min<std::size_t>(count, (free / 4) & 0xFFFF);
    }
    struct Value {
      std::size_t start, end;
    };
    std::vector<std::optional<Value>> values;
    for (std::size_t i = 0; i < count; ++i) {
      if (4 * (i + 1) > L) {
        values.push_back(std::nullopt);
        continue;
      }
      const std::size_t at = L - 4 * (i + 1);
      const std::size_t size = *read_u16_le(b, at) & mask, offset = *read_u16_le(b, at + 2) & mask;
      if (h + offset + size > L) {
        values.push_back(std::nullopt);
        continue;
      }
      values.push_back(Value{h + offset, h + offset + size});
    }

    const char* type = (flags & 0x80)   ? "long_value"
                       : (flags & 0x20) ? "space_tree"
                       : (flags & 0x40) ? "index"
                       : (flags & 0x02) ? "leaf"
                                        : "branch";
    std::optional<std::string> table;
    if (std::string_view(type) == "leaf") {
      if (auto t = find_page_owner(db, static_cast<std::uint32_t>(n))) {
        table = utf8_lossy(db.tables()[*t].first);
      }
    }
    const auto number = static_cast<std::uint32_t>(n);
    if (scope == CarveScope::All || scope == CarveScope::LvAll) {
      carve_range(number, b, 0, L, "all", flags, type, table, needle, min_chars, max_hits, hits);
    } else if (scope == CarveScope::TagData) {
      for (const auto& value : values) {
        if (hits.size() >= max_hits) break;
        if (!value || value->start == value->end) continue;
        carve_range(number, b, value->start, value->end, "tag_data", flags, type, table, needle, min_chars, max_hits,
                    hits);
      }
    } else {
      std::vector<bool> used(L, false);
      for (std::size_t i = 0; i < std::min(L, h); ++i) used[i] = true;
      for (std::size_t i = L > 4 * count ? L - 4 * count : 0; i < L; ++i) used[i] = true;
      for (const auto& value : values) {
        if (!value) continue;
        for (std::size_t i = value->start; i < value->end; ++i) used[i] = true;
      }
      for (std::size_t i = 0; i < L && hits.size() < max_hits;) {
        if (used[i]) {
          ++i;
          continue;
        }
        std::size_t j = i;
        while (j < L && !used[j]) ++j;
        carve_range(number, b, i, j, "slack", flags, type, table, needle, min_chars, max_hits, hits);
        i = j;
      }
    }
  }
  return hits;
}

}  // namespace pellumo::carve_reference
