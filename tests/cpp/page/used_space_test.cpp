#include "page/used_space.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "fixture/page_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;
using fixture::PageBuilder;

const Format kSmall{4096, 0x620, 0x14};

using Stretches = std::vector<std::pair<std::size_t, std::size_t>>;

Stretches unused(const std::vector<ByteRange>& used, std::size_t begin, std::size_t end, std::size_t stop_after = 99) {
  Stretches out;
  for_each_unused(used, begin, end, [&](std::size_t b, std::size_t e) {
    out.emplace_back(b, e);
    return out.size() < stop_after;
  });
  return out;
}

TEST(UsedSpace, RangesOfTagDataAreSortedAndMerged) {
  // Tags placed out of order, one overlapping another, one touching, one
  // empty and one running past the page.
  PageBuilder b(kSmall);
  b.add_raw_tag(10, 100)   // [140, 150)
      .add_raw_tag(20, 0)  // [40, 60)
      .add_raw_tag(10, 55)  // [95, 105): overlaps nothing
      .add_raw_tag(30, 20)  // [60, 90): touches [40, 60)
      .add_raw_tag(0, 300)  // empty
      .add_raw_tag(10, 145)  // [185, 195)
      .add_raw_tag(5, 142)  // [182, 187): overlaps the one before
      .add_raw_tag(0x200, 4096 - 40 - 0x100);  // past the end: no range
  const ByteVector bytes = b.build();
  const Bytes view(bytes.data(), bytes.size());
  const Page page = *Page::parse(view, 0x620, 0x14, 4096);
  const TagExtractor tags(page, 0x620, 0x14, 4096);
  std::vector<ByteRange> used = {{1, 2}};  // replaced, not added to
  used_ranges(tags, tags.tag_count(), used);
  std::vector<std::pair<std::size_t, std::size_t>> got;
  for (const ByteRange& r : used) got.emplace_back(r.begin, r.end);
  EXPECT_EQ(got, (Stretches{{40, 90}, {95, 105}, {140, 150}, {182, 195}}));
  // Only the first `count` tags, and never past the tag count.
  used_ranges(tags, 1, used);
  ASSERT_EQ(used.size(), 1u);
  EXPECT_EQ(used[0].begin, 140u);
  used_ranges(tags, 1000, used);
  EXPECT_EQ(used.size(), 4u);
}

TEST(UsedSpace, UnusedStretches) {
  const std::vector<ByteRange> used = {{40, 90}, {95, 105}, {140, 150}};
  struct Case {
    const char* what;
    std::size_t begin, end;
    Stretches expected;
  };
  const std::vector<Case> cases = {
      {"between and after", 40, 200, {{90, 95}, {105, 140}, {150, 200}}},
      {"window starting inside a range", 100, 145, {{105, 140}}},
      {"window ending inside a range", 0, 97, {{0, 40}, {90, 95}}},
      {"window inside one range", 41, 89, {}},
      {"empty window", 120, 120, {}},
      {"inverted window", 130, 120, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(unused(used, c.begin, c.end), c.expected) << c.what;
  EXPECT_EQ(unused({}, 5, 9), (Stretches{{5, 9}}));
  // Stops when told to.
  EXPECT_EQ(unused(used, 40, 200, 1), (Stretches{{90, 95}}));
}

}  // namespace
}  // namespace pellumo
