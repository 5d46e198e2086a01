#include "cursor/table_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "database/database.h"
#include "fixture/database_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/record_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;

const fixture::Format kSmall{4096, 0x620, 0x14};
const fixture::Format kLarge{32768, 0x620, 0x14};

ByteVector record_with_id(const fixture::Format& format, std::int32_t id) {
  return fixture::RecordBuilder(format)
      .fixed(1, fixture::le_u32(static_cast<std::uint32_t>(id)))
      .variable(128, fixture::bytes_of("name " + std::to_string(id)))
      .encode();
}

// Table "T" (Id fixed, Name variable) holding records with ids 0..n-1.
struct CursorCase {
  const char* what = "";
  fixture::Format format = kSmall;
  int records = 0;
  fixture::TreeOptions tree;
  std::function<void(fixture::TableSpec&)> edit_table;
  std::function<void(fixture::BuiltDatabase&, const fixture::TreeLayout&)> damage;
  std::vector<int> expected_ids;     // -1: a record whose Id is Null
  std::string expected_end = "end";  // or the error message the cursor ends with
  std::string open_error;            // set when open_table itself fails
  std::string expected_damage;       // describe_damage() of what the read could not read
};

CursorCase named(const char* what) {
  CursorCase c;
  c.what = what;
  return c;
}

std::unique_ptr<Database> build(const CursorCase& c) {
  fixture::DatabaseBuilder db(c.format);
  fixture::TableSpec t;
  t.name = "T";
  t.columns = {{"Id", 1, fixture::kColLong, 4, 0, 0}, {"Name", 128, fixture::kColText, 255, 0, 1252}};
  for (int i = 0; i < c.records; ++i) {
    t.records.push_back({fixture::sequential_key(static_cast<std::uint32_t>(i)), record_with_id(c.format, i),
                         std::nullopt});
  }
  t.tree = c.tree;
  if (c.edit_table) c.edit_table(t);
  db.add_table(std::move(t));
  fixture::BuiltDatabase built = db.build();
  if (c.damage) c.damage(built, built.table("T")->data);
  auto opened = fixture::open_bytes(built.bytes());
  EXPECT_TRUE(opened.ok()) << c.what << ": " << (opened.ok() ? "" : opened.error().message());
  return opened.ok() ? std::move(*opened) : nullptr;
}

std::vector<int> iota(int n) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(i);
  return v;
}

