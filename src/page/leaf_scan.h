// The entries of one leaf page, located in a single pass over its tag
// array: slot, extent check and key prefix of every tag in turn, each
// entry's data borrowed from the page. Bulk readers walk the result in a
// tight loop instead of reading tag after tag through TagExtractor and
// LeafEntryView.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "page/page.h"
#include "utils/bytes.h"

namespace pellumo {

struct LeafScan {
  // The data of each entry read, in tag order; views into the page.
  std::vector<Bytes> entries;
  // Tags passed over because their slot, extent or key prefix could not be
  // read (a cursor skips them the same way).
  std::size_t unreadable = 0;
  // Entries passed over because their tag is flagged deleted (only when
  // asked to).
  std::size_t deleted = 0;
};

// Fills `out` (replaced, its capacity kept) with the entries of `page` that
// a table cursor reads as records: tags from the first entry tag up to the
// stored tag count, nothing at all from a page that is not a leaf of table
// data. `large_page_tag_format` and `page_size` are the database's.
void scan_leaf_entries(const Page& page, bool large_page_tag_format, std::uint32_t page_size, bool skip_deleted,
                       LeafScan& out);

}  // namespace pellumo
