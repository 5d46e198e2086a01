#include "page/tag.h"

#include <algorithm>

namespace pellumo {

std::uint16_t compute_tag_count(Bytes page, std::uint32_t page_size) {
  if (page.size() < kPageHeaderSize) return 0;
  std::uint16_t count = read_u16_le(page, kOffsetFirstAvailablePageTag).value_or(0) & kTagCountMask;
  if (page_size > 8192) {
    const std::uint16_t available = read_u16_le(page, kOffsetAvailableDataSize).value_or(0);
    const std::size_t free = page.size() > available ? page.size() - available : 0;
    count = std::min<std::uint16_t>(count, static_cast<std::uint16_t>((free / 4) & 0xFFFF));
  }
  return count;
}

TagExtractor::TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
                           std::uint32_t page_size)
    : page_(page.bytes()),
      header_size_(page.header_size()),
      tag_count_(compute_tag_count(page.bytes(), page_size)),
      large_(is_large_page_tag_format(format_version, format_revision, page_size)) {}

TagExtractor::TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
                           std::uint32_t page_size, std::uint16_t slot_count)
    : TagExtractor(page, format_version, format_revision, page_size) {
  tag_count_ = slot_count;
}

Result<TagExtractor::Slot> TagExtractor::slot(std::uint16_t i) const {
  if (i >= tag_count_) return EseError::invalid_tag_number(i);
  // Slot i is the i-th 4 bytes from the end of the page.
  const std::size_t need = 4 * (static_cast<std::size_t>(i) + 1);
  if (page_.size() < need) return EseError::page_data_too_short(need, page_.size());
  ByteReader r(page_, page_.size() - need);
  const std::uint8_t b0 = r.u8(), b1 = r.u8(), b2 = r.u8(), b3 = r.u8();
  // 13-bit fields on small pages, 15-bit ones under the large-page format;
  // the top bits of b3 are the flags of a small page's tag.
  const std::uint8_t mask = large_ ? 0x7F : 0x1F;
  return Slot{static_cast<std::size_t>(b0 + 256u * (b1 & mask)),
              header_size_ + static_cast<std::size_t>(b2 + 256u * (b3 & mask)), b3};
}

std::uint8_t TagExtractor::flags_of(const Slot& slot, Bytes data) const {
  // Under the large-page format the flags are the top 3 bits of the data's
  // second byte (none in a shorter tag).
  if (large_) return static_cast<std::uint8_t>(read_u8(data, 1).value_or(0) >> 5);
  return static_cast<std::uint8_t>(slot.b3 >> 5);
}

Result<Tag> TagExtractor::extract_tag(std::uint16_t i) const {
  PELLUMO_TRY(const Slot s, slot(i));
  auto data = slice(page_, s.at, s.size);
  if (!data) return EseError::tag_offset_out_of_bounds(s.at - header_size_, s.size, page_.size());
  return Tag{flags_of(s, *data), *data, s.at};
}

Result<Tag> TagExtractor::read_entry_tag(std::uint16_t i, ByteVector& scratch) const {
  if (!large_) return extract_tag(i);
  PELLUMO_TRY(const Slot s, slot(i));
  Tag tag;
  tag.at = s.at;
  auto data = slice(page_, s.at, s.size);
  if (!data || data->empty()) return tag;  // empty, flags 0
  tag.flags = flags_of(s, *data);
  scratch.assign(data->begin(), data->end());
  if (scratch.size() >= 2) scratch[1] &= 0x1F;
  tag.data = Bytes(scratch.data(), scratch.size());
  return tag;
}

Bytes page_key_prefix(const Page& page, const TagExtractor& tags) {
  auto tag0 = tags.extract_tag(0);
  if (!tag0) return {};
  if (!(page.page_flags() & kPageFlagRoot)) return tag0->data;
  if (!(page.page_flags() & kPageFlagSpaceTree) || tag0->data.size() < kSplitBufferSize) return {};
  return tag0->data.subspan(kSplitBufferSize);
}

}  // namespace pellumo
