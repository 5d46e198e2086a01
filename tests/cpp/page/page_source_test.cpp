#include "page/page_source.h"

#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace pellumo {
namespace {

// Page N of a source lies at (N + 1) * page_size; the page count leaves out
// the two header pages and never goes below 0.
TEST(PageSourceTest, PagesAndTheirCount) {
  std::vector<std::uint8_t> file(4096 * 5 + 100);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i / 4096);
  const PageSource pages(Bytes(file), 4096, 0x620, 0x14);
  EXPECT_EQ(pages.total_pages(), 3u);  // the 100 trailing bytes are no page
  const struct {
    std::uint32_t number;
    bool present;
  } cases[] = {{0, true}, {1, true}, {3, true}, {4, false}, {std::numeric_limits<std::uint32_t>::max(), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    const auto bytes = pages.page_bytes(c.number);
    ASSERT_EQ(bytes.has_value(), c.present);
    if (c.present) {
      EXPECT_EQ(bytes->size(), 4096u);
      EXPECT_EQ((*bytes)[0], c.number + 1);
      EXPECT_TRUE(pages.read_page(c.number).ok());
    } else {
      const auto page = pages.read_page(c.number);
      ASSERT_FALSE(page.ok());
      EXPECT_EQ(page.error().message(), "Invalid page number: " + std::to_string(c.number));
    }
  }

  for (const std::size_t length : {0u, 4096u, 8191u, 8192u, 12288u}) {
    const std::vector<std::uint8_t> short_file(length);
    EXPECT_EQ(PageSource(Bytes(short_file), 4096, 0x620, 0x14).total_pages(), length >= 12288 ? 1u : 0u) << length;
  }
  // A page size of 0 addresses nothing.
  const PageSource empty(Bytes(file), 0, 0x620, 0x14);
  EXPECT_EQ(empty.total_pages(), 0u);
  EXPECT_FALSE(empty.page_bytes(1).has_value());
}

TEST(PageSourceTest, LargePageTagFormat) {
  const std::vector<std::uint8_t> file(32768 * 3);
  EXPECT_TRUE(PageSource(Bytes(file), 32768, 0x620, 0x11).large_page_tag_format());
  EXPECT_FALSE(PageSource(Bytes(file), 32768, 0x620, 0x10).large_page_tag_format());
  EXPECT_FALSE(PageSource(Bytes(file), 8192, 0x620, 0x14).large_page_tag_format());
}

}  // namespace
}  // namespace pellumo
