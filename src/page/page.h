// A database page: its header in one of three layouts, and the page bytes,
// borrowed from the mapped file.
#pragma once

#include <cstdint>

#include "error/ese_error.h"
#include "utils/bytes.h"

namespace pellumo {

enum class PageFormat : std::uint8_t { Legacy, Ecc, Wide };

inline constexpr std::uint32_t kPageFlagRoot = 0x01;
inline constexpr std::uint32_t kPageFlagLeaf = 0x02;
inline constexpr std::uint32_t kPageFlagEmpty = 0x08;  // the page holds nothing any more
inline constexpr std::uint32_t kPageFlagSpaceTree = 0x20;
inline constexpr std::uint32_t kPageFlagIndex = 0x40;
inline constexpr std::uint32_t kPageFlagLongValue = 0x80;
// Leaf set and none of space tree, index, long value: a page of table data.
inline constexpr std::uint32_t kTableLeafMask = 0xE2;

inline constexpr std::size_t kPageHeaderSize = 40;
inline constexpr std::size_t kWidePageHeaderSize = 80;
inline constexpr std::size_t kOffsetNextPage = 20;
// The object id of the tree that owns the page (the engine calls it the
// father data page's object id): every page of one tree carries it.
inline constexpr std::size_t kOffsetObjectId = 24;
inline constexpr std::size_t kOffsetAvailableDataSize = 28;
inline constexpr std::size_t kOffsetFirstAvailablePageTag = 34;
inline constexpr std::size_t kOffsetPageFlags = 36;

// The tag-count word packs the count in its low 12 bits and, since the 2022
// format change, the number of reserved tags at the start of the array in
// bits 12-14. Older files never exceed 4095 tags, so masking is always right.
inline constexpr std::uint16_t kTagCountMask = 0x0FFF;

PageFormat page_format(std::uint32_t format_version, std::uint32_t format_revision);

// Format 0x620 from revision 0x11 on, with pages above 8 KiB, widens the
// tag-slot fields to 15 bits and keeps the tag flags in the data.
constexpr bool is_large_page_tag_format(std::uint32_t format_version, std::uint32_t format_revision,
                                        std::uint32_t page_size) {
  return format_version == 0x620 && format_revision >= 0x11 && page_size > 8192;
}

class Page {
 public:
  // Parses the header of `bytes` (one whole page). Borrows `bytes`.
  // Fails with PageDataTooShort when the page is shorter than its header.
  static Result<Page> parse(Bytes bytes, std::uint32_t format_version, std::uint32_t format_revision,
                            std::uint32_t page_size);

  PageFormat format() const { return format_; }
  std::uint64_t checksum() const { return checksum_; }
  // Legacy: page number; Ecc: ECC checksum; Wide: 0 (part of the 64-bit checksum).
  std::uint32_t second_word() const { return second_word_; }
  std::uint64_t db_time() const { return db_time_; }
  std::uint32_t previous_page() const { return previous_page_; }
  std::uint32_t next_page() const { return next_page_; }
  // The object id of the tree the page belongs to.
  std::uint32_t object_id() const { return object_id_; }
  std::uint16_t available_data_size() const { return available_data_size_; }
  std::uint16_t available_uncommitted_size() const { return available_uncommitted_size_; }
  std::uint16_t first_available_data_offset() const { return first_available_data_offset_; }
  // The raw tag-count word, reserved-tag bits included.
  std::uint16_t first_available_page_tag() const { return first_available_page_tag_; }
  std::uint32_t page_flags() const { return page_flags_; }
  Bytes extension() const { return extension_; }
  Bytes bytes() const { return bytes_; }
  std::size_t header_size() const { return header_size_; }

  // The number of tags the header declares, without the large-page cap.
  std::uint16_t stored_tag_count() const { return first_available_page_tag_ & kTagCountMask; }
  // The first tag that holds an entry: tag 0 is the page prefix, and the
  // reserved tags that follow it hold no entries.
  std::uint16_t first_entry_tag() const;

  // A page of no bytes: no tags, no flags. What a reader stands on before
  // it has a page of the file.
  static Page empty() { return Page(); }

  bool is_leaf() const { return (page_flags_ & kPageFlagLeaf) != 0; }
  bool is_table_leaf() const { return (page_flags_ & kTableLeafMask) == kPageFlagLeaf; }

 private:
  Page() = default;

  PageFormat format_ = PageFormat::Legacy;
  std::uint64_t checksum_ = 0;
  std::uint32_t second_word_ = 0;
  std::uint64_t db_time_ = 0;
  std::uint32_t previous_page_ = 0;
  std::uint32_t next_page_ = 0;
  std::uint32_t object_id_ = 0;
  std::uint16_t available_data_size_ = 0;
  std::uint16_t available_uncommitted_size_ = 0;
  std::uint16_t first_available_data_offset_ = 0;
  std::uint16_t first_available_page_tag_ = 0;
  std::uint32_t page_flags_ = 0;
  Bytes extension_;
  Bytes bytes_;
  std::size_t header_size_ = kPageHeaderSize;
};

}  // namespace pellumo
