// Page fuzzing: one page header, every tag of it, and each tag decoded as
// a leaf and as a branch entry.
//
// Input: byte 0 chooses the format numbers — bit 7 set gives version
// 0x621, else bit 6 set gives 0x5FF, else 0x620; bits 0-5 are the revision.
// Byte 1 (modulo 5) chooses the database page size: 0 for the page's own
// length, then 4096, 8192, 16384, 32768. The rest is the page.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "page/branch.h"
#include "page/leaf.h"
#include "page/page.h"
#include "page/tag.h"
#include "page/used_space.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t selector = data[0];
  const std::uint32_t version = (selector & 0x80) ? 0x621 : (selector & 0x40) ? 0x5FF : 0x620;
  const std::uint32_t revision = selector & 0x3F;
  const pellumo::Bytes bytes(data + 2, size - 2);
  static const std::uint32_t kSizes[] = {0, 4096, 8192, 16384, 32768};
  const std::uint32_t chosen = kSizes[data[1] % 5];
  const std::uint32_t page_size = chosen != 0 ? chosen : static_cast<std::uint32_t>(bytes.size());

  auto page = pellumo::Page::parse(bytes, version, revision, page_size);
  if (!page) {
    (void)page.error().message();
    return 0;
  }
  (void)page->first_entry_tag();
  (void)page->stored_tag_count();
  pellumo::TagExtractor tags(*page, version, revision, page_size);
  (void)pellumo::page_key_prefix(*page, tags);
  std::vector<pellumo::ByteRange> used;
  pellumo::used_ranges(tags, tags.tag_count(), used);
  pellumo::for_each_unused(used, page->header_size(), bytes.size(), [](std::size_t, std::size_t) { return true; });
  // Every slot the page has room for, as recovery reads them.
  const pellumo::TagExtractor every_slot(*page, version, revision, page_size,
                                         static_cast<std::uint16_t>(std::min<std::size_t>(bytes.size() / 4, 0xFFFF)));
  for (std::uint32_t i = 0; i < every_slot.tag_count(); ++i) (void)every_slot.extract_tag(static_cast<std::uint16_t>(i));
  pellumo::ByteVector scratch;
  bool rendered = false;  // one error message per input is enough to exercise rendering
  for (std::uint32_t i = 0; i <= tags.tag_count(); ++i) {
    const auto index = static_cast<std::uint16_t>(i);
    auto stored = tags.extract_tag(index);
    auto entry = tags.read_entry_tag(index, scratch);
    if (!entry) continue;
    auto view = pellumo::LeafEntryView::parse(entry->flags, entry->data);
    auto leaf = pellumo::LeafEntry::parse(entry->flags, entry->data);
    auto branch = pellumo::BranchEntry::parse(entry->flags, entry->data);
    if (!branch && !rendered) rendered = !branch.error().message().empty();
  }
  return 0;
}
