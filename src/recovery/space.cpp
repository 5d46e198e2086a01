#include "recovery/space.h"

#include "recovery/fields.h"
#include <algorithm>
#include <unordered_set>

#include "database/database.h"
#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"

namespace pellumo {

using recovery_detail::u16;
using recovery_detail::u32;
using recovery_detail::u32_be;
namespace {

constexpr std::size_t kSpaceHeaderFlags = 8;
constexpr std::size_t kSpaceHeaderMapOrTree = 12;
constexpr std::uint32_t kSingleExtentMapPages = 32;
// An extent longer than this is damage, not free space worth a walk.
constexpr std::uint32_t kMaxExtentPages = 1u << 24;

void add_single_extent(std::uint32_t root, std::uint32_t map, std::uint32_t total, PageRanges& out) {
  for (std::uint32_t i = 0; i < kSingleExtentMapPages; ++i) {
    if (!((map >> i) & 1)) continue;
    const std::uint64_t page = static_cast<std::uint64_t>(root) + 1 + i;
    if (page <= total) out.add(static_cast<std::uint32_t>(page), static_cast<std::uint32_t>(page));
  }
}

// Not through TreeWalker: its page checks know the trees of tables,
// indexes and long values, and would refuse every page of a space tree
// (flagged 0x20, which the walker takes for another tree's type). Until
// the walker knows space trees as a kind of their own, this loop checks
// what it can: pages in the file, each once, flagged as space-tree pages.
void walk_available_tree(const Database& db, std::uint32_t root, std::unordered_set<std::uint32_t>& visited,
                         PageRanges& out) {
  std::vector<std::uint32_t> stack{root};
  ByteVector scratch;
  while (!stack.empty()) {
    const std::uint32_t number = stack.back();
    stack.pop_back();
    if (number == 0 || number > db.total_pages() || !visited.insert(number).second) continue;
    auto page = db.read_page(number);
    if (!page || !(page->page_flags() & kPageFlagSpaceTree)) continue;  // not a space tree page: damage
    TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    const Bytes prefix = page_key_prefix(*page, tags);
    for (std::uint16_t i = page->first_entry_tag(); i < tags.tag_count(); ++i) {
      auto tag = tags.read_entry_tag(i, scratch);
      if (!tag) continue;  // an unreadable tag is skipped, never fatal
      if (!page->is_leaf()) {
        auto child = BranchEntry::parse_child(tag->flags, tag->data);
        if (child) stack.push_back(*child);
        continue;
      }
      if (tag->flags & kTagFlagDeleted) continue;  // the engine no longer counts it
      auto entry = LeafEntryView::parse(tag->flags, tag->data);
      if (!entry || entry->data.size() < 4) continue;
      // The last page of the extent is the key's last four bytes.
      std::uint8_t key[4];
      const std::size_t suffix = entry->local_key.size();
      const std::size_t common = std::min<std::size_t>(entry->common_key_size.value_or(0), prefix.size());
      if (suffix + common < 4) continue;
      for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t from_end = 4 - k;  // position counted from the key's end
        key[k] = from_end <= suffix ? entry->local_key[suffix - from_end] : prefix[common - (from_end - suffix)];
      }
      const std::uint32_t last = u32_be(Bytes(key, sizeof key), 0);
      const std::uint32_t count = u32(entry->data, 0);
      if (count == 0 || count > kMaxExtentPages || count > last) continue;
      out.add(last - count + 1, last);
    }
  }
}

}  // namespace

std::optional<Bytes> space_header_of(Bytes external_header) {
  if (external_header.size() == kSpaceHeaderSize) return external_header;
  // A longer header starts with a byte naming the fields it holds, the
  // space header first.
  if (external_header.size() > kSpaceHeaderSize && (external_header[0] & kExternalHeaderSpaceField)) {
    return external_header.subspan(1, kSpaceHeaderSize);
  }
  return std::nullopt;
}

void PageRanges::add(std::uint32_t first, std::uint32_t last) { ranges_.push_back({first, last}); }

void PageRanges::finish() {
  std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  std::vector<Range> merged;
  for (const Range& r : ranges_) {
    if (!merged.empty() && static_cast<std::uint64_t>(merged.back().last) + 1 >= r.first) {
      merged.back().last = std::max(merged.back().last, r.last);
    } else {
      merged.push_back(r);
    }
  }
  ranges_ = std::move(merged);
}

bool PageRanges::contains(std::uint32_t page) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), page,
                             [](std::uint32_t p, const Range& r) { return p < r.first; });
  if (it == ranges_.begin()) return false;
  --it;
  return page <= it->last;
}

std::uint64_t PageRanges::page_count() const {
  std::uint64_t n = 0;
  for (const Range& r : ranges_) n += static_cast<std::uint64_t>(r.last) - r.first + 1;
  return n;
}

PageRanges collect_available_pages(const Database& db) {
  PageRanges out;
  std::unordered_set<std::uint32_t> visited;
  for (std::uint32_t number = 1; number <= db.total_pages(); ++number) {
    auto bytes = db.page_bytes(number);
    if (!bytes || bytes->size() < kPageHeaderSize) continue;
    const std::uint32_t flags = u32(*bytes, kOffsetPageFlags);
    if (!(flags & kPageFlagRoot) || (flags & kPageFlagSpaceTree)) continue;
    auto page = Page::parse(*bytes, db.format_version(), db.format_revision(), db.page_size());
    if (!page) continue;
    TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    auto tag0 = tags.extract_tag(0);
    if (!tag0) continue;
    auto header = space_header_of(tag0->data);
    if (!header) continue;
    const std::uint32_t field = u32(*header, kSpaceHeaderMapOrTree);
    if ((*header)[kSpaceHeaderFlags] & kSpaceHeaderMultipleExtent) {
      // The available-extent tree's root is the page after the owned-extent tree's.
      if (field != 0 && field < db.total_pages()) walk_available_tree(db, field + 1, visited, out);
    } else {
      add_single_extent(number, field, db.total_pages(), out);
    }
  }
  out.finish();
  return out;
}

}  // namespace pellumo
