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

Result<void> TagExtractor::check_index(std::uint16_t i) const {
  if (i >= tag_count_) return EseError::invalid_tag_number(i);
  const std::size_t need = 4 * (static_cast<std::size_t>(i) + 1);
  if (page_.size() < need) return EseError::page_data_too_short(need, page_.size());
  return Ok{};
}

std::optional<TagExtractor::Slot> TagExtractor::slot(std::uint16_t i) const {
  // Slot i is the i-th 4 bytes from the end of the page.
  const std::size_t need = 4 * (static_cast<std::size_t>(i) + 1);
  if (page_.size() < need) return std::nullopt;
  ByteReader r(page_, page_.size() - need);
  const std::uint8_t b0 = r.u8(), b1 = r.u8(), b2 = r.u8(), b3 = r.u8();
  const std::uint8_t mask = large_ ? 0x7F : 0x1F;
  return Slot{static_cast<std::uint32_t>(b0 + 256u * (b1 & mask)), static_cast<std::uint32_t>(b2 + 256u * (b3 & mask)),
              b3};
}

Result<Tag> TagExtractor::extract_tag(std::uint16_t i) const {
  PELLUMO_CHECK(check_index(i));
  const Slot s = *slot(i);
  auto data = slice(page_, header_size_ + s.offset, s.size);
  if (!data) return EseError::tag_offset_out_of_bounds(s.offset, s.size, page_.size());
  Tag tag;
  tag.data = *data;
  if (large_) {
    // The flags are the top 3 bits of the data's second byte.
    tag.flags = static_cast<std::uint8_t>(read_u8(tag.data, 1).value_or(0) >> 5);
  } else {
    tag.flags = static_cast<std::uint8_t>(s.b3 >> 5);
  }
  return tag;
}

Result<OwnedTag> TagExtractor::extract_tag_owned(std::uint16_t i) const {
  ByteVector scratch;
  PELLUMO_TRY(Tag tag, read_entry_tag(i, scratch));
  OwnedTag owned;
  owned.flags = tag.flags;
  owned.data.assign(tag.data.begin(), tag.data.end());
  return owned;
}

Result<Tag> TagExtractor::read_entry_tag(std::uint16_t i, ByteVector& scratch) const {
  if (!large_) return extract_tag(i);
  PELLUMO_CHECK(check_index(i));
  const Slot s = *slot(i);
  Tag tag;
  auto data = slice(page_, header_size_ + s.offset, s.size);
  if (!data || data->empty()) return tag;  // empty, flags 0
  scratch.assign(data->begin(), data->end());
  if (scratch.size() >= 2) {
    tag.flags = static_cast<std::uint8_t>(scratch[1] >> 5);
    scratch[1] &= 0x1F;
  }
  tag.data = Bytes(scratch.data(), scratch.size());
  return tag;
}

}  // namespace pellumo
