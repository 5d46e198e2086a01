#include "page/leaf_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "fixture/page_builder.h"
#include "page/leaf.h"
#include "page/tag.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;
using fixture::PageBuilder;

struct Found {
  std::vector<ByteVector> entries;
  std::size_t unreadable = 0;
  std::size_t deleted = 0;
};

// What reading tag after tag gives: the extractor's entry tags parsed one
// at a time, as cursors read pages before the one-pass scan.
Found tag_by_tag(const Page& page, const Format& f, bool skip_deleted) {
  Found out;
  if (!page.is_table_leaf()) return out;
  const TagExtractor tags(page, f.format_version, f.format_revision, f.page_size);
  ByteVector scratch;
  for (std::uint16_t i = page.first_entry_tag(); i < page.stored_tag_count(); ++i) {
    auto tag = tags.read_entry_tag(i, scratch);
    if (!tag) {
      ++out.unreadable;
      continue;
    }
    if (skip_deleted && (tag->flags & kTagFlagDeleted)) {
      ++out.deleted;
      continue;
    }
    auto entry = LeafEntryView::parse(tag->flags, tag->data);
    if (!entry) {
      ++out.unreadable;
      continue;
    }
    out.entries.emplace_back(entry->data.begin(), entry->data.end());
  }
  return out;
}

Found scanned(const Page& page, const Format& f, bool skip_deleted) {
  LeafScan scan;
  scan.entries.push_back(Bytes());  // replaced, not appended to
  scan_leaf_entries(page, f.large_page_tags(), f.page_size, skip_deleted, scan);
  Found out;
  for (Bytes e : scan.entries) out.entries.emplace_back(e.begin(), e.end());
  out.unreadable = scan.unreadable;
  out.deleted = scan.deleted;
  return out;
}

// A size word, then the bytes of `parts` in turn.
ByteVector sized(std::uint16_t size, std::initializer_list<std::string_view> parts) {
  ByteVector out;
  out.push_back(static_cast<std::uint8_t>(size));
  out.push_back(static_cast<std::uint8_t>(size >> 8));
  for (std::string_view part : parts) {
    for (char c : part) out.push_back(static_cast<std::uint8_t>(c));
  }
  return out;
}

ByteVector entry(std::uint16_t key_size, std::string_view key, std::string_view data) {
  return sized(key_size, {key, data});
}

ByteVector common(std::uint16_t common_size, const ByteVector& rest) {
  return sized(common_size, {std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size())});
}

TEST(LeafScan, FindsWhatReadingTagByTagFinds) {
  const Format formats[] = {{4096, 0x620, 0x14}, {8192, 0x620, 0x14}, {32768, 0x620, 0x14},
                            {16384, 0x620, 0x0c}, {4096, 0x620, 0x09}, {32768, 0x620, 0x6e}};
  struct Case {
    const char* name;
    std::function<void(PageBuilder&)> tags;  // after tag 0
    std::size_t entries;                     // with deleted entries read
    std::size_t unreadable;
  };
  const Case cases[] = {
      {"plain entries",
       [](PageBuilder& p) {
         p.add_tag(0, entry(3, "key", "record one"));
         p.add_tag(0, entry(0, "", "no key"));
         p.add_tag(0, entry(1, "k", ""));
       },
       3, 0},
      {"common keys and a key longer than its tag",
       [](PageBuilder& p) {
         p.add_tag(fixture::kTagCommonKey, common(2, entry(2, "ab", "after a common key")));
         p.add_tag(0, entry(40, "short", ""));
         // The size word's bit 15 is not part of the size.
         p.add_tag(0, entry(0x8002, "xy", "data"));
       },
       3, 0},
      {"tags too short for their key prefix",
       [](PageBuilder& p) {
         p.add_tag(0, ByteVector{0x01});
         p.add_tag(0, ByteVector{});
         p.add_tag(fixture::kTagCommonKey, ByteVector{0x01, 0x00, 0x02});
         p.add_tag(0, entry(1, "k", "kept"));
       },
       1, 3},
      {"slots pointing past the page",
       [](PageBuilder& p) {
         // The largest offset and size the slot layout holds.
         const std::uint32_t most = p.format().large_page_tags() ? 0x7FFF : 0x1FFF;
         p.add_tag(0, entry(1, "k", "before"));
         p.add_raw_tag(most, std::min(p.format().page_size - 20, most));
         p.add_raw_tag(most, most);
         p.add_tag(0, entry(1, "k", "after"));
       },
       2, 2},
      {"deleted entries",
       [](PageBuilder& p) {
         p.add_tag(kTagFlagDeleted, entry(1, "k", "deleted"));
         p.add_tag(0, entry(1, "k", "live"));
         p.add_tag(kTagFlagDeleted | fixture::kTagCommonKey, common(0, entry(1, "k", "deleted too")));
       },
       3, 0},
  };
  for (const Format& f : formats) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " page size " + std::to_string(f.page_size) + " revision " +
                   std::to_string(f.format_revision));
      PageBuilder b(f);
      b.set_flags(fixture::kPageLeaf);
      b.add_tag(0, ByteVector{'p', 'r', 'e'});
      c.tags(b);
      ByteVector bytes;
      try {
        bytes = b.build();
      } catch (const std::logic_error&) {
        continue;  // not expressible in this slot layout
      }
      Bytes view(bytes.data(), bytes.size());
      const Page page = *Page::parse(view, f.format_version, f.format_revision, f.page_size);
      for (bool skip_deleted : {false, true}) {
        const Found want = tag_by_tag(page, f, skip_deleted);
        const Found got = scanned(page, f, skip_deleted);
        EXPECT_EQ(got.entries, want.entries) << skip_deleted;
        EXPECT_EQ(got.unreadable, want.unreadable) << skip_deleted;
        EXPECT_EQ(got.deleted, want.deleted) << skip_deleted;
      }
      const Found all = scanned(page, f, false);
      EXPECT_EQ(all.entries.size(), c.entries);
      EXPECT_EQ(all.unreadable, c.unreadable);
    }
  }
}

