// What a read could not read, as the reader counts it while reading: for
// each kind of damage the counts a table cursor, an export and an Arrow
// stream give, their agreement with check(), and the text people read.
#include "tree/read_damage.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "arrow/stream.h"
#include "database/check.h"
#include "database/database.h"
#include "export/table_export.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"
#include "fixture/scenarios_damage.h"
#include "fixture/temp_file.h"

namespace pellumo {
namespace {

using fixture::Format;

const Format kFormats[] = {
    {4096, 0x620, 0x14},
    {8192, 0x620, 0x0c},  // ECC header
    {32768, 0x620, 0x14},
    {32768, 0x620, 0x11},
};

std::string name_of(const Format& f) {
  return std::to_string(f.page_size) + "/" + std::to_string(f.format_revision);
}

struct Reading {
  std::vector<std::int64_t> ids;
  ReadDamage damage;
};

Reading read_all(const Database& db, const std::string& table) {
  Reading out;
  auto cursor = db.open_table(table);
  EXPECT_TRUE(cursor.ok()) << (cursor.ok() ? "" : cursor.error().message());
  if (!cursor) return out;
  while (true) {
    auto more = cursor->advance();
    EXPECT_TRUE(more.ok());
    if (!more || !*more) break;
    out.ids.push_back(cursor->current().find("Id")->as_signed());
  }
  out.damage = cursor->damage();
  return out;
}

std::vector<std::int64_t> ids_from(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> v;
  for (std::int64_t i = first; i <= last; ++i) v.push_back(i);
  return v;
}

struct DamageCase {
  const char* scenario;
  const char* table;
  std::vector<std::int64_t> ids;
  Refusal reason = Refusal::None;  // of the refused pages
  std::uint64_t refused = 0;
  std::uint64_t beyond_end = 0;
  std::uint64_t unresolved = 0;
};

TEST(ReadDamage, TheCursorCountsWhatItCouldNotRead) {
  const DamageCase cases[] = {
      {"checksummed", "Alpha", ids_from(1, 12)},
      {"checksummed", "Beta", ids_from(1, 12)},
      {"bad-checksum", "Alpha", {1, 2, 5, 6, 7, 8, 9, 10, 11, 12}, Refusal::Checksum, 1},
      {"emptied-page", "Alpha", {1, 2, 3, 4, 7, 8, 9, 10, 11, 12}, Refusal::Empty, 1},
      // The sibling link into Beta is refused; the tree still gives every record.
      {"foreign-chain", "Alpha", ids_from(1, 12), Refusal::ForeignOwner, 1},
      {"torn-long-value", "Alpha", ids_from(1, 12), Refusal::None, 0, 0, 1},
      {"truncated-tree", "Beta", ids_from(1, 6), Refusal::OutOfRange, 3, 3},
      {"truncated-tree", "Alpha", ids_from(1, 12)},
      {"truncated-root", "Beta", {}, Refusal::OutOfRange, 1, 1},
      {"deleted-nodes", "Alpha", ids_from(1, 12)},
  };
  for (const Format& f : kFormats) {
    for (const DamageCase& c : cases) {
      SCOPED_TRACE(std::string(c.scenario) + " " + c.table + " at " + name_of(f));
      auto db = fixture::open_bytes(fixture::find_scenario(c.scenario)->build(f));
      ASSERT_TRUE(db.ok()) << db.error().message();
      const Reading r = read_all(**db, c.table);
      EXPECT_EQ(r.ids, c.ids);
      ReadDamage want;
      want.file_pages = (*db)->total_pages();
      if (c.reason != Refusal::None) want.refused[static_cast<std::size_t>(c.reason)] = c.refused;
      want.beyond_end = c.beyond_end;
      want.values_unresolved = c.unresolved;
      EXPECT_EQ(r.damage, want) << describe_damage(r.damage);
      EXPECT_EQ(r.damage.any(), c.refused != 0 || c.unresolved != 0);

      // check() walks the same tree and finds the same pages.
      const CheckReport report = check_database(**db);
      std::uint64_t refused = 0, unresolved = 0;
      for (const TreeCheck& t : report.trees) {
        if (t.table != c.table || t.kind == "index") continue;
        refused += t.kind == "table" ? t.refused.size() : 0;
        unresolved += t.unresolved_long_values;
      }
      EXPECT_EQ(refused, c.refused);
      EXPECT_EQ(unresolved, c.unresolved);
    }
  }
}

TEST(ReadDamage, TheTextSaysWhatWasLostAndWhere) {
  struct TextCase {
    const char* what;
    ReadDamage damage;
    std::string file;
    std::string text;
  };
  auto with = [](auto&& edit) {
    ReadDamage d;
    d.file_pages = 71;
    edit(d);
    return d;
  };
  const TextCase cases[] = {
      {"truncated", with([](ReadDamage& d) {
         for (std::uint32_t p : {72u, 80u, 95u}) d.refuse(p, Refusal::OutOfRange);
       }),
       "SRUDB.dat",
       "SRUDB.dat: table T: 3 pages beyond the end of the file (71 pages): the file is truncated; run "
       "`pellumo check SRUDB.dat` for details"},
      {"one of each, singular", with([](ReadDamage& d) {
         d.refuse(71, Refusal::Checksum);  // the last page: inside the file
         d.refuse(0, Refusal::OutOfRange);
         d.entries_skipped = 1;
         d.records_undecodable = 1;
         d.values_unresolved = 1;
       }),
       "/ev/a.edb",
       "/ev/a.edb: table T: 1 page that is not a page of the file; 1 page failing its checksum (torn or "
       "overwritten); 1 entry skipped (unreadable); 1 record undecodable (read as nulls); 1 long value "
       "unresolved (read as null); run `pellumo check /ev/a.edb` for details"},
      {"plurals, and a name the shell would split", with([](ReadDamage& d) {
         d.refuse(3, Refusal::Checksum);
         d.refuse(4, Refusal::Checksum);
         d.refuse(5, Refusal::Revisit);
         d.refuse(6, Refusal::ForeignOwner);
         d.refuse(7, Refusal::Empty);
         d.entries_skipped = 2;
         d.values_unresolved = 4;
       }),
       "my case's file.edb",
       "my case's file.edb: table T: 2 pages failing their checksums (torn or overwritten); 1 page belonging "
       "to another tree; 1 page empty where entries were expected; 1 page reached a second time (a loop in the "
       "tree); 2 entries skipped (unreadable); 4 long values unresolved (read as null); run `pellumo check "
       "'my case'\\''s file.edb'` for details"},
      {"a name that is not UTF-8", with([](ReadDamage& d) { d.refuse(80, Refusal::OutOfRange); }),
       "bad\xff.edb",
       "bad\xEF\xBF\xBD.edb: table T: 1 page beyond the end of the file (71 pages): the file is truncated; run "
       "`pellumo check 'bad\xEF\xBF\xBD.edb'` for details"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(damage_warning_text(c.file, "T", c.damage), c.text);
  }
  EXPECT_EQ(describe_damage(ReadDamage{}), "");
  EXPECT_FALSE(ReadDamage{}.any());
}

TEST(ReadDamage, ExportsReportEachTable) {
  fixture::TempDir dir;
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(name_of(f));
    auto db = fixture::open_bytes(fixture::truncated_tree_scenario(f));
    ASSERT_TRUE(db.ok());
    ReadDamage one;
    ASSERT_TRUE(export_table_jsonl(**db, "Beta", dir.file("beta.jsonl"), {}, &one).ok());
    EXPECT_EQ(one.beyond_end, 3u);

    std::vector<std::pair<std::string, std::uint64_t>> told;
    ASSERT_TRUE(export_all_jsonl(**db, dir.file("all-" + std::to_string(f.page_size)), {},
                                 [&](const std::string& name, const ReadDamage& d) {
                                   told.emplace_back(name, d.pages_refused());
                                 })
                    .ok());
    const std::vector<std::pair<std::string, std::uint64_t>> want = {{"MSysObjects", 0}, {"Alpha", 0}, {"Beta", 3}};
    EXPECT_EQ(told, want);
  }
}

// Reads a whole stream; returns get_next's last result.
int drain(ArrowArrayStream& stream, std::size_t& rows) {
  while (true) {
    ArrowArray batch;
    const int rc = stream.get_next(&stream, &batch);
    if (rc != 0) return rc;
    if (batch.release == nullptr) return 0;
    rows += static_cast<std::size_t>(batch.length);
    batch.release(&batch);
  }
}

TEST(ReadDamage, ArrowStreamsTellTheirHandlerOnce) {
  auto opened = fixture::open_bytes(fixture::truncated_tree_scenario(Format{}));
  ASSERT_TRUE(opened.ok());
  std::shared_ptr<const Database> db = std::move(*opened);
  auto source = arrow::TableExport::make(db, "Beta", {});
  ASSERT_TRUE(source.ok());

  struct Told {
    std::uint64_t beyond_end;
    bool finished;
  };
  std::vector<Told> told;
  auto handler = [&](std::string failure) {
    return [&told, failure](const ReadDamage& d, bool finished) {
      told.push_back({d.beyond_end, finished});
      return failure;
    };
  };

  {  // Read to the end: told once, at the end, with everything.
    ArrowArrayStream stream;
    ASSERT_TRUE(source->export_stream(&stream, handler("")).ok());
    std::size_t rows = 0;
    EXPECT_EQ(drain(stream, rows), 0);
    EXPECT_EQ(rows, 6u);
    stream.release(&stream);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].beyond_end, 3u);
    EXPECT_TRUE(told[0].finished);
  }
  told.clear();
  {  // A handler that refuses the damage fails the end of the stream.
    ArrowArrayStream stream;
    ASSERT_TRUE(source->export_stream(&stream, handler("DamageWarning: no")).ok());
    std::size_t rows = 0;
    EXPECT_EQ(drain(stream, rows), EIO);
    EXPECT_EQ(rows, 6u);
    EXPECT_STREQ(stream.get_last_error(&stream), "DamageWarning: no");
    ArrowArray batch;
    EXPECT_EQ(stream.get_next(&stream, &batch), EIO);  // and stays failed
    stream.release(&stream);
    EXPECT_EQ(told.size(), 1u);
  }
  told.clear();
  {  // Released after a first batch: told what was met, not finished.
    arrow::ExportOptions small;
    small.batch_rows = 2;
    auto batched = arrow::TableExport::make(db, "Beta", small);
    ASSERT_TRUE(batched.ok());
    ArrowArrayStream stream;
    ASSERT_TRUE(batched->export_stream(&stream, handler("")).ok());
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    batch.release(&batch);
    stream.release(&stream);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_FALSE(told[0].finished);
  }
  told.clear();
  {  // Never read from: nothing to tell.
    ArrowArrayStream stream;
    ASSERT_TRUE(source->export_stream(&stream, handler("")).ok());
    stream.release(&stream);
    EXPECT_TRUE(told.empty());
  }
}

