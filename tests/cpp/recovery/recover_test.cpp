#include "recovery/recover.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "database/database.h"
#include "fixture/database_builder.h"
#include "fixture/format.h"
#include "fixture/page_builder.h"
#include "fixture/record_builder.h"
#include "fixture/recovery_scenarios.h"
#include "fixture/temp_file.h"
#include "recovery/primary_key.h"
#include "recovery/record_check.h"
#include "recovery/space.h"

namespace pellumo {
namespace {

using Found = std::tuple<std::string, std::string, std::string, std::string, std::string>;

std::string value_text(const ColumnValue& v) {
  switch (v.kind()) {
    case ValueKind::Null: return "<null>";
    case ValueKind::Text: return std::string(v.text());
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64: return std::to_string(v.as_signed());
    default: return std::to_string(v.as_unsigned());
  }
}

struct Opened {
  fixture::TempDir dir;
  std::unique_ptr<Database> db;
};

std::unique_ptr<Opened> open_scenario(const fixture::Format& format) {
  auto out = std::make_unique<Opened>();
  auto db = Database::open(out->dir.write("recovery.edb", fixture::recovery_scenario(format)));
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : db.error().message());
  if (db.ok()) out->db = std::move(db).value();
  return out;
}

std::vector<Found> recover_all(const Database& db, const std::string& table, const std::string& key_column,
                               unsigned sources = kAllRecoverySources) {
  std::vector<Found> out;
  auto scanner = RecoveryScanner::open(db, table, sources);
  EXPECT_TRUE(scanner.ok());
  if (!scanner.ok()) return out;
  while ((*scanner)->advance()) {
    const RecoveredRecord& r = (*scanner)->current();
    const ColumnValue* key = (*scanner)->record().find(key_column);
    EXPECT_NE(key, nullptr);
    out.emplace_back(table, key_column, key ? value_text(*key) : "", recovery_source_name(r.source),
                     recovery_status_name(r.status));
  }
  return out;
}

const std::vector<fixture::Format> kFormats = {
    {4096, 0x620, 0x14}, {8192, 0x620, 0x14}, {16384, 0x620, 0x14}, {32768, 0x620, 0x14},
    {4096, 0x620, 0x0c},  // Ecc header layout
    {16384, 0x620, 0x0c},  // pages above 8 KiB with small tag slots
};

TEST(Recovery, FindsEveryRemainExactlyOnceAtEveryPageSize) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE("page size " + std::to_string(format.page_size) + ", revision " +
                 std::to_string(format.format_revision));
    auto opened = open_scenario(format);
    ASSERT_TRUE(opened->db);
    std::vector<Found> expected, found;
    for (const fixture::ExpectedRecovery& e : fixture::recovery_expected()) {
      expected.emplace_back(e.table, e.key_column, e.key, e.source, e.status);
    }
    for (const auto& [table, column] : std::vector<std::pair<std::string, std::string>>{
             {"People", "Id"}, {"Logs", "Seq"}, {"Crawl", "Id"}, {"MSysObjects", "Name"}}) {
      auto more = recover_all(*opened->db, table, column);
      found.insert(found.end(), more.begin(), more.end());
    }
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
  }
}

