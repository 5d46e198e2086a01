// Whole B-trees as the fixture lays them out, read back through pages, tags
// and entries: the leaf chain holds every entry in order, and each branch
// entry leads to its child and separates it from the next, as the engine
// keys branches.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "fixture/database_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/tree_builder.h"
#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;
using fixture::LeafEntrySpec;

struct Reader {
  ByteVector file;
  Format format;
  PageLoader load;

  Reader(ByteVector bytes, Format f) : file(std::move(bytes)), format(f), load(fixture::memory_page_loader(file, f)) {}

  // The full keys and data of page n's entries, and its branch children.
  struct Content {
    std::vector<ByteVector> keys, data;
    std::vector<std::uint32_t> children;
    Page page;
  };
  Content read(std::uint32_t n) const {
    auto page = load(n);
    EXPECT_TRUE(page.ok()) << n;
    TagExtractor tags(*page, format.format_version, format.format_revision, format.page_size);
    ByteVector scratch, prefix;
    Content c{{}, {}, {}, *page};
    for (std::uint16_t i = 0; i < tags.tag_count(); ++i) {
      auto tag = tags.read_entry_tag(i, scratch);
      EXPECT_TRUE(tag.ok());
      if (i == 0) {
        prefix.assign(tag->data.begin(), tag->data.end());
        continue;
      }
      if (i < page->first_entry_tag()) continue;
      if (page->is_leaf()) {
        auto e = LeafEntry::parse(tag->flags, tag->data);
        EXPECT_TRUE(e.ok());
        ByteVector key(prefix.begin(), prefix.begin() + std::min<std::size_t>(e->common_key_size.value_or(0), prefix.size()));
        key.insert(key.end(), e->local_key.begin(), e->local_key.end());
        c.keys.push_back(key);
        c.data.push_back(e->data);
      } else {
        auto e = BranchEntry::parse(tag->flags, tag->data);
        EXPECT_TRUE(e.ok());
        c.keys.push_back(e->local_key);
        c.children.push_back(e->child_page);
      }
    }
    return c;
  }
};

std::vector<LeafEntrySpec> numbered_entries(std::size_t n, std::size_t data_size) {
  std::vector<LeafEntrySpec> out;
  for (std::uint32_t i = 0; i < n; ++i) {
    ByteVector key = {0x7F, 0x00, 0x01};
    fixture::put_u32_be(key, i * 3);
    out.push_back(LeafEntrySpec{key, ByteVector(data_size, static_cast<std::uint8_t>(i))});
  }
  return out;
}

TEST(TreeLayout, LeafChainAndBranchesAgree) {
  struct Case {
    Format format;
    std::size_t entries, data_size, max_leaf, max_branch;
    bool compress;
    std::size_t min_levels;
  } cases[] = {
      {Format{4096}, 0, 0, 0, 0, false, 1},       {Format{4096}, 1, 10, 0, 0, false, 1},
      {Format{4096}, 2000, 30, 0, 0, false, 2},   {Format{4096}, 300, 5, 3, 2, true, 5},
      {Format{8192, 0x620, 0x0c}, 500, 100, 0, 0, true, 2},
      {Format{16384, 0x620, 0x14}, 3000, 40, 0, 4, true, 3},
      {Format{32768, 0x620, 0x14}, 5000, 20, 0, 0, false, 2},
      {Format{32768, 0x621, 0}, 2000, 20, 0, 0, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.format.page_size << " with " << c.entries << " entries");
    const std::vector<LeafEntrySpec> entries = numbered_entries(c.entries, c.data_size);
    fixture::FileBuilder file(c.format);
    file.reserve_pages(4);
    fixture::TreeOptions options;
    options.max_leaf_entries = c.max_leaf;
    options.max_branch_entries = c.max_branch;
    options.prefix_compression = c.compress;
    const fixture::TreeLayout layout = fixture::build_tree(file, 4, entries, options);
    ASSERT_GE(layout.levels.size(), c.min_levels);
    ASSERT_EQ(layout.levels.back(), std::vector<std::uint32_t>{4});
    const Reader reader(file.bytes(), c.format);

    // Following next_page from the first leaf gives every entry, in order.
    std::vector<ByteVector> keys;
    std::set<std::uint32_t> seen;
    std::uint32_t n = layout.levels[0].front();
    while (n != 0) {
      ASSERT_TRUE(seen.insert(n).second);
      const auto content = reader.read(n);
      EXPECT_TRUE(content.page.is_table_leaf());
      EXPECT_EQ(content.page.page_flags() & fixture::kPageRoot, n == 4 ? fixture::kPageRoot : 0u);
      for (std::size_t i = 0; i < content.keys.size(); ++i) {
        EXPECT_EQ(content.data[i], entries[keys.size()].data);
        keys.push_back(content.keys[i]);
      }
      n = content.page.next_page();
    }
    ASSERT_EQ(keys.size(), entries.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i], entries[i].key) << i;

    // Each branch entry names a child of the level below and separates it
    // from the next: every key under the child lies below the entry's key,
    // the next child's first key does not. The last entry of a level has
    // an empty key, above everything.
    std::map<std::uint32_t, std::pair<ByteVector, ByteVector>> span;  // page -> first, last key under it
    for (std::uint32_t page : layout.levels[0]) {
      const auto content = reader.read(page);
      if (!content.keys.empty()) span[page] = {content.keys.front(), content.keys.back()};
    }
    for (std::size_t level = 1; level < layout.levels.size(); ++level) {
      std::vector<std::uint32_t> children;
      std::vector<ByteVector> bounds;
      for (std::uint32_t page : layout.levels[level]) {
        const auto content = reader.read(page);
        EXPECT_FALSE(content.page.is_leaf());
        children.insert(children.end(), content.children.begin(), content.children.end());
        bounds.insert(bounds.end(), content.keys.begin(), content.keys.end());
        span[page] = {span[content.children.front()].first, span[content.children.back()].second};
      }
      ASSERT_EQ(children, layout.levels[level - 1]);
      EXPECT_TRUE(bounds.back().empty());
      for (std::size_t i = 0; i + 1 < children.size(); ++i) {
        EXPECT_LT(span[children[i]].second, bounds[i]) << "level " << level << " entry " << i;
        EXPECT_LE(bounds[i], span[children[i + 1]].first) << "level " << level << " entry " << i;
      }
    }
  }
}

TEST(TreeLayout, ReservedTagsStayOutOfTheEntries) {
  const Format f{};
  fixture::FileBuilder file(f);
  file.reserve_pages(4);
  fixture::TreeOptions options;
  options.max_leaf_entries = 5;
  options.reserved_leaf_tags = {fixture::TagSpec::of(0, {1, 2, 3}), fixture::TagSpec::of(0, {4})};
  options.reserved_branch_tags = {fixture::TagSpec::of(0, {9})};
  const auto entries = numbered_entries(23, 8);
  const fixture::TreeLayout layout = fixture::build_tree(file, 4, entries, options);
  const Reader reader(file.bytes(), f);
  std::size_t count = 0;
  for (std::uint32_t leaf : layout.levels[0]) {
    const auto content = reader.read(leaf);
    EXPECT_EQ(content.page.first_entry_tag(), 3);
    count += content.keys.size();
  }
  EXPECT_EQ(count, entries.size());
  EXPECT_EQ(reader.read(4).page.first_entry_tag(), 2);
}

}  // namespace
}  // namespace pellumo
