// Reading the real databases in the samples folder: every table of every
// file reads to its end, and values the engine is known to return come out
// exactly so. Skipped where the folder is absent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "database/database.h"
#include "fixture/temp_file.h"

#ifndef PELLUMO_SAMPLES_DIR
#define PELLUMO_SAMPLES_DIR ""
#endif

namespace pellumo {
namespace {

const char* const kSamples[] = {"basic.edb", "binary.edb", "default.edb", "index.edb", "large.edb",
                                "multi.edb", "text.edb",   "SRUDB.dat",   "Current.mdb"};

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The samples, decompressed once for the whole suite.
class RecordSamples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string dir = PELLUMO_SAMPLES_DIR;
    if (dir.empty() || !exists(dir)) return;
    temp_ = new fixture::TempDir();
    for (const char* name : kSamples) {
      const std::string gz = dir + "/" + name + ".gz";
      if (!exists(gz)) continue;
      const std::string out = temp_->file(name);
      const std::string command = "gzip -dc '" + gz + "' > '" + out + "'";
      if (std::system(command.c_str()) == 0) (*paths_)[name] = out;
    }
  }
  static void TearDownTestSuite() {
    delete temp_;
    temp_ = nullptr;
    paths_->clear();
  }

  std::unique_ptr<Database> open(const std::string& name) {
    auto it = paths_->find(name);
    if (it == paths_->end()) return nullptr;
    auto db = Database::open(it->second);
    EXPECT_TRUE(db.ok()) << name << ": " << (db.ok() ? "" : db.error().message());
    return db.ok() ? std::move(*db) : nullptr;
  }

  // All records of a table, owned.
  static std::vector<Record> read_all(const Database& db, const std::string& table) {
    std::vector<Record> out;
    auto cursor = db.open_table(table);
    EXPECT_TRUE(cursor.ok()) << table;
    if (!cursor.ok()) return out;
    while (true) {
      auto row = cursor->next_row();
      EXPECT_TRUE(row.ok()) << table << ": " << (row.ok() ? "" : row.error().message());
      if (!row.ok() || !row->has_value()) break;
      out.push_back(std::move(**row));
    }
    return out;
  }

  static fixture::TempDir* temp_;
  static std::map<std::string, std::string>* paths_;
};

fixture::TempDir* RecordSamples::temp_ = nullptr;
std::map<std::string, std::string>* RecordSamples::paths_ = new std::map<std::string, std::string>();

#define OPEN_SAMPLE(var, name)                                                          \
  auto var = open(name);                                                                \
  if (!var) GTEST_SKIP() << "sample " << name << " not available (samples folder absent)"

std::string str(Bytes b) { return std::string(b.begin(), b.end()); }
std::string utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

TEST_F(RecordSamples, EveryTableOfEverySampleReadsToTheEnd) {
  int opened = 0;
  for (const char* name : kSamples) {
    auto db = open(name);
    if (!db) continue;
    ++opened;
    std::size_t records = 0;
    for (const auto& [table, info] : db->tables()) {
      auto cursor = db->open_table(table);
      ASSERT_TRUE(cursor.ok()) << name << "/" << table << ": " << cursor.error().message();
      while (true) {
        auto more = cursor->advance();
        ASSERT_TRUE(more.ok()) << name << "/" << table << ": " << more.error().message();
        if (!*more) break;
        ++records;
        // A fixed column marked NULL never reads as its '*' filler.
        const Record& r = cursor->current();
        for (std::size_t i = 0; i < r.size(); ++i) {
          const ColumnValue& v = r.value(i);
          if (v.kind() == ValueKind::Int32) {
            EXPECT_NE(v.as_signed(), 0x2A2A2A2A) << name << "/" << table;
          } else if (v.kind() == ValueKind::UInt32) {
            EXPECT_NE(v.as_unsigned(), 0x2A2A2A2Au) << name << "/" << table;
          }
        }
      }
    }
    EXPECT_GT(records, 0u) << name;
  }
  if (opened == 0) GTEST_SKIP() << "samples folder absent";
}

