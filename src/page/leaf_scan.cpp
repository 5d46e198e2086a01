#include "page/leaf_scan.h"

#include "page/leaf.h"
#include "page/tag.h"

namespace pellumo {

void scan_leaf_entries(const Page& page, bool large, std::uint32_t page_size, bool skip_deleted, LeafScan& out) {
  out.entries.clear();
  out.unreadable = 0;
  out.deleted = 0;
  if (!page.is_table_leaf()) return;
  const Bytes bytes = page.bytes();
  const std::size_t length = bytes.size();
  const std::size_t header = page.header_size();
  // Indices from the capped count up to the stored one name no tag; they are
  // counted as unreadable, as a cursor fails to read them.
  const std::uint16_t stored = page.stored_tag_count();
  const std::uint16_t readable = compute_tag_count(bytes, page_size);
  const std::uint32_t field_mask = large ? 0x7FFF : 0x1FFF;
  out.entries.reserve(stored);
  for (std::uint16_t i = page.first_entry_tag(); i < stored; ++i) {
    // Slot i: the 4 bytes ending 4i bytes before the page end.
    const std::size_t back = 4 * (static_cast<std::size_t>(i) + 1);
    const auto slot = i < readable && back <= length ? read_u32_le(bytes, length - back) : std::nullopt;
    if (!slot) {
      ++out.unreadable;
      continue;
    }
    const std::uint32_t size = *slot & field_mask;
    const std::uint32_t offset = (*slot >> 16) & field_mask;
    const auto tag = slice(bytes, header + offset, size);
    if (!tag) {
      ++out.unreadable;
      continue;
    }
    // The flags: the slot's top 3 bits, or under the large-page format the
    // top 3 bits of the data's byte 1.
    std::uint8_t flags = static_cast<std::uint8_t>(*slot >> 29);
    if (large) flags = static_cast<std::uint8_t>(read_u8(*tag, 1).value_or(0) >> 5);
    if (skip_deleted && (flags & kTagFlagDeleted)) {
      ++out.deleted;
      continue;
    }
    const auto entry = LeafEntryView::parse_in_place(flags, *tag, large);
    if (!entry) {
      ++out.unreadable;
      continue;
    }
    out.entries.push_back(entry->data);
  }
}

}  // namespace pellumo
