// The real databases in the shared sample folder (gzip-compressed, written
// by the Windows engine). Skipped where the folder is absent.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef PELLUMO_HAVE_ZLIB
#include <zlib.h>
#endif

#include "catalog/table_info.h"
#include "database/database.h"
#include "fixture/temp_file.h"

namespace pellumo {
namespace {

namespace fs = std::filesystem;

// Unpacks `gz` into `to`; the error text on failure.
std::optional<std::string> gunzip(const fs::path& gz, const std::string& to) {
#ifdef PELLUMO_HAVE_ZLIB
  gzFile in = gzopen(gz.c_str(), "rb");
  if (in == nullptr) return "cannot open " + gz.string();
  FILE* out = std::fopen(to.c_str(), "wb");
  if (out == nullptr) {
    gzclose(in);
    return "cannot create " + to;
  }
  std::vector<char> buf(1 << 16);
  int n = 0;
  bool ok = true;
  while ((n = gzread(in, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
    ok = ok && std::fwrite(buf.data(), 1, static_cast<std::size_t>(n), out) == static_cast<std::size_t>(n);
  }
  ok = ok && n == 0;
  gzclose(in);
  ok = std::fclose(out) == 0 && ok;
  if (!ok) return "cannot unpack " + gz.string();
  return std::nullopt;
#else
  (void)gz;
  (void)to;
  return "built without zlib";
#endif
}

class Samples : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(PELLUMO_SAMPLES_DIR)) {
      GTEST_SKIP() << "no sample databases at " << PELLUMO_SAMPLES_DIR;
    }
#ifndef PELLUMO_HAVE_ZLIB
    GTEST_SKIP() << "built without zlib: the gzip-compressed samples cannot be unpacked";
#endif
  }

  // Every *.gz of the folder, by name without ".gz".
  static std::map<std::string, fs::path> files() {
    std::map<std::string, fs::path> out;
    for (const auto& e : fs::directory_iterator(PELLUMO_SAMPLES_DIR)) {
      if (e.path().extension() == ".gz") out[e.path().stem().string()] = e.path();
    }
    return out;
  }

  Result<std::unique_ptr<Database>> open(const fs::path& gz) {
    const std::string path = dir_.file(gz.stem().string());
    if (auto problem = gunzip(gz, path)) {
      ADD_FAILURE() << *problem;
      return EseError::io_text(*problem);
    }
    auto db = Database::open(path);
    fs::remove(path);  // the mapping stays valid
    return db;
  }

  fixture::TempDir dir_;
};

std::vector<std::string> table_names(const Database& db) {
  std::vector<std::string> out;
  for (const auto& [name, table] : db.tables()) out.push_back(name);
  return out;
}

TEST_F(Samples, EverySampleOpensWithASoundCatalog) {
  const std::vector<std::string> system = {"MSysObjects", "MSysObjectsShadow", "MSysObjids", "MSysLocales"};
  auto with_system = [&](std::vector<std::string> user) {
    user.insert(user.begin(), system.begin(), system.end());
    return user;
  };
  const std::map<std::string, std::vector<std::string>> expected_tables = {
      {"basic.edb", with_system({"basic"})},
      {"binary.edb", with_system({"binary"})},
      {"default.edb", with_system({"default"})},
      {"index.edb", with_system({"index"})},
      {"multi.edb", with_system({"multi"})},
      {"text.edb", with_system({"text"})},
      {"large.edb", with_system({"large"})},
      {"Current.mdb", with_system({"ROLE_ACCESS", "CLIENTS", "DNS", "VIRTUALMACHINES"})},
  };
  const auto samples = files();
  ASSERT_FALSE(samples.empty());
  for (const auto& [name, gz] : samples) {
    SCOPED_TRACE(name);
    auto db = open(gz);
    ASSERT_TRUE(db.ok()) << db.error().message();
    const Database& d = **db;
    // Page size and revision of the files that differ from the usual 4 KiB
    // pages at revision 0x14.
    const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> formats = {
        {"large.edb", {32768, 0x14}},
        {"WebCacheV01.dat", {32768, 0x14}},
        {"Windows.edb", {32768, 0x6e}},
        {"ntds.dit", {8192, 0x14}},
    };
    const auto format = formats.find(name);
    const auto [page_size, revision] =
        format != formats.end() ? format->second : std::pair<std::uint32_t, std::uint32_t>{4096, 0x14};
    EXPECT_EQ(d.format_version(), 0x620u);
    EXPECT_EQ(d.format_revision(), revision);
    EXPECT_EQ(d.page_size(), page_size);
    EXPECT_EQ(d.large_page_tag_format(), page_size > 8192);
    EXPECT_EQ(d.total_pages(), d.mapped().size() / d.page_size() - 2);

    const auto it = expected_tables.find(name);
    if (it != expected_tables.end()) {
      EXPECT_EQ(table_names(d), it->second);
    }
    const TableInfo* catalog = d.tables().find("MSysObjects");
    ASSERT_NE(catalog, nullptr);
    EXPECT_EQ(catalog->root_page, 4u);
    const ColumnInfo* catalog_name = catalog->columns.find("Name");
    ASSERT_NE(catalog_name, nullptr);
    EXPECT_EQ(catalog_name->id, 128u);
    EXPECT_EQ(catalog_name->column_type, ColumnType::Text);

    for (const auto& [table_name, table] : d.tables()) {
      SCOPED_TRACE(table_name);
      EXPECT_FALSE(table_name.empty());
      EXPECT_EQ(table.name, table_name);
      EXPECT_GE(table.root_page, 1u);
      EXPECT_LE(table.root_page, d.total_pages());
      EXPECT_TRUE(d.read_page(table.root_page).ok());
      std::set<std::uint32_t> ids;
      for (const auto& [column_name, column] : table.columns) {
        EXPECT_FALSE(column_name.empty());
        EXPECT_EQ(column.name, column_name);
        EXPECT_LE(static_cast<std::uint32_t>(column.column_type), kMaxColumnType);
        EXPECT_GE(column.id, 1u);
        EXPECT_TRUE(ids.insert(column.id).second) << "column id " << column.id << " twice";
        EXPECT_TRUE(column.codepage.has_value());
      }
      for (const auto& [index_name, index] : table.indexes) EXPECT_LE(index.root_page, d.total_pages()) << index_name;
      for (const auto& [lv_name, lv] : table.long_values) EXPECT_LE(lv.root_page, d.total_pages()) << lv_name;
    }
  }
}

TEST_F(Samples, LargeCatalogOnLargePages) {
  const auto samples = files();
  const auto it = samples.find("large.edb");
  if (it == samples.end()) GTEST_SKIP() << "large.edb is not in the sample folder";
  auto db = open(it->second);
  ASSERT_TRUE(db.ok()) << db.error().message();
  const Database& d = **db;
  std::size_t records = 0;
  for (const auto& [name, table] : d.tables()) {
    records += 1 + table.columns.size() + table.indexes.size() + table.long_values.size();
  }
  EXPECT_EQ(records, 65068u);
  const TableInfo* large = d.tables().find("large");
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large->columns.size(), 64994u);
  // Catalog order is key order: the columns come in ascending id.
  std::uint32_t previous = 0;
  for (const auto& [name, column] : large->columns) {
    EXPECT_GT(column.id, previous) << name;
    previous = column.id;
  }
}

}  // namespace
}  // namespace pellumo
