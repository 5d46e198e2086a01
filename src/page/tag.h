// Locating the tags of a page: 4-byte slots growing backwards from the page
// end, each giving the size and offset (from the end of the header) of one
// piece of data.
#pragma once

#include <cstdint>

#include "error/ese_error.h"
#include "page/page.h"
#include "utils/bytes.h"

namespace pellumo {

// A tag whose data borrows either the page or a caller's buffer.
struct Tag {
  std::uint8_t flags = 0;  // 3 bits; 0x4: the entry starts with a common-key size
  Bytes data;
};

struct OwnedTag {
  std::uint8_t flags = 0;
  ByteVector data;
};

inline constexpr std::uint8_t kTagFlagCommonKey = 0x4;
// The node was deleted; the engine keeps it until the page is cleaned up.
inline constexpr std::uint8_t kTagFlagDeleted = 0x2;

class TagExtractor {
 public:
  // Infallible: computes the tag count from the page header.
  TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
               std::uint32_t page_size);

  std::uint16_t tag_count() const { return tag_count_; }
  bool large_page_tag_format() const { return large_; }
  std::size_t header_size() const { return header_size_; }

  // The data of tag i as it stands in the page (flag bits of the large-page
  // format included). Fails with InvalidTagNumber, PageDataTooShort or
  // TagOffsetOutOfBounds.
  Result<Tag> extract_tag(std::uint16_t i) const;

  // An owned copy; under the large-page format the flag bits are cleared
  // from byte 1 and a tag running past the page is empty instead of an error.
  Result<OwnedTag> extract_tag_owned(std::uint16_t i) const;

  // What every reader of entries uses: the owned form's content under the
  // large-page format (copied into `scratch`, which the result then
  // borrows), the borrowed form otherwise. No allocation once `scratch`
  // has grown.
  Result<Tag> read_entry_tag(std::uint16_t i, ByteVector& scratch) const;

  // Raw slot fields (size, offset) of tag i without any check of the data
  // extent; nullopt when the slot itself lies outside the page.
  struct Slot {
    std::uint32_t size;
    std::uint32_t offset;
    std::uint8_t b3;
  };
  std::optional<Slot> slot(std::uint16_t i) const;

 private:
  Result<void> check_index(std::uint16_t i) const;

  Bytes page_;
  std::size_t header_size_;
  std::uint16_t tag_count_;
  bool large_;
};

// The tag count of a page of `page_bytes`: the low 12 bits of the tag-count
// word, capped on pages above 8 KiB by the space the header says is free.
std::uint16_t compute_tag_count(Bytes page_bytes, std::uint32_t page_size);

}  // namespace pellumo
