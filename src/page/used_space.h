// Which bytes of a page its tags point at, and the stretches between them:
// carving's slack is what no tag uses, recovery's holes and tail are the
// unused stretches below and above the data's high-water mark.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "page/tag.h"

namespace pellumo {

struct ByteRange {
  std::size_t begin, end;  // [begin, end) of the page
};

// The data of tags 0..count-1 (at most the extractor's tag count) into
// `out` (replaced; no allocation once it has grown), sorted and merged
// where they overlap or touch. Unreadable and empty tags add nothing.
void used_ranges(const TagExtractor& tags, std::size_t count, std::vector<ByteRange>& out);

// Calls visit(b, e) for each maximal stretch [b, e) of [begin, end) that no
// range of `used` (as used_ranges returns them) covers, in order, until
// visit returns false.
template <class Visit>
void for_each_unused(const std::vector<ByteRange>& used, std::size_t begin, std::size_t end, Visit&& visit) {
  std::size_t at = begin;
  for (const ByteRange& r : used) {
    if (at >= end) return;
    if (r.end <= at) continue;
    if (r.begin > at && !visit(at, std::min(r.begin, end))) return;
    at = std::max(at, r.end);
  }
  if (at < end) visit(at, end);
}

}  // namespace pellumo