TEST_F(RecordSamples, TextValues) {
  OPEN_SAMPLE(db, "text.edb");
  const auto rows = read_all(*db, "text");
  ASSERT_EQ(rows.size(), 1u);
  const Record& r = rows[0];
  EXPECT_EQ(*r.find("MaxLongCompressedASCII"),
            ColumnValue::text("Max long compressed ASCII text that can be a bit longer " + std::string(900, 'a')));
  EXPECT_EQ(*r.find("LongCompressedASCII"), ColumnValue::text("Long compressed ASCII text " + std::string(1024, 'a')));
  EXPECT_EQ(r.find("LongCompressedASCII")->text().size(), 1051u);
  EXPECT_TRUE(r.find("NullableFixedASCII")->is_null());
  EXPECT_EQ(*r.find("TaggedUnicode"), ColumnValue::text("Tagged Unicode text \xF0\x9F\xA6\x8A"));
  EXPECT_EQ(*r.find("LongTinyCompressedUnicode"), ColumnValue::text("Tiny c \xF0\x9F\xA6\x8A"));
}

TEST_F(RecordSamples, BinaryValues) {
  OPEN_SAMPLE(db, "binary.edb");
  const auto rows = read_all(*db, "binary");
  ASSERT_EQ(rows.size(), 1u);
  const Record& r = rows[0];
  const ColumnValue& max = *r.find("MaxLongCompressedBinary");
  ASSERT_EQ(max.kind(), ValueKind::Binary);
  EXPECT_EQ(str(max.bytes()), "test max long compressed binary data " + std::string(900, 'a'));
  const ColumnValue& lc = *r.find("LongCompressedBinary");
  ASSERT_EQ(lc.kind(), ValueKind::Binary);
  EXPECT_EQ(lc.bytes().size(), 1033u);
  EXPECT_TRUE(r.find("NullableFixedBinary")->is_null());
}

TEST_F(RecordSamples, LongBinaryKeptInTheRecordPassesThrough) {
  OPEN_SAMPLE(db, "SRUDB.dat");
  // IdBlob holds UTF-16 application and user names, and SIDs for IdType 3.
  std::size_t names = 0, sids = 0;
  for (const Record& r : read_all(*db, "SruDbIdMapTable")) {
    const ColumnValue& blob = *r.find("IdBlob");
    if (blob.is_null()) continue;
    ASSERT_EQ(blob.kind(), ValueKind::Binary);
    const Bytes b = blob.bytes();
    ASSERT_GE(b.size(), 2u);
    if (*r.find("IdType") == ColumnValue::uint8(3)) {
      EXPECT_EQ(b[0], 1u);  // SID revision
      ++sids;
    } else {
      EXPECT_EQ(b.size() % 2, 0u);
      EXPECT_EQ(b[1], 0u);
      ++names;
    }
  }
  EXPECT_GT(names, 20u);
  EXPECT_GT(sids, 10u);
  std::size_t locales = 0, roots = 0, not_root = 0;
  for (const Record& r : read_all(*db, "MSysObjects")) {
    const ColumnValue& locale = *r.find("LocaleName");
    if (!locale.is_null()) {
      EXPECT_EQ(locale, ColumnValue::binary(as_bytes(utf16("en-US"))));
      ++locales;
    }
    const ColumnValue& root = *r.find("RootFlag");
    if (root == ColumnValue::boolean(true)) {
      ++roots;
    } else {
      ++not_root;
    }
  }
  EXPECT_GT(locales, 0u);
  EXPECT_GT(roots, 0u);
  EXPECT_GT(not_root, roots);
}

TEST_F(RecordSamples, LargeTableOfManyTaggedColumns) {
  OPEN_SAMPLE(db, "large.edb");
  const TableInfo* table = db->tables().find("large");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->columns.size(), 64994u);
  auto cursor = db->open_table("large");
  ASSERT_TRUE(cursor.ok());
  const RecordLayout& layout = cursor->layout();
  // The 64,993 ColumnN columns are spread over the 16 records (4,096 tagged
  // columns each, the last one fewer); each is present exactly once.
  std::vector<int> seen(64993, 0);
  std::size_t records = 0;
  while (true) {
    auto more = cursor->advance();
    ASSERT_TRUE(more.ok()) << more.error().message();
    if (!*more) break;
    ++records;
    const Record& r = cursor->current();
    for (std::size_t i = 0; i < r.size(); ++i) {
      const std::string& name = layout.name(i);
      if (name.rfind("Column", 0) != 0 || r.value(i).is_null()) continue;
      const std::size_t n = std::stoul(name.substr(6));
      ASSERT_LT(n, seen.size());
      ASSERT_EQ(r.value(i), ColumnValue::uint16(static_cast<std::uint16_t>(n))) << name << " in record " << records;
      ++seen[n];
    }
  }
  EXPECT_EQ(records, 16u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 64993);
}

}  // namespace
}  // namespace pellumo
