// Branch entries of a B-tree page: a key and the child page that covers it.
#pragma once

#include <cstdint>
#include <optional>

#include "error/ese_error.h"
#include "utils/bytes.h"

namespace pellumo {

struct BranchEntry {
  ByteVector local_key;
  std::optional<std::uint16_t> common_key_size;
  std::uint32_t child_page = 0;     // at least 1 and at most the page count given
  std::uint16_t declared_key_size = 0;  // the stored 15-bit size, which may exceed local_key

  // A child page number is valid when it is at least 1 and names a page of
  // the file (`page_count`, when the caller knows it); tree walks check the
  // page itself anyway, so the bound is the file's, not a constant.
  static Result<BranchEntry> parse(std::uint8_t flags, Bytes bytes,
                                   std::uint32_t page_count = kAnyPageCount);

  // The child page alone, without copying the key: what descents need.
  static Result<std::uint32_t> parse_child(std::uint8_t flags, Bytes bytes,
                                           std::uint32_t page_count = kAnyPageCount);

  static constexpr std::uint32_t kAnyPageCount = 0xFFFFFFFF;
};

// A branch entry that borrows the tag's bytes: what seeks compare.
struct BranchEntryView {
  Bytes local_key;
  std::optional<std::uint16_t> common_key_size;
  std::uint32_t child_page = 0;

  // Fails as BranchEntry::parse does.
  static Result<BranchEntryView> parse(std::uint8_t flags, Bytes bytes,
                                       std::uint32_t page_count = BranchEntry::kAnyPageCount);
};

}  // namespace pellumo
