#include "catalog/parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalog_expect.h"
#include "fixture/catalog_record.h"
#include "fixture/database_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::CatalogRecord;
using fixture::DatabaseBuilder;
using fixture::Format;
using fixture::LeafEntrySpec;

struct Accumulators {
  TableMap tables;
  ObjectNameMap object_names;
  std::vector<PendingEntry> pending;

  Result<void> process(const ByteVector& data) {
    return CatalogParser::process_catalog_entry(Bytes(data.data(), data.size()), tables, object_names, pending);
  }
};

std::vector<std::string> table_names(const TableMap& tables) {
  std::vector<std::string> out;
  for (const auto& [name, info] : tables) out.push_back(name);
  return out;
}

std::vector<std::string> column_names(const TableInfo& table) {
  std::vector<std::string> out;
  for (const auto& [name, info] : table.columns) out.push_back(name);
  return out;
}

CatalogRecord users_column() { return fixture::column_record(8, "Name", 128, fixture::kColText, 255, 0, 1252); }

TEST(CatalogRecord, RegistersATableRecord) {
  const ByteVector record = {0x07, 0x80, 0x1E, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,
                             0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x54, 0x65, 0x73, 0x74};
  // The fixture writes a table record byte for byte the same.
  ASSERT_EQ(fixture::table_record("Test", 2, 5, 80).encode(), record);
  Accumulators acc;
  ASSERT_TRUE(acc.process(record).ok());
  ASSERT_EQ(acc.tables.size(), 1u);
  const auto& [name, table] = acc.tables[0];
  EXPECT_EQ(name, "Test");
  EXPECT_EQ(table.name, "Test");
  EXPECT_EQ(table.root_page, 5u);
  EXPECT_EQ(table.space_usage, 80u);
  EXPECT_TRUE(table.columns.empty());
  ASSERT_EQ(acc.object_names.size(), 1u);
  EXPECT_EQ(*acc.object_names.find(2), "Test");
  EXPECT_TRUE(acc.pending.empty());
}

TEST(CatalogRecord, QueuesColumnsIndexesAndLongValues) {
  Accumulators acc;
  CatalogRecord column = fixture::column_record(8, "Email", 129, fixture::kColText, 255, 0x1, 1200);
  // Further fixed and variable columns move the name; it is still found.
  column.extra_fixed_columns = 3;
  column.extra_fixed_data = ByteVector(7, 0xAA);
  column.extra_variable = {ByteVector{1, 2, 3}, std::nullopt, ByteVector{4}};
  column.tagged = {0x00, 0x01, 0x04, 0x00, 0x09};
  ASSERT_TRUE(acc.process(column.encode()).ok());
  ASSERT_TRUE(acc.process(fixture::index_record(8, "ByName", 9, 33, 90, 0x2, 1031).encode()).ok());
  ASSERT_TRUE(acc.process(fixture::long_value_record(8, "LV", 10, 44, 2048).encode()).ok());
  ASSERT_TRUE(acc.tables.empty());
  ASSERT_EQ(acc.pending.size(), 3u);

  const PendingEntry& c = acc.pending[0];
  EXPECT_EQ(c.table_object_id, 8u);
  EXPECT_EQ(c.name, "Email");
  EXPECT_EQ(c.entry.catalog_type, 2);
  EXPECT_EQ(c.entry.identifier, 129u);
  const auto* cd = std::get_if<ColumnDetails>(&c.entry.details);
  ASSERT_NE(cd, nullptr);
  EXPECT_EQ(cd->column_type, 10u);
  EXPECT_EQ(cd->space_usage, 255u);
  EXPECT_EQ(cd->flags, 1u);
  EXPECT_EQ(cd->codepage, 1200u);

  const auto* id = std::get_if<IndexDetails>(&acc.pending[1].entry.details);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(acc.pending[1].name, "ByName");
  EXPECT_EQ(acc.pending[1].entry.identifier, 9u);
  EXPECT_EQ(id->root_page, 33u);
  EXPECT_EQ(id->space_usage, 90u);
  EXPECT_EQ(id->flags, 2u);
  EXPECT_EQ(id->locale, 1031u);

  const auto* lv = std::get_if<LongValueDetails>(&acc.pending[2].entry.details);
  ASSERT_NE(lv, nullptr);
  EXPECT_EQ(acc.pending[2].name, "LV");
  EXPECT_EQ(lv->root_page, 44u);
  EXPECT_EQ(lv->space_usage, 2048u);
}