std::vector<CursorCase> cursor_cases() {
  std::vector<CursorCase> cases;
  {
    CursorCase c = named("root page is a leaf");
    c.records = 5;
    c.expected_ids = iota(5);
    cases.push_back(c);
  }
  {
    CursorCase c = named("three levels of branch pages");
    c.records = 60;
    c.tree.max_leaf_entries = 3;
    c.tree.max_branch_entries = 2;
    c.expected_ids = iota(60);
    cases.push_back(c);
  }
  {
    CursorCase c = named("large pages");
    c.format = kLarge;
    c.records = 40;
    c.tree.max_leaf_entries = 7;
    c.expected_ids = iota(40);
    cases.push_back(c);
  }
  {
    CursorCase c = named("empty table");
    cases.push_back(c);
  }
  {
    CursorCase c = named("a damaged record is still delivered, with Null columns");
    c.records = 2;
    c.edit_table = [](fixture::TableSpec& t) { t.records[1].data = {0x01, 0x80}; };
    c.expected_ids = {0, -1};
    c.expected_damage = "1 record undecodable (read as nulls)";
    cases.push_back(c);
  }
  {
    CursorCase c = named("branch root with only its prefix tag");
    c.records = 4;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.reset_page(data.root_page).set_flags(fixture::kPageRoot).add_tag(0, {});
    };
    cases.push_back(c);
  }
  {
    CursorCase c = named("leaves flagged index, space tree or long value yield nothing");
    c.records = 8;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.levels[0][1]).add_flags(fixture::kPageIndex);
      built.file.page(data.levels[0][2]).add_flags(fixture::kPageSpaceTree);
      built.file.page(data.levels[0][3]).add_flags(fixture::kPageLongValue);
    };
    c.expected_ids = {0, 1};
    c.expected_damage = "3 pages of another kind of tree";
    cases.push_back(c);
  }
  {
    // On large pages the free-space field caps the tag count below the
    // stored count: the surplus indices do not read and are skipped.
    CursorCase c = named("stored tag count above the capped one");
    c.format = kLarge;
    c.records = 3;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      fixture::PageBuilder& page = built.file.page(data.root_page);
      const std::size_t tags = page.tags().size();
      page.set_tag_count_word(static_cast<std::uint16_t>(tags + 40));
      page.set_available_data_size(static_cast<std::uint16_t>(32768 - 4 * tags));
    };
    c.expected_ids = iota(3);
    c.expected_damage = "40 entries skipped (unreadable)";
    cases.push_back(c);
  }
  {
    CursorCase c = named("unreadable and undecodable tags are skipped");
    c.records = 3;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      fixture::PageBuilder& page = built.file.page(data.root_page);
      page.add_raw_tag(200, 0x1F00);  // past the page end
      page.add_tag(0, {0x05});        // too short for a leaf entry
    };
    c.expected_ids = iota(3);
    c.expected_damage = "2 entries skipped (unreadable)";
    cases.push_back(c);
  }
  {
    // Reserved tags after tag 0 hold stale entries: a record and a branch
    // entry to a page past the file. Neither is read.
    CursorCase c = named("reserved tags are not entries");
    c.records = 12;
    c.tree.max_leaf_entries = 3;
    c.tree.reserved_leaf_tags = {fixture::leaf_tag({fixture::sequential_key(999), record_with_id(kSmall, 999)})};
    c.tree.reserved_branch_tags = {fixture::branch_tag({}, 99999)};
    c.expected_ids = iota(12);
    cases.push_back(c);
  }
  {
    CursorCase c = named("next page past the end of the file");
    c.records = 6;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.levels[0][1]).set_next_page(77777);
    };
    // The link is not believed: the tree leads on to every leaf.
    c.expected_ids = iota(6);
    c.expected_damage = "1 page beyond the end of the file (PAGES): the file is truncated";
    cases.push_back(c);
  }
  {
    CursorCase c = named("leaf chain looping back");
    c.records = 6;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.levels[0][2]).set_next_page(data.levels[0][0]);
    };
    c.expected_ids = iota(6);
    cases.push_back(c);
  }
  {
    CursorCase c = named("leaf linked to itself");
    c.records = 4;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.levels[0][0]).set_next_page(data.levels[0][0]);
    };
    c.expected_ids = iota(4);
    cases.push_back(c);
  }
  {
    CursorCase c = named("descent looping back to the root");
    c.records = 6;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.root_page).tags()[1] = fixture::branch_tag({}, data.root_page);
    };
    c.expected_ids = {2, 3, 4, 5};  // the revisit is refused, the other entries are walked
    c.expected_damage = "1 page reached a second time (a loop in the tree)";
    cases.push_back(c);
  }
  {
    CursorCase c = named("first branch entry without a valid child");
    c.records = 6;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.root_page).tags()[1] = fixture::branch_tag({}, 0);
    };
    c.expected_ids = {2, 3, 4, 5};  // only the first leaf's records are lost
    c.expected_damage = "1 entry skipped (unreadable)";  // its child number cannot be read
    cases.push_back(c);
  }
  {
    CursorCase c = named("first branch entry pointing past the file");
    c.records = 6;
    c.tree.max_leaf_entries = 2;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.root_page).tags()[1] = fixture::branch_tag({}, 99999);
    };
    c.expected_ids = {2, 3, 4, 5};
    c.expected_damage = "1 page beyond the end of the file (PAGES): the file is truncated";
    cases.push_back(c);
  }
  {
    // The root is refused like any page: the table reads as empty, and the
    // damage says why, instead of the read failing.
    CursorCase c = named("root page past the end of the file");
    c.records = 3;
    c.edit_table = [](fixture::TableSpec& t) {
      t.root_page = 5000;
      t.build_data_tree = false;
    };
    c.expected_damage = "1 page beyond the end of the file (PAGES): the file is truncated";
    cases.push_back(c);
  }
  {
    CursorCase c = named("root page of another tree");
    c.records = 3;
    c.damage = [](fixture::BuiltDatabase& built, const fixture::TreeLayout& data) {
      built.file.page(data.root_page).set_flags(fixture::kPageRoot | fixture::kPageLeaf | fixture::kPageIndex);
    };
    c.expected_damage = "1 page of another kind of tree";
    cases.push_back(c);
  }
  return cases;
}

