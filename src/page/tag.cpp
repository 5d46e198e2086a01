#include "page/tag.h"

#include <algorithm>

namespace pellumo {

std::uint16_t compute_tag_count(Bytes page, std::uint32_t page_size) {
  if (page.size() < kPageHeaderSize) return 0;
  std::uint16_t count = get_u16_le(page, kOffsetFirstAvailablePageTag) & kTagCountMask;
  if (page_size > 8192) {
    const std::uint16_t available = get_u16_le(page, kOffsetAvailableDataSize);
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
  const std::size_t need = 4 * (static_cast<std::size_t>(i) + 1);
  if (page_.size() < need) return std::nullopt;
  const std::size_t at = page_.size() - need;
  const std::uint8_t b0 = page_[at], b1 = page_[at + 1], b2 = page_[at + 2], b3 = page_[at + 3];
  const std::uint8_t mask = large_ ? 0x7F : 0x1F;
  return Slot{static_cast<std::uint32_t>(b0 + 256u * (b1 & mask)), static_cast<std::uint32_t>(b2 + 256u * (b3 & mask)),
              b3};
}

Result<Tag> TagExtractor::extract_tag(std::uint16_t i) const {
  PELLUMO_CHECK(check_index(i));
  const Slot s = *slot(i);
  const std::size_t start = header_size_ + s.offset;
  if (!in_bounds(page_, start, s.size)) return EseError::tag_offset_out_of_bounds(s.offset, s.size, page_.size());
  Tag tag;
  tag.data = page_.subspan(start, s.size);
  if (large_) {
    tag.flags = tag.data.size() >= 2 ? static_cast<std::uint8_t>(tag.data[1] >> 5) : 0;
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
  const std::size_t start = header_size_ + s.offset;
  Tag tag;
  if (!in_bounds(page_, start, s.size) || s.size == 0) return tag;  // empty, flags 0
  Bytes data = page_.subspan(start, s.size);
  scratch.assign(data.begin(), data.end());
  if (scratch.size() >= 2) {
    tag.flags = static_cast<std::uint8_t>(scratch[1] >> 5);
    scratch[1] &= 0x1F;
  }
  tag.data = Bytes(scratch.data(), scratch.size());
  return tag;
}

}  // namespace pellumo
