#include "page/tag.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fixture/page_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;
using fixture::PageBuilder;
using fixture::TagSpec;

const Format kSmall{4096, 0x620, 0x14};
const Format kLarge{32768, 0x620, 0x14};

// A parsed page that keeps its bytes alive.
struct ParsedPage {
  ByteVector bytes;
  Format format;
  Page page;

  static ParsedPage of(ByteVector bytes, const Format& f) {
    Bytes view(bytes.data(), bytes.size());
    Page page = *Page::parse(view, f.format_version, f.format_revision, f.page_size);
    return ParsedPage{std::move(bytes), f, std::move(page)};
  }
  TagExtractor tags() const { return TagExtractor(page, format.format_version, format.format_revision, format.page_size); }
};

ByteVector data(std::size_t n, std::uint8_t first = 0x10) {
  ByteVector out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

ByteVector copy(Bytes b) { return ByteVector(b.begin(), b.end()); }

TEST(TagExtractor, DecodesSmallFormatSlots) {
  // Slot bytes 10 00 20 40: size 16, offset 32, flags 2; data at [72, 88).
  PageBuilder b(kSmall);
  b.add_raw_slot(0x10, 0x00, 0x20, 0x40);
  b.set_tag_count_word(1);
  ByteVector bytes = b.build();
  for (std::size_t i = 72; i < 88; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const ParsedPage p = ParsedPage::of(bytes, kSmall);
  const TagExtractor tags = p.tags();
  EXPECT_FALSE(tags.large_page_tag_format());
  auto tag = tags.extract_tag(0);
  ASSERT_TRUE(tag.ok());
  EXPECT_EQ(tag->flags, 2);
  EXPECT_EQ(tag->data.data(), p.bytes.data() + 72);
  EXPECT_EQ(tag->data.size(), 16u);
  EXPECT_EQ(tag->at, 72u);
  // Small pages: the entry form is the stored one, without a copy.
  ByteVector scratch;
  auto entry = tags.read_entry_tag(0, scratch);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry->flags, 2);
  EXPECT_EQ(entry->data.data(), tag->data.data());
  EXPECT_TRUE(scratch.empty());
  // The 13-bit fields ignore the flag bits of b1 and b3.
  PageBuilder wide(kSmall);
  wide.add_raw_slot(0x02, 0xE0, 0x04, 0xE0).set_tag_count_word(1);
  const ParsedPage w = ParsedPage::of(wide.build(), kSmall);
  auto masked = w.tags().extract_tag(0);
  ASSERT_TRUE(masked.ok());
  EXPECT_EQ(masked->data.size(), 2u);
  EXPECT_EQ(masked->data.data(), w.bytes.data() + 44);
  EXPECT_EQ(masked->flags, 7);
}

TEST(TagExtractor, LargeFormatKeepsFlagsInTheData) {
  // Slot bytes 10 00 20 00, data byte 1 = 0xE5: size 16, offset 32, flags 7.
  PageBuilder b(kLarge);
  b.add_raw_slot(0x10, 0x00, 0x20, 0x00).set_tag_count_word(1);
  ByteVector bytes = b.build();
  const std::size_t start = 80 + 32;
  for (std::size_t i = 0; i < 16; ++i) bytes[start + i] = static_cast<std::uint8_t>(0x30 + i);
  bytes[start + 1] = 0xE5;
  const ParsedPage p = ParsedPage::of(bytes, kLarge);
  const TagExtractor tags = p.tags();
  EXPECT_TRUE(tags.large_page_tag_format());
  EXPECT_EQ(tags.header_size(), 80u);

  auto borrowed = tags.extract_tag(0);
  ASSERT_TRUE(borrowed.ok());
  EXPECT_EQ(borrowed->flags, 7);
  EXPECT_EQ(borrowed->data.data(), p.bytes.data() + start);
  EXPECT_EQ(borrowed->data[1], 0xE5);  // as it stands in the page

  EXPECT_EQ(borrowed->at, start);

  ByteVector scratch;
  auto entry = tags.read_entry_tag(0, scratch);
  ASSERT_TRUE(entry.ok());
  EXPECT_EQ(entry->flags, 7);
  EXPECT_EQ(entry->at, start);
  ASSERT_EQ(entry->data.size(), 16u);
  EXPECT_EQ(entry->data.data(), scratch.data());
  EXPECT_EQ(entry->data[0], 0x30);
  EXPECT_EQ(entry->data[1], 0x05);
  EXPECT_EQ(entry->data[2], 0x32);
  EXPECT_EQ(p.bytes[start + 1], 0xE5);  // the page itself is untouched
}

TEST(TagExtractor, LargeFormatShortAndStrayTags) {
  // Tags of 0, 1 and 2 bytes, then one running past the page end.
  PageBuilder b(kLarge);
  b.add_tag(0, {}).add_tag(0, {0xFF}).add_tag(0, {0x01, 0xA2});
  b.add_raw_tag(0x100, 32768 - 80 - 0x80);
  const ParsedPage p = ParsedPage::of(b.build(), kLarge);
  const TagExtractor tags = p.tags();
  ASSERT_EQ(tags.tag_count(), 4);
  struct Case {
    std::uint16_t i;
    std::uint8_t flags;
    ByteVector entry;
  } cases[] = {{0, 0, {}}, {1, 0, {0xFF}}, {2, 5, {0x01, 0x02}}, {3, 0, {}}};
  ByteVector scratch;
  for (const Case& c : cases) {
    auto entry = tags.read_entry_tag(c.i, scratch);
    ASSERT_TRUE(entry.ok()) << c.i;
    EXPECT_EQ(entry->flags, c.flags) << c.i;
    EXPECT_EQ(copy(entry->data), c.entry) << c.i;
  }
  // Only the stored form reports the stray tag; a 1-byte tag has no flags.
  EXPECT_EQ(tags.extract_tag(1)->flags, 0);
  EXPECT_EQ(tags.extract_tag(3).error().message(), "Tag offset out of bounds: offset=32560, size=256, page_size=32768");
}

TEST(TagExtractor, ReportsBadTagsWithTheirNumbers) {
  PageBuilder b(kSmall);
  b.add_tag(0, {}).add_tag(0, data(8));
  b.add_raw_tag(0x200, 4096 - 40 - 0x100);  // runs past the end
  b.add_raw_tag(0, 4096 - 40);              // empty, exactly at the end: fine
  const ParsedPage p = ParsedPage::of(b.build(), kSmall);
  const TagExtractor tags = p.tags();
  ASSERT_EQ(tags.tag_count(), 4);
  EXPECT_EQ(tags.extract_tag(2).error().message(), "Tag offset out of bounds: offset=3800, size=512, page_size=4096");
  ByteVector scratch;
  EXPECT_EQ(tags.read_entry_tag(2, scratch).error().message(),
            "Tag offset out of bounds: offset=3800, size=512, page_size=4096");
  EXPECT_TRUE(tags.extract_tag(3).ok());
  EXPECT_TRUE(tags.extract_tag(3)->data.empty());
  for (std::uint16_t i : {std::uint16_t{4}, std::uint16_t{4095}, std::uint16_t{65535}}) {
    EXPECT_EQ(tags.extract_tag(i).error().message(), "Invalid tag number: " + std::to_string(i));
    EXPECT_EQ(tags.read_entry_tag(i, scratch).error().message(), "Invalid tag number: " + std::to_string(i));
  }
}

TEST(TagExtractor, SlotsBeforeThePageStart) {
  // A 100-byte page claiming 30 tags: tag 24's slot starts at byte 0, tag 25's before it.
  const Format f{100, 0x620, 0x14};
  const ParsedPage p = ParsedPage::of(PageBuilder(f).set_tag_count_word(30).build(), f);
  const TagExtractor tags = p.tags();
  ASSERT_EQ(tags.tag_count(), 30);
  EXPECT_EQ(tags.extract_tag(25).error().message(), "Page data too short, expected at least 104 bytes, got 100");
  ByteVector scratch;
  EXPECT_EQ(tags.read_entry_tag(29, scratch).error().message(),
            "Page data too short, expected at least 120 bytes, got 100");
  // Tag 24's slot is the page's first 4 bytes: a slot like any other.
  EXPECT_TRUE(tags.extract_tag(24).ok());
}

TEST(TagExtractor, CountsTags) {
  struct Case {
    Format format;
    std::uint16_t word;
    std::optional<std::uint16_t> available;
    std::size_t length;  // page bytes given
    std::uint16_t count;
  } cases[] = {
      {kSmall, 5, std::nullopt, 4096, 5},
      // The reserved-tag bits are not part of the count.
      {kSmall, 0x3005, std::nullopt, 4096, 5},
      {kSmall, 0xFFFF, std::nullopt, 4096, 4095},
      // Pages of 8 KiB and less are not capped by the free space.
      {Format{8192, 0x620, 0x14}, 900, 8000, 8192, 900},
      // Larger pages: at most (length - available) / 4 tags.
      {kLarge, 900, 30000, 32768, 692},
      {kLarge, 0xFFFF, 0, 32768, 4095},
      {kLarge, 10, 40000, 32768, 0},
      {Format{16384, 0x621, 0}, 12, 16360, 16384, 6},
      // Shorter than a header: no tags at all.
      {kSmall, 5, std::nullopt, 39, 0},
  };
  for (const Case& c : cases) {
    PageBuilder b(c.format);
    b.set_tag_count_word(c.word);
    if (c.available) b.set_available_data_size(*c.available);
    ByteVector bytes = b.build();
    bytes.resize(c.length);
    const Bytes view(bytes.data(), bytes.size());
    EXPECT_EQ(compute_tag_count(view, c.format.page_size), c.count) << c.word << " on " << c.format.page_size;
    if (c.length >= 40) {
      auto page = Page::parse(view, c.format.format_version, c.format.format_revision, c.format.page_size);
      ASSERT_TRUE(page.ok());
      EXPECT_EQ(TagExtractor(*page, c.format.format_version, c.format.format_revision, c.format.page_size).tag_count(),
                c.count);
    }
  }
}

// Pages written by the fixture come back tag for tag in every slot layout.
TEST(TagExtractor, ReadsBackBuiltPages) {
  for (const Format f : {Format{4096, 0x620, 0x09}, Format{8192, 0x620, 0x0c}, Format{16384, 0x620, 0x11},
                         Format{32768, 0x620, 0x14}, Format{32768, 0x621, 0x00}, Format{16384, 0x620, 0x0f}}) {
    SCOPED_TRACE(f.page_size);
    PageBuilder b(f);
    std::vector<TagSpec> specs;
    specs.push_back(TagSpec::of(0, {}));
    for (std::uint8_t i = 1; i < 20; ++i) specs.push_back(TagSpec::of(i % 8, data(2 + i * 5, i)));
    for (const TagSpec& s : specs) b.add_tag(s);
    // Then the largest tag that still fits, as far as the slot layout reaches.
    const std::size_t last = std::min<std::size_t>(f.max_tag_field(), b.free_space() - 4);
    ASSERT_TRUE(b.can_add(last));
    specs.push_back(TagSpec::of(4, data(last)));
    b.add_tag(specs.back());
    const ParsedPage p = ParsedPage::of(b.build(), f);
    const TagExtractor tags = p.tags();
    ASSERT_EQ(tags.tag_count(), specs.size());
    ByteVector scratch;
    for (std::uint16_t i = 0; i < specs.size(); ++i) {
      auto tag = tags.read_entry_tag(i, scratch);
      ASSERT_TRUE(tag.ok()) << i;
      ByteVector expected = specs[i].data;
      // The large-page format cannot keep flag bits in byte 1 apart from the data.
      if (f.large_page_tags() && expected.size() >= 2) expected[1] &= 0x1F;
      EXPECT_EQ(tag->flags, specs[i].flags) << i;
      EXPECT_EQ(copy(tag->data), expected) << i;
    }
  }
}

// What every reader takes as the key prefix of a page.
TEST(PageKeyPrefix, ByPageKind) {
  using fixture::kPageLeaf;
  using fixture::kPageRoot;
  using fixture::kPageSpaceTree;
  const ByteVector split_and_prefix = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0x7F, 0xE5};
  struct Case {
    const char* what;
    Format format;
    std::uint32_t flags;
    std::optional<ByteVector> tag0;  // nullopt: the page has no tags
    ByteVector prefix;
  };
  const std::vector<Case> cases = {
      {"leaf", kSmall, kPageLeaf, ByteVector{0x7F, 0x80, 0x01}, {0x7F, 0x80, 0x01}},
      // The engine keeps no flags in tag 0: byte 1 is the key's, all of it.
      {"large-page leaf keeps byte 1 whole", kLarge, kPageLeaf, ByteVector{0x7F, 0xE5, 0x01}, {0x7F, 0xE5, 0x01}},
      {"root page: tag 0 is the space header", kSmall, kPageRoot | kPageLeaf, ByteVector(16, 9), {}},
      {"space tree root: after the split buffer", kLarge, kPageRoot | kPageSpaceTree, split_and_prefix,
       {0x7F, 0xE5}},
      {"space tree root without a split buffer", kSmall, kPageRoot | kPageSpaceTree, ByteVector(15, 9), {}},
      {"space tree page below the root", kSmall, kPageSpaceTree | kPageLeaf, ByteVector{5, 6}, {5, 6}},
      {"no tag 0", kSmall, kPageLeaf, std::nullopt, {}},
  };
  for (const Case& c : cases) {
    PageBuilder b(c.format);
    b.set_flags(c.flags);
    if (c.tag0) b.add_tag(0, *c.tag0).add_tag(0, {1, 2, 3});
    const ParsedPage p = ParsedPage::of(b.build(), c.format);
    EXPECT_EQ(copy(page_key_prefix(p.page, p.tags())), c.prefix) << c.what;
  }
}

TEST(TagExtractor, ReadsSlotsPastTheCountWhenAsked) {
  PageBuilder b(kSmall);
  b.add_tag(0, {}).add_tag(0, data(4)).add_tag(kTagFlagDeleted, data(3, 0x60)).set_tag_count_word(2);
  const ParsedPage p = ParsedPage::of(b.build(), kSmall);
  EXPECT_EQ(p.tags().extract_tag(2).error().kind(), EseError::Kind::InvalidTagNumber);
  const TagExtractor all(p.page, kSmall.format_version, kSmall.format_revision, kSmall.page_size, 3);
  auto stale = all.extract_tag(2);
  ASSERT_TRUE(stale.ok());
  EXPECT_EQ(stale->flags, kTagFlagDeleted);
  EXPECT_EQ(copy(stale->data), data(3, 0x60));
  EXPECT_EQ(all.extract_tag(3).error().kind(), EseError::Kind::InvalidTagNumber);
}

}  // namespace
}  // namespace pellumo