TEST(LeafScan, ReadsOnlyLeavesOfTableDataAndOnlyEntryTags) {
  const Format f{4096, 0x620, 0x14};
  struct Case {
    const char* name;
    std::uint32_t flags;
    std::uint8_t reserved;
    std::size_t entries;
  };
  const Case cases[] = {
      {"table leaf", fixture::kPageLeaf, 0, 3},
      {"index leaf", fixture::kPageLeaf | fixture::kPageIndex, 0, 0},
      {"long-value leaf", fixture::kPageLeaf | fixture::kPageLongValue, 0, 0},
      {"space-tree leaf", fixture::kPageLeaf | fixture::kPageSpaceTree, 0, 0},
      {"branch", fixture::kPageParentOfLeaf, 0, 0},
      // Tags 0 and 1 reserved: the entries start at tag 2.
      {"reserved tags", fixture::kPageLeaf, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PageBuilder b(f);
    b.set_flags(c.flags).set_reserved_tags(c.reserved);
    b.add_tag(0, ByteVector{});
    for (const char* data : {"one", "two", "three"}) b.add_tag(0, entry(1, "k", data));
    const ByteVector bytes = b.build();
    const Page page = *Page::parse(Bytes(bytes.data(), bytes.size()), f.format_version, f.format_revision, f.page_size);
    const Found got = scanned(page, f, false);
    EXPECT_EQ(got.entries.size(), c.entries);
    EXPECT_EQ(got.unreadable, 0u);
    if (c.entries == 2) {
      EXPECT_EQ(got.entries[0], ByteVector({'t', 'w', 'o'}));
    }
  }
}

TEST(LeafScan, CountsIndicesPastTheCappedTagCountAsUnreadable) {
  // Pages above 8 KiB cap the tag count by the free space the header
  // declares; the stored count's surplus indices name no tag.
  const Format f{32768, 0x620, 0x14};
  PageBuilder b(f);
  b.set_flags(fixture::kPageLeaf);
  b.add_tag(0, ByteVector{});
  for (int i = 0; i < 5; ++i) b.add_tag(0, entry(1, "k", "entry " + std::to_string(i)));
  // Free space for only four slots: tags 0 to 3.
  b.set_available_data_size(static_cast<std::uint16_t>(f.page_size - 16));
  const ByteVector bytes = b.build();
  const Page page = *Page::parse(Bytes(bytes.data(), bytes.size()), f.format_version, f.format_revision, f.page_size);
  const Found got = scanned(page, f, false);
  EXPECT_EQ(got.entries.size(), 3u);
  EXPECT_EQ(got.unreadable, 2u);
  EXPECT_EQ(got.entries.size() + got.unreadable, tag_by_tag(page, f, false).entries.size() + 2);
}

}  // namespace
}  // namespace pellumo