TEST(TableCursor, WalksTheTreeSkippingRefusedPages) {
  for (CursorCase c : cursor_cases()) {
    auto db = build(c);
    ASSERT_NE(db, nullptr) << c.what;
    auto cursor = db->open_table("T");
    if (!c.open_error.empty()) {
      ASSERT_FALSE(cursor.ok()) << c.what;
      EXPECT_EQ(cursor.error().message(), c.open_error) << c.what;
      continue;
    }
    ASSERT_TRUE(cursor.ok()) << c.what << ": " << cursor.error().message();
    std::vector<int> ids;
    std::string end;
    for (int guard = 0; guard < 10000; ++guard) {
      auto row = cursor->next_row();
      if (!row.ok()) {
        end = row.error().message();
        break;
      }
      if (!row->has_value()) {
        end = "end";
        break;
      }
      const ColumnValue* id = (*row)->find("Id");
      ASSERT_NE(id, nullptr);
      ids.push_back(id->is_null() ? -1 : static_cast<int>(id->as_signed()));
      if (id->is_null()) continue;
      EXPECT_EQ(*(*row)->find("Name"), ColumnValue::text("name " + std::to_string(ids.back()))) << c.what;
    }
    EXPECT_EQ(ids, c.expected_ids) << c.what;
    EXPECT_EQ(end, c.expected_end) << c.what;
    std::string damage = c.expected_damage;
    if (const auto at = damage.find("PAGES"); at != std::string::npos) {
      damage.replace(at, 5, std::to_string(db->total_pages()) + " pages");
    }
    EXPECT_EQ(describe_damage(cursor->damage()), damage) << c.what;
    // The end, or the error, comes again on the next call.
    auto again = cursor->next_row();
    if (c.expected_end == "end") {
      ASSERT_TRUE(again.ok()) << c.what;
      EXPECT_FALSE(again->has_value()) << c.what;
    } else {
      ASSERT_FALSE(again.ok()) << c.what;
      EXPECT_EQ(again.error().message(), c.expected_end) << c.what;
    }
  }
}

TEST(TableCursor, OpenTableLooksNamesUpAsBytes) {
  CursorCase c = named("lookup");
  c.records = 1;
  auto db = build(c);
  ASSERT_NE(db, nullptr);
  for (const std::string name : {"X", "t", "T "}) {
    auto cursor = db->open_table(name);
    ASSERT_FALSE(cursor.ok());
    EXPECT_EQ(cursor.error().kind(), EseError::Kind::TableNotFound);
  }
  EXPECT_EQ(db->open_table("X").error().message(), "Table not found: [88]");
  ASSERT_TRUE(db->open_table("T").ok());
}

TEST(TableCursor, AdvanceReusesOneRecordAndGivesTheColumnsOnce) {
  CursorCase c = named("reuse");
  c.records = 30;
  c.tree.max_leaf_entries = 4;
  auto db = build(c);
  ASSERT_NE(db, nullptr);
  auto cursor = db->open_table("T");
  ASSERT_TRUE(cursor.ok());
  const RecordLayout& layout = cursor->layout();
  ASSERT_EQ(layout.size(), 2u);
  EXPECT_EQ(layout.name(0), "Id");
  EXPECT_EQ(layout.name(1), "Name");
  const Record* first = &cursor->current();
  int n = 0;
  while (true) {
    auto more = cursor->advance();
    ASSERT_TRUE(more.ok());
    if (!*more) break;
    EXPECT_EQ(&cursor->current(), first);
    EXPECT_EQ(cursor->current().value(0), ColumnValue::int32(n));
    ++n;
  }
  EXPECT_EQ(n, 30);
}

}  // namespace
}  // namespace pellumo
