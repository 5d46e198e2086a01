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
  // The header fields in their order on the page, all 40 bytes present.
  ByteReader r(bytes);
  if (p.format_ == PageFormat::Wide) {
    p.checksum_ = r.u64_le();
  } else {
    p.checksum_ = r.u32_le();
    p.second_word_ = r.u32_le();
  }
  p.db_time_ = r.u64_le();
  p.previous_page_ = r.u32_le();
  p.next_page_ = r.u32_le();                     // kOffsetNextPage
  p.object_id_ = r.u32_le();                     // kOffsetObjectId
  p.available_data_size_ = r.u16_le();           // kOffsetAvailableDataSize
  p.available_uncommitted_size_ = r.u16_le();
  p.first_available_data_offset_ = r.u16_le();
  p.first_available_page_tag_ = r.u16_le();      // kOffsetFirstAvailablePageTag
  p.page_flags_ = r.u32_le();                    // kOffsetPageFlags
  if (p.format_ == PageFormat::Wide && page_size > 8192) {
    p.extension_ = r.bytes(kWidePageHeaderSize - kPageHeaderSize);
    if (!r) return EseError::page_data_too_short(kWidePageHeaderSize, bytes.size());
    p.header_size_ = kWidePageHeaderSize;
  }
  return p;
}

std::uint16_t Page::first_entry_tag() const {
  const std::uint16_t reserved = (first_available_page_tag_ >> 12) & 0x7;
  return std::max<std::uint16_t>(1, reserved);
}

}  // namespace pellumo
