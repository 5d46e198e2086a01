#include "recovery/dropped.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "database/database.h"
#include "fixture/dropped_scenarios.h"
#include "fixture/format.h"
#include "fixture/temp_file.h"
#include "recovery/recover.h"

namespace pellumo {
namespace {

const std::vector<fixture::Format> kFormats = {
    {4096, 0x620, 0x14},  {8192, 0x620, 0x14},  {16384, 0x620, 0x14}, {32768, 0x620, 0x14},
    {4096, 0x620, 0x0c},  // Ecc header layout
    {16384, 0x620, 0x0c},  // pages above 8 KiB with small tag slots
    {4096, 0x620, 0x09},  // the oldest header
};

std::string trace(const fixture::Format& f) {
  return "page size " + std::to_string(f.page_size) + ", revision " + std::to_string(f.format_revision);
}

struct Opened {
  fixture::TempDir dir;
  std::unique_ptr<Database> db;
};

std::unique_ptr<Opened> open_dropped(const fixture::Format& format, const fixture::DroppedOptions& options = {}) {
  auto out = std::make_unique<Opened>();
  auto db = Database::open(out->dir.write("dropped.edb", fixture::dropped_scenario(format, options)));
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : db.error().message());
  if (db.ok()) out->db = std::move(db).value();
  return out;
}

std::string text_of(const ColumnValue* v) {
  if (!v || v->is_null()) return "<null>";
  if (v->kind() == ValueKind::Text) return std::string(v->text());
  if (v->kind() == ValueKind::Int16 || v->kind() == ValueKind::Int32) return std::to_string(v->as_signed());
  return std::to_string(v->as_unsigned());
}

// Every record of one dropped table: column -> value text, by the value of
// `key_column`.
std::map<std::string, std::map<std::string, std::string>> records_of(RecoveryScanner& scanner,
                                                                     const std::string& key_column,
                                                                     std::uint32_t objid) {
  std::map<std::string, std::map<std::string, std::string>> out;
  while (scanner.advance()) {
    const RecoveredRecord& r = scanner.current();
    EXPECT_EQ(r.status, RecoveryStatus::Dropped);
    EXPECT_EQ(r.source, RecoverySource::DroppedTable);
    EXPECT_EQ(r.objid, objid);
    const Record& row = scanner.record();
    auto& values = out[text_of(row.find(key_column))];
    EXPECT_TRUE(values.empty()) << "recovered twice: " << key_column << " " << text_of(row.find(key_column));
    for (std::size_t i = 0; i < row.size(); ++i) values[row.name(i)] = text_of(&row.value(i));
  }
  return out;
}

TEST(DroppedTables, FoundWithTheirNamesSchemasAndCountsAtEveryPageSize) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE(trace(format));
    auto opened = open_dropped(format);
    ASSERT_TRUE(opened->db);
    auto found = DroppedTables::find(*opened->db, true);
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::optional<std::string>, std::string, std::uint64_t>>
        got, want;
    for (const DroppedTable& t : found->tables()) {
      got.emplace_back(t.objid, t.pages, t.name, dropped_schema_text(t), t.records.value_or(999));
    }
    for (const fixture::ExpectedDropped& e : fixture::dropped_expected()) {
      want.emplace_back(e.objid, e.pages, e.name, e.schema, e.records);
    }
    // The page of stray bytes fails its checksum: its owner is no table.
    EXPECT_EQ(got, want);
    EXPECT_EQ(found->by_objid(fixture::kStrayOwner), nullptr);
    // Live tables and their trees are never dropped ones.
    for (std::uint32_t live : {1u, 2u, 10u, 11u, 12u}) EXPECT_EQ(found->by_objid(live), nullptr) << live;
  }
}

TEST(DroppedTables, RecordsComeInTheirSchemaWithTheirLongValues) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE(trace(format));
    auto opened = open_dropped(format);
    ASSERT_TRUE(opened->db);
    auto found = DroppedTables::find(*opened->db, false);
    ASSERT_NE(found->by_objid(20), nullptr);

    auto clients = RecoveryScanner::open_dropped(*opened->db, found, *found->by_objid(20));
    const auto old_clients = records_of(*clients, "Id", 20);
    ASSERT_EQ(old_clients.size(), 12u);
    for (const auto& [id, values] : old_clients) {
      EXPECT_EQ(values.at("User"), "olduser" + id);
      EXPECT_EQ(values.at("Visits"), std::to_string(std::stoi(id) * 7));
      // Id 3's note is in the dropped table's own long-value tree.
      EXPECT_EQ(values.at("Note"), id == "3" ? fixture::kDroppedClientNote : "note of olduser" + id);
    }

    // Read with the live Roles' layout: the page in use and the emptied one.
    auto roles = RecoveryScanner::open_dropped(*opened->db, found, *found->by_objid(30));
    const auto old_roles = records_of(*roles, "RoleId", 30);
    std::vector<std::string> titles;
    for (const auto& [id, values] : old_roles) titles.push_back(values.at("Title"));
    EXPECT_EQ(titles, (std::vector<std::string>{"retired10", "retired11", "retired12", "retired13"}));

    auto archive = RecoveryScanner::open_dropped(*opened->db, found, *found->by_objid(40));
    const auto archived = records_of(*archive, "Seq", 40);
    ASSERT_EQ(archived.size(), 3u);
    for (const auto& [seq, values] : archived) EXPECT_EQ(values.at("Kind"), std::to_string(std::stoi(seq) + 100));

    // Without a schema nothing can be told for a record.
    auto orphan = RecoveryScanner::open_dropped(*opened->db, found, *found->by_objid(50));
    EXPECT_FALSE(orphan->advance());
  }
}