// A second read of a tree already reported says only what it met beyond the
// first: never below zero, and never more pages past the end than pages
// out of range.
TEST(ReadDamage, WithoutLeavesWhatTheFirstReadDidNotTell) {
  auto damage = [](std::uint64_t checksum, std::uint64_t out_of_range, std::uint64_t beyond, std::uint64_t skipped,
                   std::uint64_t undecodable) {
    ReadDamage d;
    d.file_pages = 40;
    d.refused[static_cast<std::size_t>(Refusal::Checksum)] = checksum;
    d.refused[static_cast<std::size_t>(Refusal::OutOfRange)] = out_of_range;
    d.beyond_end = beyond;
    d.entries_skipped = skipped;
    d.records_undecodable = undecodable;
    return d;
  };
  struct Case {
    const char* what;
    ReadDamage all, told, left;
  } cases[] = {
      {"the same", damage(1, 2, 2, 3, 0), damage(1, 2, 2, 3, 0), damage(0, 0, 0, 0, 0)},
      {"more of each", damage(2, 3, 3, 4, 1), damage(1, 2, 2, 3, 0), damage(1, 1, 1, 1, 1)},
      {"less than told", damage(0, 1, 1, 0, 0), damage(1, 2, 2, 3, 0), damage(0, 0, 0, 0, 0)},
      {"nothing told", damage(1, 2, 1, 0, 2), ReadDamage{}, damage(1, 2, 1, 0, 2)},
      // Two more out of range, none of them past the end: none is past it.
      {"out of range, not past the end", damage(0, 3, 1, 0, 0), damage(0, 1, 1, 0, 0), damage(0, 2, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReadDamage left = c.all.without(c.told);
    EXPECT_EQ(left.refused, c.left.refused);
    EXPECT_EQ(left.beyond_end, c.left.beyond_end);
    EXPECT_LE(left.beyond_end, left.refused_for(Refusal::OutOfRange));
    EXPECT_EQ(left.entries_skipped, c.left.entries_skipped);
    EXPECT_EQ(left.records_undecodable, c.left.records_undecodable);
    EXPECT_EQ(left.any(), c.left.any());
    EXPECT_EQ(left.file_pages, 40u);
  }
}

}  // namespace
}  // namespace pellumo
