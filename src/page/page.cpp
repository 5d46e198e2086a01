#include "page/page.h"

#include <algorithm>

namespace pellumo {

PageFormat page_format(std::uint32_t v, std::uint32_t r) {
  if (v < 0x620 || (v == 0x620 && r < 0x0b)) return PageFormat::Legacy;
  if (v == 0x620 && r <= 0x10) return PageFormat::Ecc;
  return PageFormat::Wide;
}

Result<Page> Page::parse(Bytes bytes, std::uint32_t format_version, std::uint32_t format_revision,
                         std::uint32_t page_size) {
  if (bytes.size() < kPageHeaderSize) return EseError::page_data_too_short(kPageHeaderSize, bytes.size());
  Page p;
  p.format_ = page_format(format_version, format_revision);
  p.bytes_ = bytes;
  if (p.format_ == PageFormat::Wide) {
    p.checksum_ = get_u64_le(bytes, 0);
  } else {
    p.checksum_ = get_u32_le(bytes, 0);
    p.second_word_ = get_u32_le(bytes, 4);
  }
  p.db_time_ = get_u64_le(bytes, 8);
  p.previous_page_ = get_u32_le(bytes, 16);
  p.next_page_ = get_u32_le(bytes, kOffsetNextPage);
  p.father_data_page_ = get_u32_le(bytes, 24);
  p.available_data_size_ = get_u16_le(bytes, kOffsetAvailableDataSize);
  p.available_uncommitted_size_ = get_u16_le(bytes, 30);
  p.first_available_data_offset_ = get_u16_le(bytes, 32);
  p.first_available_page_tag_ = get_u16_le(bytes, kOffsetFirstAvailablePageTag);
  p.page_flags_ = get_u32_le(bytes, kOffsetPageFlags);
  if (p.format_ == PageFormat::Wide && page_size > 8192) {
    if (bytes.size() < kWidePageHeaderSize) {
      return EseError::page_data_too_short(kWidePageHeaderSize, bytes.size());
    }
    p.extension_ = bytes.subspan(kPageHeaderSize, kWidePageHeaderSize - kPageHeaderSize);
    p.header_size_ = kWidePageHeaderSize;
  }
  return p;
}

std::uint16_t Page::first_entry_tag() const {
  const std::uint16_t reserved = (first_available_page_tag_ >> 12) & 0x7;
  return std::max<std::uint16_t>(1, reserved);
}

}  // namespace pellumo