TEST(Recovery, RecoveredRecordsCarryTheirValuesAndPlace) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE("page size " + std::to_string(format.page_size));
    auto opened = open_scenario(format);
    ASSERT_TRUE(opened->db);
    const Database& db = *opened->db;
    auto scanner = RecoveryScanner::open(db, "People");
    ASSERT_TRUE(scanner.ok());
    EXPECT_TRUE((*scanner)->keyed());
    int checked = 0;
    while ((*scanner)->advance()) {
      const Record& row = (*scanner)->record();
      const RecoveredRecord& r = (*scanner)->current();
      const std::string id = value_text(*row.find("Id"));
      // The offset is that of the record's bytes: its header opens there.
      const Bytes file = db.mapped();
      ASSERT_LT(r.offset + 4, file.size());
      EXPECT_EQ(file[r.offset], 2);    // last fixed column: Age
      EXPECT_EQ(file[r.offset + 1], 128);  // last variable column: Name
      EXPECT_EQ(r.offset / db.page_size(), r.page + 1u);
      EXPECT_EQ(value_text(*row.find("Age")), std::to_string(2 * std::stoi(id)));
      if (id == "3") {
        EXPECT_EQ(value_text(*row.find("Note")), fixture::kRecoveredLongNote);  // the tree still holds it
        ++checked;
      } else if (id == "6") {
        EXPECT_TRUE(row.find("Note")->is_null());  // its long value is gone
        ++checked;
      } else if (id == "12") {
        EXPECT_EQ(value_text(*row.find("Note")), "note12");
        ++checked;
      } else if (id == "8") {
        EXPECT_EQ(value_text(*row.find("Name")), fixture::kSupersededName);
        EXPECT_EQ(value_text(*row.find("Note")), "note8");
        ++checked;
      }
    }
    EXPECT_EQ(checked, 4);
  }
}

// A merge's copy of a live record, equal to it in every value though not
// in its bytes, is the live record: never reported, counted as a copy.
TEST(Recovery, ACopyEqualInValuesIsTheLiveRecord) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE("page size " + std::to_string(format.page_size) + ", revision " +
                 std::to_string(format.format_revision));
    auto opened = open_scenario(format);
    ASSERT_TRUE(opened->db);
    auto scanner = RecoveryScanner::open(*opened->db, "Crawl");
    ASSERT_TRUE(scanner.ok());
    std::vector<std::string> ids;
    while ((*scanner)->advance()) ids.push_back(value_text(*(*scanner)->record().find("Id")));
    // Where tagged values carry a flag byte, the run-on copy fits the
    // schema as a record of its own and only its values give it away.
    EXPECT_EQ(ids, std::vector<std::string>{"7"});
    EXPECT_GE((*scanner)->stats().live_copies, 1u);
  }
}

TEST(Recovery, SourcesSelectWhereToLook) {
  auto opened = open_scenario({});
  ASSERT_TRUE(opened->db);
  const struct {
    unsigned sources;
    std::vector<std::string> ids;
  } cases[] = {
      // Without the stale slots, Id 6's and Id 12's bytes are found as holes.
      {recovery_source_bit(RecoverySource::Hole), {"3", "6", "8", "12"}},
      {recovery_source_bit(RecoverySource::StaleTag), {"6", "12"}},
      {recovery_source_bit(RecoverySource::DeletedNode), {"14"}},
      {recovery_source_bit(RecoverySource::EmptiedPage), {"100", "101", "102"}},
      {recovery_source_bit(RecoverySource::FreePage), {"200", "201"}},
      {recovery_source_bit(RecoverySource::Tail), {}},
      {0, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> ids;
    for (const Found& f : recover_all(*opened->db, "People", "Id", c.sources)) ids.push_back(std::get<2>(f));
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> want = c.ids;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(ids, want) << "sources mask " << c.sources;
  }
}

// Leaf pages that keep their keys' shared start in tag 0, on every page
// size. The People keys start 7F 80 (a signed id with its sign bit flipped):
// byte 1 of that prefix has its top bit set, which on large pages must be
// read as key, not as tag flags, for a node's key to match its record.
TEST(Recovery, NodesKeyedThroughThePagePrefix) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE("page size " + std::to_string(format.page_size));
    fixture::DatabaseBuilder db(format);
    fixture::TableSpec& people = db.add_table(
        "People", {{"Id", 1, fixture::kColLong, 4, fixture::kColumnNotNull, 0},
                   {"Name", 128, fixture::kColText, 255, 0, 1252}});
    for (std::uint32_t id = 1; id <= 9; ++id) {
      fixture::ByteVector key{0x7F};
      fixture::put_u32_be(key, id ^ 0x80000000u);
      const std::string name = "person" + std::to_string(id);
      people.records.push_back({key, fixture::RecordBuilder(format)
                                         .fixed(1, fixture::le_u32(id))
                                         .variable(128, fixture::ByteVector(name.begin(), name.end()))
                                         .encode()});
    }
    people.tree.prefix_compression = true;
    people.tree.max_leaf_entries = 3;  // three leaves below a root: roots keep no prefix
    fixture::SubtreeSpec pk;
    pk.name = "PK";
    pk.clustered = true;
    pk.flags = 0x10000 | 0x20 | 0x1;  // extended segments, primary, unique
    pk.key_columns = fixture::ByteVector{0, 0, 1, 0};
    people.indexes.push_back(pk);
    fixture::BuiltDatabase built = db.build();
    const fixture::TableLayout& layout = *built.table("People");
    ASSERT_EQ(layout.data.levels.at(0).size(), 3u);
    fixture::PageBuilder& leaf = built.file.page(layout.data.levels.at(0).at(1));
    ASSERT_EQ(leaf.tags().at(0).data, (fixture::ByteVector{0x7F, 0x80, 0x00, 0x00}));
    leaf.tags().at(2).flags |= 0x2;  // Id 5: a node the engine flagged deleted
    fixture::TempDir dir;
    auto opened = Database::open(dir.write("prefix.edb", built.file.bytes()));
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    const auto found = recover_all(**opened, "People", "Id", recovery_source_bit(RecoverySource::DeletedNode));
    EXPECT_EQ(found, (std::vector<Found>{{"People", "Id", "5", "deleted_node", "deleted"}}));
  }
}