TEST(CatalogRecord, AcceptsTinyRecordsAndEmptyNames) {
  Accumulators acc;
  const ByteVector table = fixture::table_record("T", 8, 5).encode();
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_TRUE(acc.process(fixture::truncated(table, n)).ok()) << n;
  }
  EXPECT_TRUE(acc.tables.empty());
  EXPECT_TRUE(acc.object_names.empty());
  EXPECT_TRUE(acc.pending.empty());

  ASSERT_TRUE(acc.process(fixture::table_record("", 9, 6).encode()).ok());
  ASSERT_TRUE(acc.process(fixture::column_record(9, "", 1, fixture::kColLong, 4).encode()).ok());
  EXPECT_EQ(table_names(acc.tables), std::vector<std::string>{""});
  EXPECT_EQ(acc.pending.at(0).name, "");
}

TEST(CatalogRecord, PassesOverTypesItDoesNotUse) {
  const CatalogRecord table = fixture::table_record("T", 8, 5);
  for (std::uint16_t type : {0, 6, 7, 8, 0xFFFF}) {
    CatalogRecord r = table;
    r.catalog_type = type;
    Accumulators acc;
    ASSERT_TRUE(acc.process(r.encode()).ok()) << type;
    EXPECT_TRUE(acc.tables.empty()) << type;
    EXPECT_TRUE(acc.pending.empty()) << type;
  }
}

