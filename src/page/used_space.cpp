#include "page/used_space.h"

#include <algorithm>

namespace pellumo {

void used_ranges(const TagExtractor& tags, std::size_t count, std::vector<ByteRange>& out) {
  out.clear();
  count = std::min<std::size_t>(count, tags.tag_count());
  for (std::size_t i = 0; i < count; ++i) {
    auto tag = tags.extract_tag(static_cast<std::uint16_t>(i));
    if (tag && !tag->data.empty()) out.push_back({tag->at, tag->at + tag->data.size()});
  }
  std::sort(out.begin(), out.end(), [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
  // Merged in place: `kept` ranges are final.
  std::size_t kept = 0;
  for (const ByteRange& r : out) {
    if (kept != 0 && r.begin <= out[kept - 1].end) {
      out[kept - 1].end = std::max(out[kept - 1].end, r.end);
    } else {
      out[kept++] = r;
    }
  }
  out.resize(kept);
}

}  // namespace pellumo
