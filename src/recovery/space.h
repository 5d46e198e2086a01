// The pages a database's space trees list as available. A tree's root page
// keeps its space header in the external header (tag 0): a tree of a single
// extent marks its free pages in a 32-bit map, bit i for the page i + 1
// after the root; a tree of several extents keeps an owned-extent tree and,
// on the page after its root, an available-extent tree whose leaf entries
// are keyed by the last page of an extent (big-endian, after a pool byte in
// the newer five-byte keys) and hold its page count (u32 little-endian).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "page/page.h"
#include "page/tag.h"
#include "utils/bytes.h"

namespace pellumo {

class Database;

inline constexpr std::size_t kSpaceHeaderSize = 16;
inline constexpr std::uint8_t kSpaceHeaderMultipleExtent = 0x01;
inline constexpr std::uint8_t kExternalHeaderSpaceField = 0x01;

// The space header inside a root page's external header (tag 0 data), or
// nullopt when the header holds none.
std::optional<Bytes> space_header_of(Bytes external_header);

// Sorted, merged ranges of page numbers.
class PageRanges {
 public:
  void add(std::uint32_t first, std::uint32_t last);
  // Sorts and merges; call once after the last add().
  void finish();
  bool contains(std::uint32_t page) const;
  std::size_t range_count() const { return ranges_.size(); }
  std::uint64_t page_count() const;

 private:
  struct Range {
    std::uint32_t first, last;
  };
  std::vector<Range> ranges_;
};

// Every page some space tree of the file lists as available: the maps of
// single-extent trees and the available-extent trees of the others. Nodes
// flagged deleted are passed over; walks are bounded by a visited set, so
// damaged trees end. Never fails: what cannot be read adds nothing.
PageRanges collect_available_pages(const Database& db);

}  // namespace pellumo