TEST(CatalogRecord, RefusesDamagedRecordsLeavingNothingBehind) {
  auto with = [](CatalogRecord r, auto edit) {
    edit(r);
    return r.encode();
  };
  const CatalogRecord table = fixture::table_record("Users", 8, 5);
  const CatalogRecord column = users_column();
  const CatalogRecord index = fixture::index_record(8, "ByName", 9, 33);
  const CatalogRecord lv = fixture::long_value_record(8, "LV", 10, 44);
  struct Case {
    const char* what;
    ByteVector bytes;
    EseError::Kind kind;
    std::string message;
  } cases[] = {
      {"13 bytes", fixture::truncated(table.encode(), 13), EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"callback", with(table, [](auto& r) { r.catalog_type = 5; }), EseError::Kind::CallbackCatalogType,
       "Callback catalog type is not supported"},
      {"short callback", fixture::truncated(with(table, [](auto& r) { r.catalog_type = 5; }), 13),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"table of 21 bytes", fixture::truncated(table.encode(), 21), EseError::Kind::InvalidCatalogEntry,
       "Invalid catalog entry"},
      {"long value of 21 bytes", fixture::truncated(lv.encode(), 21), EseError::Kind::InvalidCatalogEntry,
       "Invalid catalog entry"},
      {"column of 29 bytes", fixture::truncated(column.encode(), 29), EseError::Kind::InvalidCatalogEntry,
       "Invalid catalog entry"},
      {"index of 29 bytes", fixture::truncated(index.encode(), 29), EseError::Kind::InvalidCatalogEntry,
       "Invalid catalog entry"},
      {"column type 19", with(column, [](auto& r) { r.column_type_or_root_page = 19; }),
       EseError::Kind::UnsupportedColumnType, "Unsupported column type: 19"},
      {"column type 2^32-1", with(column, [](auto& r) { r.column_type_or_root_page = 0xFFFFFFFF; }),
       EseError::Kind::UnsupportedColumnType, "Unsupported column type: 4294967295"},
      // Length is checked before the type code.
      {"short column of type 19", fixture::truncated(with(column, [](auto& r) { r.column_type_or_root_page = 19; }), 29),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"name past the end", with(table, [](auto& r) { r.override_name_length = 6; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"null name", with(table, [](auto& r) { r.override_name_length = 0x8005; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"offset array past the end", with(column, [](auto& r) { r.override_variable_offsets_position = 200; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"offset array cut by the end", with(table, [](auto& r) { r.override_variable_offsets_position = 36; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"no name column (127)", with(table, [](auto& r) { r.override_last_variable = 127; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"no name column (0)", with(column, [](auto& r) { r.override_last_variable = 0; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
      {"128 variable columns", with(table, [](auto& r) { r.override_last_variable = 255; }),
       EseError::Kind::InvalidCatalogEntry, "Invalid catalog entry"},
  };
  for (const Case& c : cases) {
    Accumulators acc;
    ASSERT_TRUE(acc.process(fixture::table_record("Before", 7, 4).encode()).ok());
    auto result = acc.process(c.bytes);
    ASSERT_FALSE(result.ok()) << c.what;
    EXPECT_EQ(result.error().kind(), c.kind) << c.what;
    EXPECT_EQ(result.error().message(), c.message) << c.what;
    EXPECT_EQ(table_names(acc.tables), std::vector<std::string>{"Before"}) << c.what;
    EXPECT_EQ(acc.object_names.size(), 1u) << c.what;
    EXPECT_TRUE(acc.pending.empty()) << c.what;
  }
}

TEST(CatalogRecord, LaterTableRecordsReplaceEarlierOnes) {
  Accumulators acc;
  ASSERT_TRUE(acc.process(fixture::table_record("A", 8, 5).encode()).ok());
  ASSERT_TRUE(acc.process(fixture::table_record("B", 9, 6).encode()).ok());
  ASSERT_TRUE(acc.process(fixture::table_record("A", 10, 7, 99).encode()).ok());
  // Same object id, new name: the id now names C.
  ASSERT_TRUE(acc.process(fixture::table_record("C", 9, 8).encode()).ok());
  EXPECT_EQ(table_names(acc.tables), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(acc.tables.find("A")->root_page, 7u);
  EXPECT_EQ(acc.tables.find("A")->space_usage, 99u);
  ASSERT_EQ(acc.object_names.size(), 3u);
  EXPECT_EQ(acc.object_names[1].first, 9u);
  EXPECT_EQ(acc.object_names[1].second, "C");
  EXPECT_EQ(*acc.object_names.find(8), "A");
  EXPECT_EQ(*acc.object_names.find(10), "A");
}

// --- The walk over the catalog tree -------------------------------------

// Hand-built pages carry no owner; the walks here are about structure, so
// every page is given the catalog's object id first.
Result<TableMap> read_catalog(ByteVector file, const Format& f) {
  for (std::size_t at = 2 * static_cast<std::size_t>(f.page_size); at + f.page_size <= file.size(); at += f.page_size) {
    if (file[at + 24] == 0 && file[at + 25] == 0 && file[at + 26] == 0 && file[at + 27] == 0) file[at + 24] = 2;
  }
  return CatalogParser::parse_catalog(fixture::memory_page_loader(file, f), f.format_version, f.format_revision,
                                      f.page_size);
}

DatabaseBuilder users_and_events(const Format& f) {
  DatabaseBuilder db(f);
  db.add_table("Users", {{"UserId", 1, fixture::kColLong, 4, fixture::kColumnNotNull, 0},
                         {"Name", 128, fixture::kColText, 255, 0, 1252}});
  db.add_table("Events", {{"EventId", 1, fixture::kColLongLong, 8, 0, 0}});
  return db;
}

// Moves the entries of `record` kind matching `pick` to the front.
void move_to_front(std::vector<LeafEntrySpec>& entries, std::uint16_t type) {
  std::stable_partition(entries.begin(), entries.end(),
                        [type](const LeafEntrySpec& e) { return e.data.size() > 9 && e.data[8] == type; });
}

TEST(CatalogWalk, ReadsCatalogsOfEveryShape) {
  struct Case {
    Format format;
    std::size_t leaf_entries, branch_entries;
    bool prefix_compression;
  } cases[] = {
      {Format{4096}, 0, 0, false},          {Format{4096}, 3, 2, false},
      {Format{4096}, 5, 3, true},           {Format{8192, 0x620, 0x0c}, 2, 2, true},
      {Format{16384, 0x620, 0x14}, 4, 0, true}, {Format{32768, 0x620, 0x14}, 0, 0, true},
      {Format{32768, 0x620, 0x14}, 2, 2, false}, {Format{16384, 0x621, 0}, 3, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.format.page_size << " " << c.leaf_entries << " " << c.branch_entries);
    DatabaseBuilder db = fixture::sample_database(c.format);
    db.catalog().tree.max_leaf_entries = c.leaf_entries;
    db.catalog().tree.max_branch_entries = c.branch_entries;
    db.catalog().tree.prefix_compression = c.prefix_compression;
    const fixture::BuiltDatabase built = db.build();
    auto tables = read_catalog(built.bytes(), c.format);
    ASSERT_TRUE(tables.ok()) << tables.error().message();
    testing::expect_catalog(*tables, db, built);
  }
}

TEST(CatalogWalk, AttachesEntriesWhereverTheyStand) {
  const Format f{};
  DatabaseBuilder db = users_and_events(f);
  // Columns before every table record.
  db.catalog().edit = [](std::vector<LeafEntrySpec>& e) { move_to_front(e, fixture::kCatalogColumn); };
  db.catalog().tree.max_leaf_entries = 3;
  const fixture::BuiltDatabase built = db.build();
  auto tables = read_catalog(built.bytes(), f);
  ASSERT_TRUE(tables.ok()) << tables.error().message();
  // The table order follows the table records; columns keep catalog order.
  EXPECT_EQ(table_names(*tables), (std::vector<std::string>{"MSysObjects", "Users", "Events"}));
  EXPECT_EQ(column_names(*tables->find("Users")), (std::vector<std::string>{"UserId", "Name"}));
  EXPECT_EQ(column_names(*tables->find("Events")), (std::vector<std::string>{"EventId"}));
  EXPECT_EQ(tables->find("MSysObjects")->columns.size(), fixture::msysobjects_columns().size());
}

TEST(CatalogWalk, DropsEntriesOfMissingTables) {
  const Format f{};
  DatabaseBuilder db = users_and_events(f);
  db.catalog().edit = [](std::vector<LeafEntrySpec>& e) {
    std::erase_if(e, [](const LeafEntrySpec& x) { return fixture::catalog_key(fixture::table_record("", 8, 0)) == x.key; });
  };
  const fixture::BuiltDatabase built = db.build();
  auto tables = read_catalog(built.bytes(), f);
  ASSERT_TRUE(tables.ok());
  EXPECT_EQ(table_names(*tables), (std::vector<std::string>{"MSysObjects", "Events"}));
  EXPECT_EQ(column_names(*tables->find("Events")), (std::vector<std::string>{"EventId"}));
}

TEST(CatalogWalk, MergesDuplicateNames) {
  const Format f{};
  DatabaseBuilder db(f);
  db.add_table("Dups", {{"Same", 1, fixture::kColLong, 4, 0, 0},
                        {"Other", 2, fixture::kColShort, 2, 0, 0},
                        {"Same", 3, fixture::kColText, 255, 0, 1200}});
  fixture::TableSpec first;
  first.name = "Twin";
  first.object_id = 20;
  first.columns = {{"A", 1, fixture::kColLong, 4, 0, 0}};
  fixture::TableSpec second = first;
  second.object_id = 21;
  second.columns = {{"B", 1, fixture::kColLong, 4, 0, 0}};
  db.add_table(first);
  db.add_table(second);
  const fixture::BuiltDatabase built = db.build();
  auto tables = read_catalog(built.bytes(), f);
  ASSERT_TRUE(tables.ok());
  EXPECT_EQ(table_names(*tables), (std::vector<std::string>{"MSysObjects", "Dups", "Twin"}));
  const TableInfo& dups = *tables->find("Dups");
  EXPECT_EQ(column_names(dups), (std::vector<std::string>{"Same", "Other"}));
  EXPECT_EQ(dups.columns.find("Same")->id, 3u);
  EXPECT_EQ(dups.columns.find("Same")->codepage, std::optional<std::uint32_t>(1200));
  // One TableInfo, the later record's, holding the columns of both.
  const TableInfo& twin = *tables->find("Twin");
  EXPECT_EQ(twin.root_page, built.tables.back().root_page);
  EXPECT_EQ(column_names(twin), (std::vector<std::string>{"A", "B"}));
}

TEST(CatalogWalk, DamagedRecordFailsSmallPagesAndIsSkippedOnLarge) {
  const CatalogRecord bad_type = [] {
    CatalogRecord r = users_column();
    r.column_type_or_root_page = 19;
    return r;
  }();
  const CatalogRecord callback = [] {
    CatalogRecord r = fixture::table_record("Callback", 30, 5);
    r.catalog_type = fixture::kCatalogCallback;
    return r;
  }();
  struct Damage {
    ByteVector record;
    std::string message;
  } damages[] = {
      {bad_type.encode(), "Unsupported column type: 19"},
      {callback.encode(), "Callback catalog type is not supported"},
      {fixture::truncated(fixture::table_record("Cut", 31, 5).encode(), 13), "Invalid catalog entry"},
  };
  for (std::uint32_t page_size : {4096u, 8192u, 16384u, 32768u}) {
    for (const Damage& d : damages) {
      SCOPED_TRACE(::testing::Message() << page_size << ": " << d.message);
      const Format f{page_size};
      DatabaseBuilder db = users_and_events(f);
      db.catalog().tree.max_leaf_entries = 4;
      db.catalog().edit = [&d](std::vector<LeafEntrySpec>& e) {
        e.insert(e.begin() + 3, LeafEntrySpec{{0x7F, 0x80, 0x00, 0x00, 0x09}, d.record, std::nullopt});
      };
      const fixture::BuiltDatabase built = db.build();
      auto tables = read_catalog(built.bytes(), f);
      if (page_size <= 8192) {
        ASSERT_FALSE(tables.ok());
        EXPECT_EQ(tables.error().message(), d.message);
        // The whole open fails with it.
        auto opened = fixture::open_bytes(built.bytes());
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().message(), d.message);
      } else {
        ASSERT_TRUE(tables.ok()) << tables.error().message();
        testing::expect_catalog(*tables, users_and_events(f), built);
      }
    }
  }
}

// A chain of branch pages, each with one entry leading to the next.
fixture::FileBuilder branch_chain(const Format& f, const std::vector<std::uint32_t>& pages) {
  fixture::FileBuilder file(f);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    fixture::PageBuilder& page = file.page(pages[i]);
    page.add_tag(0, {});
    if (i + 1 < pages.size()) {
      page.add_tag(fixture::branch_tag({0x7F}, pages[i + 1]));
    } else {
      page.set_flags(fixture::kPageLeaf).add_tag(fixture::leaf_tag(fixture::catalog_entry(fixture::table_record("End", 8, 1))));
    }
  }
  return file;
}

TEST(CatalogWalk, LoopsAndDeepTreesCostOnlyTheRefusedPages) {
  const Format f{};
  struct Case {
    const char* what;
    std::vector<std::uint32_t> chain;
    std::optional<std::uint32_t> back_to;  // an extra entry on the last branch page
    std::vector<std::string> tables;
  } cases[] = {
      {"root to itself", {4, 4}, std::nullopt, {}},
      {"back to the root", {4, 9, 7, 5}, 4, {"End"}},
      {"back to a middle page", {4, 9, 7, 5}, 9, {"End"}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> chain = c.chain;
    fixture::FileBuilder file(f);
    if (c.back_to) {
      file = branch_chain(f, chain);
      file.page(chain[chain.size() - 2]).add_tag(fixture::branch_tag({0x7F, 0x01}, *c.back_to));
    } else {
      file.page(4).add_tag(0, {}).add_tag(fixture::branch_tag({}, 4));
    }
    auto tables = read_catalog(file.bytes(), f);
    ASSERT_TRUE(tables.ok()) << c.what << ": " << tables.error().message();
    EXPECT_EQ(table_names(*tables), c.tables) << c.what;
  }

  // 64 levels below the root are walked; the 65th is refused.
  std::vector<std::uint32_t> chain;
  for (std::uint32_t n = 4; n < 4 + 66; ++n) chain.push_back(n);
  auto deep = read_catalog(branch_chain(f, chain).bytes(), f);
  ASSERT_TRUE(deep.ok());
  EXPECT_TRUE(deep->empty());
  chain.pop_back();
  auto deepest = read_catalog(branch_chain(f, chain).bytes(), f);
  ASSERT_TRUE(deepest.ok()) << deepest.error().message();
  EXPECT_EQ(table_names(*deepest), std::vector<std::string>{"End"});
}

TEST(CatalogWalk, ScenarioWithALoopReadsEveryRecordOnce) {
  for (std::uint32_t page_size : {4096u, 32768u}) {
    auto db = fixture::open_bytes(fixture::find_scenario("catalog-loop")->build(Format{page_size}));
    ASSERT_TRUE(db.ok()) << db.error().message();
    EXPECT_EQ((*db)->tables().size(), 5u);
  }
}

TEST(CatalogWalk, WalksASharedPageOnce) {
  const Format f{};
  fixture::FileBuilder file(f);
  file.page(4).add_tag(0, {}).add_tag(fixture::branch_tag({}, 5)).add_tag(fixture::branch_tag({0x7F}, 5));
  fixture::PageBuilder& leaf = file.page(5).set_flags(fixture::kPageLeaf).add_tag(0, {});
  leaf.add_tag(fixture::leaf_tag(fixture::catalog_entry(fixture::table_record("T", 8, 6))));
  leaf.add_tag(fixture::leaf_tag(fixture::catalog_entry(fixture::column_record(8, "C", 1, fixture::kColLong, 4))));
  const ByteVector bytes = file.bytes();
  TableMap tables;
  ObjectNameMap names;
  std::vector<PendingEntry> pending;
  ASSERT_TRUE(CatalogParser::parse_catalog_page(fixture::memory_page_loader(bytes, f), f.format_version,
                                                f.format_revision, f.page_size, 4, tables, names, pending)
                  .ok());
  EXPECT_EQ(table_names(tables), std::vector<std::string>{"T"});
  EXPECT_EQ(pending.size(), 1u);
}

TEST(CatalogWalk, SkipsReservedTags) {
  for (std::uint32_t page_size : {4096u, 16384u, 32768u}) {
    SCOPED_TRACE(page_size);
    const Format f{page_size};
    auto db = fixture::open_bytes(fixture::find_scenario("reserved-tags")->build(f));
    ASSERT_TRUE(db.ok()) << db.error().message();
    EXPECT_EQ(table_names((*db)->tables()), (std::vector<std::string>{"MSysObjects", "Users", "Events"}));
    EXPECT_EQ(column_names(*(*db)->tables().find("Users")), (std::vector<std::string>{"UserId", "Name"}));
  }

  // The same stale tags, not declared reserved, are read as records.
  const Format f{};
  DatabaseBuilder db = users_and_events(f);
  db.catalog().tree.max_leaf_entries = 4;
  db.catalog().tree.reserved_leaf_tags = {
      fixture::leaf_tag(fixture::catalog_entry(fixture::table_record("StaleTable", 900, 5)))};
  fixture::BuiltDatabase built = db.build();
  auto with_reserved = read_catalog(built.bytes(), f);
  ASSERT_TRUE(with_reserved.ok());
  EXPECT_FALSE(with_reserved->contains("StaleTable"));
  for (std::uint32_t leaf : built.catalog.levels[0]) built.file.page(leaf).set_reserved_tags(0);
  auto without = read_catalog(built.bytes(), f);
  ASSERT_TRUE(without.ok());
  EXPECT_TRUE(without->contains("StaleTable"));
}

TEST(CatalogWalk, ReadsOnlyTheTagsAndPagesThatHoldRecords) {
  const Format f{};
  const auto record = [](const CatalogRecord& r) { return fixture::leaf_tag(fixture::catalog_entry(r)); };
  struct Case {
    const char* what;
    std::uint32_t flags;
    std::vector<fixture::TagSpec> tags;
    std::vector<std::string> tables;
  } cases[] = {
      // Tag 0 is read like any other tag.
      {"tag 0", fixture::kPageLeaf | fixture::kPageRoot, {record(fixture::table_record("Zero", 8, 5))}, {"Zero"}},
      {"undecodable tags", fixture::kPageLeaf,
       {fixture::TagSpec::of(0, {}), fixture::TagSpec::of(0, {0x05}), fixture::TagSpec::of(4, {0, 0, 0}),
        record(fixture::table_record("T", 8, 5))},
       {"T"}},
      // Branch entries that cannot be followed are skipped.
      {"bad children", fixture::kPageRoot,
       {{}, fixture::branch_tag({}, 0), fixture::branch_tag({}, 100001), fixture::TagSpec::of(0, {1, 0, 0x41})},
       {}},
  };
  for (const Case& c : cases) {
    fixture::FileBuilder file(f);
    fixture::PageBuilder& page = file.page(4).set_flags(c.flags);
    for (const auto& t : c.tags) page.add_tag(t);
    auto tables = read_catalog(file.bytes(), f);
    ASSERT_TRUE(tables.ok()) << c.what << ": " << tables.error().message();
    EXPECT_EQ(table_names(*tables), c.tables) << c.what;
  }

  // A catalog root of another kind of tree is no catalog.
  for (std::uint32_t kind : {fixture::kPageIndex, fixture::kPageLongValue, fixture::kPageSpaceTree}) {
    fixture::FileBuilder file(f);
    file.page(4).set_flags(fixture::kPageLeaf | kind).add_tag(0, {}).add_tag(record(fixture::table_record("T", 8, 5)));
    auto tables = read_catalog(file.bytes(), f);
    ASSERT_FALSE(tables.ok()) << kind;
    EXPECT_EQ(tables.error().message(), "Corrupt structure: page 4 refused (wrong_tree_type)");
  }

  // A child beyond the file is refused; its siblings are still read.
  fixture::FileBuilder file(f);
  file.page(4).add_tag(0, {}).add_tag(fixture::branch_tag({}, 100000)).add_tag(fixture::branch_tag({0x7F}, 5));
  file.page(5).set_flags(fixture::kPageLeaf).add_tag(0, {}).add_tag(record(fixture::table_record("T", 8, 5)));
  auto beyond = read_catalog(file.bytes(), f);
  ASSERT_TRUE(beyond.ok()) << beyond.error().message();
  EXPECT_EQ(table_names(*beyond), std::vector<std::string>{"T"});
}

}  // namespace
}  // namespace pellumo
