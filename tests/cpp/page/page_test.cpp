#include "page/page.h"

#include <gtest/gtest.h>

#include "fixture/page_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;
using fixture::PageBuilder;

// The page borrows `bytes`, which must outlive it.
Result<Page> parse(const ByteVector& bytes, const Format& f) {
  return Page::parse(Bytes(bytes.data(), bytes.size()), f.format_version, f.format_revision, f.page_size);
}
Result<Page> parse(ByteVector&&, const Format&) = delete;

TEST(PageParse, ChoosesTheHeaderLayoutFromVersionAndRevision) {
  struct Case {
    std::uint32_t version, revision, page_size;
    PageFormat format;
    std::size_t header_size;
  } cases[] = {
      {0x620, 0x0a, 8192, PageFormat::Legacy, 40},  {0x620, 0x0b, 8192, PageFormat::Ecc, 40},
      {0x620, 0x10, 8192, PageFormat::Ecc, 40},     {0x620, 0x11, 8192, PageFormat::Wide, 40},
      {0x620, 0x14, 8192, PageFormat::Wide, 40},    {0x620, 0x14, 16384, PageFormat::Wide, 80},
      {0x620, 0x10, 16384, PageFormat::Ecc, 40},    {0x621, 0x00, 32768, PageFormat::Wide, 80},
      {0x5ff, 0x20, 32768, PageFormat::Legacy, 40}, {0x620, 0x14, 8193, PageFormat::Wide, 80},
  };
  for (const Case& c : cases) {
    const Format f{c.page_size, c.version, c.revision};
    const ByteVector bytes = PageBuilder(f).build();
    auto page = parse(bytes, f);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page->format(), c.format) << std::hex << c.version << " " << c.revision << " " << std::dec << c.page_size;
    EXPECT_EQ(page->header_size(), c.header_size) << c.page_size;
    EXPECT_EQ(page->extension().size(), c.header_size - 40);
  }
}

TEST(PageParse, ReadsEveryHeaderField) {
  for (const Format f : {Format{4096, 0x620, 0x09}, Format{4096, 0x620, 0x0c}, Format{8192, 0x620, 0x14},
                         Format{32768, 0x620, 0x14}}) {
    PageBuilder b(f);
    b.set_checksum(0x1122334455667788ull)
        .set_second_word(0x99AABBCC)
        .set_db_time(0x0102030405060708ull)
        .set_previous_page(11)
        .set_next_page(13)
        .set_object_id(17)
        .set_available_data_size(0x1234)
        .set_available_uncommitted_size(0x2345)
        .set_first_available_data_offset(0x3456)
        .set_tag_count_word(0x3005)
        .set_flags(0x0000A8C2)
        .set_extension(ByteVector(40, 0xEE));
    const ByteVector bytes = b.build();
    auto page = parse(bytes, f);
    ASSERT_TRUE(page.ok());
    if (page->format() == PageFormat::Wide) {
      EXPECT_EQ(page->checksum(), 0x1122334455667788ull);
      EXPECT_EQ(page->second_word(), 0u);
    } else {
      EXPECT_EQ(page->checksum(), 0x55667788ull);
      EXPECT_EQ(page->second_word(), 0x99AABBCCu);
    }
    EXPECT_EQ(page->db_time(), 0x0102030405060708ull);
    EXPECT_EQ(page->previous_page(), 11u);
    EXPECT_EQ(page->next_page(), 13u);
    EXPECT_EQ(page->object_id(), 17u);
    EXPECT_EQ(page->available_data_size(), 0x1234);
    EXPECT_EQ(page->available_uncommitted_size(), 0x2345);
    EXPECT_EQ(page->first_available_data_offset(), 0x3456);
    EXPECT_EQ(page->first_available_page_tag(), 0x3005);
    EXPECT_EQ(page->stored_tag_count(), 5);
    EXPECT_EQ(page->page_flags(), 0xA8C2u);
    EXPECT_EQ(page->bytes().size(), f.page_size);
    if (page->header_size() == 80) {
      EXPECT_EQ(page->extension()[0], 0xEE);
      EXPECT_EQ(page->extension()[39], 0xEE);
    }
  }
}

TEST(PageParse, RefusesPagesShorterThanTheirHeader) {
  struct Case {
    Format format;
    std::size_t length;
    std::string message;  // empty: parses
  } cases[] = {
      {{4096, 0x620, 0x0c}, 39, "Page data too short, expected at least 40 bytes, got 39"},
      {{4096, 0x620, 0x0c}, 0, "Page data too short, expected at least 40 bytes, got 0"},
      {{4096, 0x620, 0x0c}, 40, ""},
      {{16384, 0x620, 0x14}, 39, "Page data too short, expected at least 40 bytes, got 39"},
      {{16384, 0x620, 0x14}, 79, "Page data too short, expected at least 80 bytes, got 79"},
      {{16384, 0x620, 0x14}, 80, ""},
      // Only Wide pages above 8 KiB carry the second header.
      {{16384, 0x620, 0x10}, 40, ""},
      {{8192, 0x620, 0x14}, 40, ""},
  };
  for (const Case& c : cases) {
    ByteVector bytes = PageBuilder(c.format).build();
    bytes.resize(c.length);
    auto page = parse(bytes, c.format);
    if (c.message.empty()) {
      EXPECT_TRUE(page.ok()) << c.length;
    } else {
      ASSERT_FALSE(page.ok()) << c.length;
      EXPECT_EQ(page.error().kind(), EseError::Kind::PageDataTooShort);
      EXPECT_EQ(page.error().message(), c.message);
    }
  }
}

TEST(PageParse, ReservedTagBitsGiveTheFirstEntryTag) {
  struct Case {
    std::uint16_t word;
    std::uint16_t count, first_entry;
  } cases[] = {
      {0x0005, 5, 1}, {0x1005, 5, 1}, {0x2005, 5, 2}, {0x3005, 5, 3},
      {0x7FFF, 4095, 7}, {0xFFFF, 4095, 7}, {0x8003, 3, 1},
  };
  const Format f{};
  for (const Case& c : cases) {
    const ByteVector bytes = PageBuilder(f).set_tag_count_word(c.word).build();
    auto page = parse(bytes, f);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page->stored_tag_count(), c.count) << std::hex << c.word;
    EXPECT_EQ(page->first_entry_tag(), c.first_entry) << std::hex << c.word;
  }
}

TEST(PageParse, ClassifiesPagesByFlags) {
  struct Case {
    std::uint32_t flags;
    bool leaf, table_leaf;
  } cases[] = {
      {0x02, true, true},   {0x03, true, true},     {0x2802, true, true}, {0x22, true, false},
      {0x42, true, false},  {0x82, true, false},    {0x00, false, false}, {0x01, false, false},
      {0x05, false, false}, {0xFFFFFF1D, false, false},
  };
  const Format f{};
  for (const Case& c : cases) {
    const ByteVector bytes = PageBuilder(f).set_flags(c.flags).build();
    auto page = parse(bytes, f);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(page->is_leaf(), c.leaf) << std::hex << c.flags;
    EXPECT_EQ(page->is_table_leaf(), c.table_leaf) << std::hex << c.flags;
  }
}

}  // namespace
}  // namespace pellumo
