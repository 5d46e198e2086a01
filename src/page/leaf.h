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
};

// The owning form: copies of the key and the data.
struct LeafEntry {
  ByteVector local_key;
  ByteVector data;
  std::optional<std::uint16_t> common_key_size;

  static Result<LeafEntry> parse(std::uint8_t flags, Bytes bytes);
};

}  // namespace pellumo