TEST(Recovery, UnknownTableIsReported) {
  auto opened = open_scenario({});
  ASSERT_TRUE(opened->db);
  auto scanner = RecoveryScanner::open(*opened->db, "Nobody");
  ASSERT_FALSE(scanner.ok());
  EXPECT_EQ(scanner.error().kind(), EseError::Kind::TableNotFound);
  EXPECT_EQ(scanner.error().text(), "Nobody");
}

TEST(Recovery, SourceNamesRoundTrip) {
  for (unsigned i = 0; i < kRecoverySourceCount; ++i) {
    const auto source = static_cast<RecoverySource>(i);
    EXPECT_EQ(recovery_source_from_name(recovery_source_name(source)), source);
  }
  EXPECT_FALSE(recovery_source_from_name("holes"));
  EXPECT_FALSE(recovery_source_from_name(""));
}

// A table of one column of each kind the schema check looks at.
TableInfo check_table() {
  TableInfo t = TableInfo::make("T", 10, 80);
  auto add = [&](const char* name, std::uint32_t id, ColumnType type, std::uint32_t width) {
    ColumnInfo c;
    c.name = name;
    c.id = id;
    c.column_type = type;
    c.space_usage = width;
    t.columns.insert_or_assign(name, c);
  };
  add("A", 1, ColumnType::SignedLong, 4);
  add("B", 2, ColumnType::SignedShort, 2);
  add("V", 128, ColumnType::Text, 255);
  add("W", 129, ColumnType::Binary, 255);
  add("X", 256, ColumnType::Text, 0);
  add("Y", 257, ColumnType::SignedLong, 0);
  return t;
}

ByteVector good_record() {
  fixture::RecordBuilder r(fixture::Format{});
  r.fixed(1, fixture::le_u32(7)).fixed(2, fixture::le_u16(9));
  r.variable(128, {'a', 'b'}).variable(129, {1, 2, 3});
  r.tagged(256, {'x', 'y', 'z'}).tagged(257, fixture::le_u32(5));
  return r.encode();
}

