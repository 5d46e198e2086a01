#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture/entries.h"
#include "page/branch.h"
#include "page/leaf.h"

namespace pellumo {
namespace {

using fixture::ByteVector;

Bytes view(const ByteVector& b) { return Bytes(b.data(), b.size()); }
ByteVector copy(Bytes b) { return ByteVector(b.begin(), b.end()); }

TEST(LeafEntry, SplitsKeyAndData) {
  struct Case {
    std::uint8_t flags;
    ByteVector bytes;
    std::optional<std::uint16_t> common;
    ByteVector key, data;
  } cases[] = {
      {0, {0x03, 0x00, 0x41, 0x42, 0x43, 0x44, 0x45}, std::nullopt, {0x41, 0x42, 0x43}, {0x44, 0x45}},
      {4, {0x05, 0x00, 0x02, 0x00, 0x41, 0x42, 0x07}, 5, {0x41, 0x42}, {0x07}},
      // A declared size beyond the tag cuts the key at the end; no data.
      {0, {0x0A, 0x00, 0x41}, std::nullopt, {0x41}, {}},
      // Bit 15 of the size word is not part of the size.
      {0, {0x00, 0x80, 0x99}, std::nullopt, {}, {0x99}},
      {0, {0x02, 0x80, 0x41, 0x42}, std::nullopt, {0x41, 0x42}, {}},
      {0, {0x00, 0x00}, std::nullopt, {}, {}},
      {4, {0xFF, 0xFF, 0x00, 0x00}, 0xFFFF, {}, {}},
      // Only flag bit 0x4 matters.
      {3, {0x01, 0x00, 0x41, 0x42}, std::nullopt, {0x41}, {0x42}},
      {7, {0x00, 0x00, 0x01, 0x00, 0x41, 0x42}, 0, {0x41}, {0x42}},
  };
  for (const Case& c : cases) {
    auto e = LeafEntry::parse(c.flags, view(c.bytes));
    ASSERT_TRUE(e.ok()) << e.error().message();
    EXPECT_EQ(e->common_key_size, c.common);
    EXPECT_EQ(e->local_key, c.key);
    EXPECT_EQ(e->data, c.data);
    // The borrowing form sees the same, inside the tag's bytes.
    auto v = LeafEntryView::parse(c.flags, view(c.bytes));
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(copy(v->local_key), c.key);
    EXPECT_EQ(copy(v->data), c.data);
    EXPECT_EQ(v->common_key_size, c.common);
    if (!c.data.empty()) {
      EXPECT_EQ(v->data.data() + v->data.size(), c.bytes.data() + c.bytes.size());
    }
  }
}

TEST(LeafEntry, RefusesTagsShorterThanTheKeyPrefix) {
  struct Case {
    std::uint8_t flags;
    std::size_t n;
    std::string message;
  } cases[] = {
      {0, 0, "Parse error: Leaf entry too short: got 0 bytes, need at least 2 (flags: 0x0)"},
      {0, 1, "Parse error: Leaf entry too short: got 1 bytes, need at least 2 (flags: 0x0)"},
      {4, 3, "Parse error: Leaf entry too short: got 3 bytes, need at least 4 (flags: 0x4)"},
      {7, 2, "Parse error: Leaf entry too short: got 2 bytes, need at least 4 (flags: 0x7)"},
      {3, 1, "Parse error: Leaf entry too short: got 1 bytes, need at least 2 (flags: 0x3)"},
  };
  for (const Case& c : cases) {
    const ByteVector bytes(c.n, 0x01);
    auto e = LeafEntry::parse(c.flags, view(bytes));
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().kind(), EseError::Kind::Parse);
    EXPECT_EQ(e.error().message(), c.message);
    EXPECT_EQ(LeafEntryView::parse(c.flags, view(bytes)).error().message(), c.message);
  }
}

TEST(BranchEntry, ReadsKeyAndChildPage) {
  struct Case {
    std::uint8_t flags;
    ByteVector bytes;
    std::optional<std::uint16_t> common;
    ByteVector key;
    std::uint16_t key_size;
    std::uint32_t child;
  } cases[] = {
      {0, {0x00, 0x00, 0x07, 0x00, 0x00, 0x00}, std::nullopt, {}, 0, 7},
      {0, {0x02, 0x00, 0x41, 0x42, 0xA0, 0x86, 0x01, 0x00}, std::nullopt, {0x41, 0x42}, 2, 100000},
      {4, {0x03, 0x00, 0x01, 0x00, 0x41, 0x01, 0x00, 0x00, 0x00}, 3, {0x41}, 1, 1},
      // Bytes after the child page number are ignored; the size word loses bit 15.
      {0, {0x01, 0x80, 0x41, 0x05, 0x00, 0x00, 0x00, 0xEE, 0xEE}, std::nullopt, {0x41}, 1, 5},
  };
  for (const Case& c : cases) {
    auto e = BranchEntry::parse(c.flags, view(c.bytes));
    ASSERT_TRUE(e.ok()) << e.error().message();
    EXPECT_EQ(e->common_key_size, c.common);
    EXPECT_EQ(e->local_key, c.key);
    EXPECT_EQ(e->declared_key_size, c.key_size);
    EXPECT_EQ(e->child_page, c.child);
    auto child = BranchEntry::parse_child(c.flags, view(c.bytes));
    ASSERT_TRUE(child.ok());
    EXPECT_EQ(*child, c.child);
  }
  // What the fixture writes reads back.
  auto e = BranchEntry::parse(4, view(fixture::encode_branch_entry({1, 2, 3}, 4321, 9)));
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->local_key, (ByteVector{1, 2, 3}));
  EXPECT_EQ(e->child_page, 4321u);
  EXPECT_EQ(e->common_key_size, std::optional<std::uint16_t>(9));
}

