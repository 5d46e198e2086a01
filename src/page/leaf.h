// Leaf entries of a B-tree page: a key and the data stored under it.
#pragma once

#include <cstdint>
#include <optional>

#include "error/ese_error.h"
#include "utils/bytes.h"

namespace pellumo {

// A leaf entry that borrows the tag's bytes; what the hot loops use.
struct LeafEntryView {
  Bytes local_key;
  Bytes data;
  std::optional<std::uint16_t> common_key_size;

  // A key declared longer than the tag is cut at the tag's end: local_key
  // holds what there is. Fails with a Parse error when the tag is too short
  // for its key prefix.
  static Result<LeafEntryView> parse(std::uint8_t flags, Bytes bytes);

  // The same entry read where it lies on the page, without the copy that
  // clears the tag flags: under the large-page tag format they are the top
  // three bits of byte 1, which is always part of the first size word (a
  // common-key or local-key size), so masking that word is all it takes
  // and the key and data can borrow the page. Nullopt where parse fails.
  static std::optional<LeafEntryView> parse_in_place(std::uint8_t flags, Bytes bytes, bool large_page_tag_format);
};

// The owning form: copies of the key and the data.
struct LeafEntry {
  ByteVector local_key;
  ByteVector data;
  std::optional<std::uint16_t> common_key_size;

  static Result<LeafEntry> parse(std::uint8_t flags, Bytes bytes);
};

}  // namespace pellumo