TEST(RecordCheck, AcceptsSoundRecordsAndRejectsEachBrokenField) {
  const TableInfo table = check_table();
  const RecordLayout layout(table);
  const RecordCheck check(layout, false);
  const ByteVector good = good_record();
  ASSERT_EQ(good[0], 2);
  ASSERT_EQ(read_u16_le(Bytes(good), 2), 11);  // 4 + 4 + 2 + one bitmap byte
  EXPECT_EQ(check.check(Bytes(good), true), good.size());
  // With room to spare, a record ending in a fixed-size tagged value ends
  // where that value does.
  ByteVector padded = good;
  padded.insert(padded.end(), {0x55, 0x66, 0x77});
  EXPECT_EQ(check.check(Bytes(padded), false), good.size());
  // Taken whole, the spare bytes would make the fixed-size value too long.
  EXPECT_FALSE(check.check(Bytes(padded), true));

  const std::size_t var_array = 11;
  const std::size_t tagged = 11 + 4 + 5;  // offsets, then "ab" and 1 2 3
  const struct {
    const char* what;
    std::size_t at;
    ByteVector bytes;
  } broken[] = {
      {"last fixed id beyond the table's", 0, {3}},
      {"last variable id not a column", 1, {130}},
      {"offset array not where the fixed part ends", 2, {12, 0}},
      {"variable offsets going backwards", var_array, {6, 0}},
      {"variable data past the record", var_array + 2, {0xFF, 0x00}},
      {"tagged id not a column", tagged, {0x10, 0x01}},
      {"tagged ids not ascending", tagged + 4, {0x00, 0x01}},
      {"tagged offset past the record", tagged + 6, {0xFF, 0x00}},
      {"tagged directory not a whole number of items", tagged + 2, {6, 0}},
  };
  for (const auto& b : broken) {
    ByteVector bad = good;
    std::copy(b.bytes.begin(), b.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(b.at));
    EXPECT_FALSE(check.check(Bytes(bad), true)) << b.what;
  }
  EXPECT_FALSE(check.check(Bytes(good).first(3), false));
  EXPECT_FALSE(check.plausible_header(Bytes(good).first(3)));
}