TEST(BranchEntry, RefusesShortOrImpossibleEntries) {
  struct Case {
    std::uint8_t flags;
    ByteVector bytes;
    std::string message;
  } cases[] = {
      {0, {0x00, 0x00, 0x07, 0x00, 0x00},
       "Parse error: Branch entry too short: got 5 bytes, need at least 6 (flags: 0x0)"},
      {4, {0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00},
       "Parse error: Branch entry too short: got 7 bytes, need at least 8 (flags: 0x4)"},
      {0, {0x01, 0x00, 0x41, 0x07, 0x00, 0x00},
       "Parse error: Branch entry too short for child page number: got 6 bytes, offset 3, need 4 more (likely "
       "metadata tag)"},
      // A key declared longer than the tag is cut, leaving no room for the child.
      {4, {0x00, 0x00, 0x20, 0x00, 0x41, 0x42, 0x43, 0x44},
       "Parse error: Branch entry too short for child page number: got 8 bytes, offset 8, need 4 more (likely "
       "metadata tag)"},
      {0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       "Parse error: Branch entry has invalid child page number: 0 (likely corrupted data)"},
  };
  for (const Case& c : cases) {
    auto e = BranchEntry::parse(c.flags, view(c.bytes));
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().kind(), EseError::Kind::Parse);
    EXPECT_EQ(e.error().message(), c.message);
    EXPECT_EQ(BranchEntry::parse_child(c.flags, view(c.bytes)).error().message(), c.message);
  }
  // A child is valid when it names a page of the file, however far in.
  struct Far {
    std::uint32_t child, page_count;
    bool valid;
  };
  for (const Far& f : {Far{100001, 200000, true}, Far{100001, 100000, false}, Far{4294967295u, 4294967294u, false},
                       Far{4294967295u, BranchEntry::kAnyPageCount, true}, Far{1, 1, true}}) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x00, static_cast<std::uint8_t>(f.child),
                                             static_cast<std::uint8_t>(f.child >> 8),
                                             static_cast<std::uint8_t>(f.child >> 16),
                                             static_cast<std::uint8_t>(f.child >> 24)};
    auto e = BranchEntry::parse(0, view(bytes), f.page_count);
    ASSERT_EQ(e.ok(), f.valid) << f.child << " of " << f.page_count;
    if (e.ok()) {
      EXPECT_EQ(e->child_page, f.child);
    } else {
      EXPECT_EQ(e.error().message(), "Parse error: Branch entry has invalid child page number: " +
                                         std::to_string(f.child) + " (likely corrupted data)");
    }
  }
}

}  // namespace
}  // namespace pellumo
