// Branch entries of a B-tree page: a key and the child page that covers it.
#pragma once

#include <cstdint>
#include <optional>

#include "error/ese_error.h"
#include "utils/bytes.h"

namespace pellumo {

// Child page numbers above this are taken as damage, whatever the file size.
inline constexpr std::uint32_t kMaxChildPage = 100000;

struct BranchEntry {
  ByteVector local_key;
  std::optional<std::uint16_t> common_key_size;
  std::uint32_t child_page = 0;     // always in 1..kMaxChildPage
  std::uint16_t local_key_size = 0;  // the stored 15-bit size, as read

  static Result<BranchEntry> parse(std::uint8_t flags, Bytes bytes);

  // The child page alone, without copying the key: what descents need.
  static Result<std::uint32_t> parse_child(std::uint8_t flags, Bytes bytes);
};

}  // namespace pellumo