TEST(DroppedTables, TwinsFollowATablesOwnRecordsOnlyWhenAskedFor) {
  const struct {
    const char* table;
    unsigned sources;
    std::map<std::uint32_t, std::size_t> by_objid;  // records per object
  } cases[] = {
      {"Clients", kDefaultRecoverySources, {}},
      {"Clients", recovery_source_bit(RecoverySource::DroppedTable), {{20, 12}}},
      {"Clients", kAllRecoverySources, {{20, 12}}},
      {"Roles", recovery_source_bit(RecoverySource::DroppedTable), {{30, 4}}},
      // Archive has no live twin: nothing is any live table's.
      {"MSysObjects", recovery_source_bit(RecoverySource::DroppedTable), {}},
  };
  for (const fixture::Format& format : {fixture::Format{4096, 0x620, 0x14}, fixture::Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(trace(format));
    auto opened = open_dropped(format);
    ASSERT_TRUE(opened->db);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.table) + " with sources " + std::to_string(c.sources));
      auto scanner = RecoveryScanner::open(*opened->db, c.table, c.sources);
      ASSERT_TRUE(scanner.ok());
      std::map<std::uint32_t, std::size_t> by_objid;
      while ((*scanner)->advance()) {
        const RecoveredRecord& r = (*scanner)->current();
        if (r.status != RecoveryStatus::Dropped) continue;
        EXPECT_EQ(r.source, RecoverySource::DroppedTable);
        ++by_objid[r.objid];
      }
      EXPECT_EQ(by_objid, c.by_objid);
    }
  }
}

// What the catalog forgot is made up for where the file allows it, and
// lost where it does not.
TEST(DroppedTables, ForgottenDefinitionsAndReusedPages) {
  for (const fixture::Format& format : {fixture::Format{4096, 0x620, 0x14}, fixture::Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(trace(format));
    // Old Clients forgotten: read with the live Clients' layout, no name,
    // its long-value and index trees no longer tied to it.
    auto forgotten = open_dropped(format, {true});
    ASSERT_TRUE(forgotten->db);
    auto found = DroppedTables::find(*forgotten->db, true);
    const DroppedTable* t = found->by_objid(20);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->name);
    EXPECT_EQ(dropped_schema_text(*t), "Clients");
    EXPECT_EQ(t->pages, 2u);
    EXPECT_EQ(t->records, 12u);
    auto scanner = RecoveryScanner::open_dropped(*forgotten->db, found, *t);
    const auto records = records_of(*scanner, "Id", 20);
    EXPECT_EQ(records.at("3").at("Note"), "<null>");  // no tree to look in: unresolved, not empty
    EXPECT_EQ(records.at("4").at("Note"), "note of olduser4");

    // Its long-value tree's root page taken by another object: the value
    // is not looked up among that object's keys.
    auto opened = open_dropped(format);
    ASSERT_TRUE(opened->db);
    auto again = DroppedTables::find(*opened->db, false);
    DroppedTable moved = *again->by_objid(20);
    ASSERT_TRUE(moved.long_value_objid);
    moved.long_value_objid = 9999;
    auto reread = RecoveryScanner::open_dropped(*opened->db, again, moved);
    EXPECT_EQ(records_of(*reread, "Id", 20).at("3").at("Note"), "<null>");
  }
}

TEST(DroppedTables, AShadowCatalogNamesWhatTheCatalogLostAndItsDamageIsCounted) {
  for (const fixture::Format& format : kFormats) {
    SCOPED_TRACE(trace(format));
    // Sound: Orphan, which the catalog lost, takes its name and its three
    // columns from the shadow; the shadow itself is live, no dropped table.
    auto opened = open_dropped(format, {.shadow_catalog = true});
    ASSERT_TRUE(opened->db);
    auto found = DroppedTables::find(*opened->db, true);
    EXPECT_FALSE(found->damage().any());
    EXPECT_EQ(found->by_objid(fixture::kShadowObjectId), nullptr);
    const DroppedTable* orphan = found->by_objid(50);
    ASSERT_NE(orphan, nullptr);
    EXPECT_EQ(orphan->name, "Orphan");
    EXPECT_EQ(dropped_schema_text(*orphan), "catalog");
    auto scanner = RecoveryScanner::open_dropped(*opened->db, found, *orphan);
    const auto rows = records_of(*scanner, "A", 50);
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [a, values] : rows) {
      EXPECT_EQ(values.at("B"), std::to_string(std::stoi(a) * 2));
      EXPECT_EQ(values.at("C"), std::to_string(std::stoi(a) * 3));
    }

    // Pages above 8 KiB carry checksums only with the wide header: on
    // this layout the torn leaf cannot be told from a sound one.
    if (format.page_size > 8192 && format.format_revision < 0x11) continue;
    // The shadow's second leaf torn: the open met nothing (the shadow is
    // no part of the catalog's walk), so the search is what counts the
    // page. Orphan keeps what the sound leaf holds, its name and column A:
    // the torn leaf's live records are lost with it. Its records, which
    // hold three columns, fit no schema of one: none passes for whole.
    auto damaged = open_dropped(format, {.damaged_shadow = true});
    ASSERT_TRUE(damaged->db);
    EXPECT_FALSE(damaged->db->catalog_damage().any());
    auto partial = DroppedTables::find(*damaged->db, true);
    EXPECT_EQ(partial->damage().pages_refused(), 1u);
    const DroppedTable* named = partial->by_objid(50);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->name, "Orphan");
    ASSERT_NE(named->table, nullptr);
    EXPECT_EQ(named->table->columns.size(), 1u);
    EXPECT_TRUE(named->table->columns.find("A"));
    EXPECT_EQ(named->records, 0u);
  }
}

}  // namespace
}  // namespace pellumo