TEST(PrimaryKey, NormalisesFixedColumnsAsTheEngine) {
  TableInfo t = TableInfo::make("K", 10, 80);
  const struct {
    ColumnType type;
    std::uint32_t width;
    ByteVector value;
    bool descending;
    ByteVector key;
  } cases[] = {
      {ColumnType::SignedLong, 4, {1, 0, 0, 0}, false, {0x7F, 0x80, 0, 0, 1}},
      {ColumnType::SignedLong, 4, {0xFF, 0xFF, 0xFF, 0xFF}, false, {0x7F, 0x7F, 0xFF, 0xFF, 0xFF}},
      {ColumnType::UnsignedLong, 4, {1, 2, 3, 4}, false, {0x7F, 4, 3, 2, 1}},
      {ColumnType::SignedShort, 2, {0x00, 0x80}, false, {0x7F, 0x00, 0x00}},
      {ColumnType::UnsignedShort, 2, {0x34, 0x12}, false, {0x7F, 0x12, 0x34}},
      {ColumnType::Boolean, 1, {1}, false, {0x7F, 0xFF}},
      {ColumnType::UnsignedByte, 1, {9}, false, {0x7F, 9}},
      // A positive double has its sign bit flipped, a negative one every bit.
      {ColumnType::Float64, 8, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, false, {0x7F, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {ColumnType::Float64, 8, {0, 0, 0, 0, 0, 0, 0xF0, 0xBF}, false, {0x7F, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {ColumnType::LongLong, 8, {2, 0, 0, 0, 0, 0, 0, 0}, false, {0x7F, 0x80, 0, 0, 0, 0, 0, 0, 2}},
      // Descending: the whole segment complemented.
      {ColumnType::SignedLong, 4, {1, 0, 0, 0}, true, {0x80, 0x7F, 0xFF, 0xFF, 0xFE}},
  };
  for (const auto& c : cases) {
    t.columns = {};
    ColumnInfo col;
    col.name = "K";
    col.id = 1;
    col.column_type = c.type;
    col.space_usage = c.width;
    t.columns.insert_or_assign("K", col);
    const RecordLayout layout(t);
    const ByteVector segments = {static_cast<std::uint8_t>(c.descending ? 0x40 : 0), 0, 1, 0};
    auto key = parse_fixed_key_segments(Bytes(segments), kIndexFlagExtendedSegments | kIndexFlagPrimary, layout);
    ASSERT_TRUE(key);
    fixture::RecordBuilder r(fixture::Format{});
    r.fixed(1, c.value);
    const ByteVector record = r.encode();
    std::string built;
    ASSERT_TRUE(build_fixed_key(*key, layout, Bytes(record), false, built));
    EXPECT_EQ(ByteVector(built.begin(), built.end()), c.key) << column_type_name(c.type);
  }
}

TEST(PrimaryKey, NullsAndSegmentListsThatCannotBeRebuilt) {
  TableInfo t = check_table();
  const RecordLayout layout(t);
  // Old-style list: signed 16-bit ids, negative for descending.
  const ByteVector old_style = {1, 0, 0xFE, 0xFF};
  auto key = parse_fixed_key_segments(Bytes(old_style), kIndexFlagPrimary, layout);
  ASSERT_TRUE(key);
  ASSERT_EQ(key->segments.size(), 2u);
  EXPECT_FALSE(key->segments[0].descending);
  EXPECT_TRUE(key->segments[1].descending);
  fixture::RecordBuilder r(fixture::Format{});
  r.fixed(1, fixture::le_u32(1)).fixed_null(2, 2);
  const ByteVector record = r.encode();
  std::string built;
  ASSERT_TRUE(build_fixed_key(*key, layout, Bytes(record), false, built));
  EXPECT_EQ(ByteVector(built.begin(), built.end()), (ByteVector{0x7F, 0x80, 0, 0, 1, 0xFF}));  // NULL, descending
  // A tagged column of a fixed-size type keys as a fixed one does.
  const ByteVector over_tagged = {0, 0, 1, 1};
  auto tagged_key = parse_fixed_key_segments(Bytes(over_tagged), kIndexFlagExtendedSegments, layout);
  ASSERT_TRUE(tagged_key);
  fixture::RecordBuilder with_tag(fixture::Format{});
  with_tag.fixed(1, fixture::le_u32(1)).tagged(256, {'x'}).tagged(257, fixture::le_u32(2));
  const ByteVector tagged_record = with_tag.encode();
  ASSERT_TRUE(build_fixed_key(*tagged_key, layout, Bytes(tagged_record), false, built));
  EXPECT_EQ(ByteVector(built.begin(), built.end()), (ByteVector{0x7F, 0x80, 0, 0, 2}));
  fixture::RecordBuilder without_tag(fixture::Format{});
  without_tag.fixed(1, fixture::le_u32(1));
  const ByteVector untagged_record = without_tag.encode();
  ASSERT_TRUE(build_fixed_key(*tagged_key, layout, Bytes(untagged_record), false, built));
  EXPECT_EQ(ByteVector(built.begin(), built.end()), (ByteVector{0x00}));  // absent: NULL
  fixture::RecordBuilder separate(fixture::Format{});
  separate.fixed(1, fixture::le_u32(1)).tagged(257, fixture::le_u32(2), fixture::kTaggedLongValue);
  const ByteVector separate_record = separate.encode();
  EXPECT_FALSE(build_fixed_key(*tagged_key, layout, Bytes(separate_record), false, built));
  const ByteVector over_text = {0, 0, 128, 0};
  EXPECT_FALSE(parse_fixed_key_segments(Bytes(over_text), kIndexFlagExtendedSegments, layout));
  const ByteVector unknown = {0, 0, 9, 0};
  EXPECT_FALSE(parse_fixed_key_segments(Bytes(unknown), kIndexFlagExtendedSegments, layout));
  const ByteVector ragged = {0, 0, 1};
  EXPECT_FALSE(parse_fixed_key_segments(Bytes(ragged), kIndexFlagExtendedSegments, layout));
}

TEST(SpaceTrees, RangesMergeAndHeadersAreFound) {
  PageRanges ranges;
  ranges.add(10, 12);
  ranges.add(13, 13);
  ranges.add(20, 25);
  ranges.add(5, 5);
  ranges.finish();
  EXPECT_EQ(ranges.range_count(), 3u);
  EXPECT_EQ(ranges.page_count(), 11u);
  for (std::uint32_t p : {5u, 10u, 13u, 20u, 25u}) EXPECT_TRUE(ranges.contains(p)) << p;
  for (std::uint32_t p : {0u, 4u, 6u, 14u, 19u, 26u}) EXPECT_FALSE(ranges.contains(p)) << p;

  const ByteVector plain(16, 1);
  EXPECT_EQ(space_header_of(Bytes(plain))->data(), plain.data());
  ByteVector tagged(1 + 16 + 8, 2);
  tagged[0] = 0x03;  // space header and auto-increment value
  EXPECT_EQ(space_header_of(Bytes(tagged))->data(), tagged.data() + 1);
  tagged[0] = 0x02;  // auto-increment value only
  EXPECT_FALSE(space_header_of(Bytes(tagged)));
  EXPECT_FALSE(space_header_of(Bytes(plain).first(15)));
}

}  // namespace
}  // namespace pellumo

namespace pellumo {
namespace {

ByteVector multi_extent_header(std::uint32_t owned_tree) {
  ByteVector h = fixture::le_u32(1);
  for (std::uint32_t v : {0u, 1u, owned_tree}) {
    const ByteVector w = fixture::le_u32(v);
    h.insert(h.end(), w.begin(), w.end());
  }
  return h;
}

PageRanges available_in(fixture::FileBuilder& file) {
  fixture::TempDir dir;
  auto db = Database::open(dir.write("space.edb", file.bytes()));
  EXPECT_TRUE(db.ok());
  if (!db.ok()) return {};
  return collect_available_pages(**db);
}

TEST(SpaceTrees, ExtentsAreReadAndDamageAddsNothing) {
  fixture::DatabaseBuilder builder;
  builder.add_table("T", {{"Id", 1, fixture::kColLong, 4, 0, 0}});
  fixture::BuiltDatabase built = builder.build();
  fixture::FileBuilder& file = built.file;
  file.set_page_count(40);
  file.page(1).tags().at(0) = fixture::TagSpec::of(0, multi_extent_header(2));
  fixture::PageBuilder& tree = file.page(3);
  tree.tags().at(0) = fixture::TagSpec::of(0, ByteVector(16, 0));
  auto extent = [](std::uint32_t last, std::uint32_t count) {
    return fixture::leaf_tag({fixture::sequential_key(last), fixture::le_u32(count), std::nullopt});
  };
  tree.add_tag(extent(12, 3));   // pages 10-12
  tree.add_tag(extent(13, 0));   // no pages
  tree.add_tag(extent(14, 20));  // more pages than lie before its last: damage
  fixture::TagSpec deleted = extent(30, 2);
  deleted.flags |= kTagFlagDeleted;
  tree.add_tag(deleted);  // flagged deleted: no longer free
  tree.add_tag(extent(33, 1));  // page 33
  PageRanges ranges = available_in(file);
  EXPECT_EQ(ranges.page_count(), 4u);
  for (std::uint32_t p : {10u, 11u, 12u, 33u}) EXPECT_TRUE(ranges.contains(p)) << p;
  for (std::uint32_t p : {13u, 14u, 29u, 30u}) EXPECT_FALSE(ranges.contains(p)) << p;

  // A branch page of the tree that leads back to itself and past the file.
  fixture::PageBuilder& branch = file.reset_page(3);
  branch.set_flags(fixture::kPageRoot | fixture::kPageSpaceTree).set_object_id(1);
  branch.add_tag(0, ByteVector(16, 0));
  branch.add_tag(fixture::branch_tag(fixture::sequential_key(5), 3));
  branch.add_tag(fixture::branch_tag(fixture::sequential_key(9), 99999));
  EXPECT_EQ(available_in(file).page_count(), 0u);
}

}  // namespace
}  // namespace pellumo
