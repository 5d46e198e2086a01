// Locating the tags of a page: 4-byte slots growing backwards from the page
// end, each giving the size and offset (from the end of the header) of one
// piece of data.
#pragma once

#include <cstdint>

#include "error/ese_error.h"
#include "page/page.h"
#include "utils/bytes.h"

namespace pellumo {

// A tag: its flags and its data, which borrows either the page or (for
// the entry form of a large-page tag) a caller's buffer.
struct Tag {
  std::uint8_t flags = 0;  // 3 bits; 0x4: the entry starts with a common-key size
  Bytes data;
  std::size_t at = 0;  // page offset of the stored data's first byte
};

inline constexpr std::uint8_t kTagFlagCommonKey = 0x4;
// The node was deleted; the engine keeps it until the page is cleaned up.
inline constexpr std::uint8_t kTagFlagDeleted = 0x2;

class TagExtractor {
 public:
  // Infallible: computes the tag count from the page header.
  TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
               std::uint32_t page_size);
  // Reads the first `slot_count` slots whatever the header says: recovery
  // looks past the tag count, where slots of removed nodes may remain.
  TagExtractor(const Page& page, std::uint32_t format_version, std::uint32_t format_revision,
               std::uint32_t page_size, std::uint16_t slot_count);

  std::uint16_t tag_count() const { return tag_count_; }
  bool large_page_tag_format() const { return large_; }
  std::size_t header_size() const { return header_size_; }

  // Tag i as it stands in the page, flag bits of the large-page format
  // included: what carving and recovery scan, and what tag 0 (which holds
  // no entry) is. Fails with InvalidTagNumber, PageDataTooShort or
  // TagOffsetOutOfBounds.
  Result<Tag> extract_tag(std::uint16_t i) const;

  // Tag i as an entry reader takes it. Under the large-page format the
  // flag bits are cleared from byte 1 of a copy in `scratch` (which the
  // result then borrows; no allocation once it has grown), and a tag
  // running past the page is empty instead of an error. Otherwise
  // extract_tag's result.
  Result<Tag> read_entry_tag(std::uint16_t i, ByteVector& scratch) const;

 private:
  struct Slot {
    std::size_t size;
    std::size_t at;  // page offset of the data
    std::uint8_t b3;
  };
  // Slot i decoded; fails when i is past the tag count or its slot lies
  // outside the page. The data extent is not checked.
  Result<Slot> slot(std::uint16_t i) const;
  std::uint8_t flags_of(const Slot& slot, Bytes data) const;

  Bytes page_;
  std::size_t header_size_;
  std::uint16_t tag_count_;
  bool large_;
};

// The key prefix that the entries of `page` may share part of (a node's
// common-key size counts from its start). It is tag 0 as stored: the engine
// keeps no flag bits in tag 0, whatever the page size. A root page keeps
// its tree's space header there instead and has no prefix, except the root
// of a space tree, whose prefix follows a split buffer (none when tag 0 is
// shorter than one). Empty when tag 0 cannot be read.
Bytes page_key_prefix(const Page& page, const TagExtractor& tags);

// Bytes of the split buffer at the start of a space tree root's tag 0: two
// extents of a last page and a page count, four bytes each.
inline constexpr std::size_t kSplitBufferSize = 16;

// The tag count of a page of `page_bytes`: the low 12 bits of the tag-count
// word, capped on pages above 8 KiB by the space the header says is free.
std::uint16_t compute_tag_count(Bytes page_bytes, std::uint32_t page_size);

}  // namespace pellumo
