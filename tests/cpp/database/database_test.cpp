#include "database/database.h"

#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../catalog/catalog_expect.h"
#include "fixture/database_builder.h"
#include "fixture/file_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"
#include "fixture/temp_file.h"
#include "page/page.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::DatabaseBuilder;
using fixture::FileBuilder;
using fixture::Format;
using fixture::open_bytes;

std::string open_error(const ByteVector& bytes) {
  auto db = open_bytes(bytes);
  if (db.ok()) return "opened";
  return db.error().message();
}

// A database with an empty catalog and `pages` pages in all.
ByteVector empty_database(Format format, std::uint32_t pages) {
  DatabaseBuilder db(format);
  db.catalog().include_msysobjects = false;
  fixture::BuiltDatabase built = db.build();
  built.file.set_page_count(pages);
  return built.bytes();
}

TEST(DatabaseOpen, RefusesFilesTooShortOrWronglySigned) {
  ByteVector good = empty_database(Format{}, 8);
  ByteVector bad_signature = good;
  fixture::set_u32(bad_signature, 4, 0x5A);
  struct Case {
    const char* what;
    ByteVector bytes;
    std::string message;
  } cases[] = {
      {"empty file", {}, "Invalid database header"},
      {"4095 bytes", fixture::truncated(good, 4095), "Invalid database header"},
      // Long enough: the signature is checked next.
      {"4096 zero bytes", ByteVector(4096, 0), "Invalid signature, expected 0x89ABCDEF, got 0x0"},
      {"signature 0x5a", bad_signature, "Invalid signature, expected 0x89ABCDEF, got 0x5a"},
      // Exactly one 4096-byte block with a good header: the catalog root lies past the end.
      {"4096 bytes, good header", fixture::truncated(good, 4096), "Invalid page number: 4"},
  };
  for (const Case& c : cases) EXPECT_EQ(open_error(c.bytes), c.message) << c.what;
}

TEST(DatabaseOpen, ChecksThePageSize) {
  struct Case {
    std::uint32_t page_size;
    std::size_t file_length;
    std::string message;
  } cases[] = {
      {0, 1 << 20, "Parse error: Invalid page size in database header: 0"},
      {16, 1 << 20, "Page data too short, expected at least 40 bytes, got 16"},
      {1u << 30, 1 << 20, "Invalid page number: 4"},
      {0xFFFFFFFFu, 1 << 20, "Invalid page number: 4"},
  };
  for (const Case& c : cases) {
    FileBuilder file(Format{c.page_size});
    file.set_file_length(c.file_length);
    EXPECT_EQ(open_error(file.bytes()), c.message) << c.page_size;
  }
}

TEST(DatabaseOpen, ReportsTheOperatingSystemError) {
  fixture::TempDir dir;
  auto missing = Database::open(dir.file("absent.edb"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), EseError::Kind::Io);
  EXPECT_EQ(missing.error().message(), "IO error: No such file or directory (os error 2)");

  auto directory = Database::open(dir.path());
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().kind(), EseError::Kind::Io);
  EXPECT_EQ(directory.error().message(), "IO error: Is a directory (os error 21)");
}

int open_descriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

TEST(DatabaseOpen, LeavesNoDescriptorOpen) {
  fixture::TempDir dir;
  const std::string good = dir.write("good.edb", fixture::find_scenario("sample")->build(Format{}));
  const std::string truncated = dir.write("short.edb", ByteVector(100, 0));
  ByteVector lost_root = empty_database(Format{}, 3);
  lost_root.resize(5 * 4096);
  const std::string no_catalog = dir.write("no-catalog.edb", lost_root);

  const int before = open_descriptors();
  ASSERT_GT(before, 0);
  {
    auto db = Database::open(good);
    ASSERT_TRUE(db.ok()) << db.error().message();
    // The file is already closed while the database is open.
    EXPECT_EQ(open_descriptors(), before);
  }
  EXPECT_FALSE(Database::open(truncated).ok());
  EXPECT_FALSE(Database::open(no_catalog).ok());
  EXPECT_FALSE(Database::open(dir.path()).ok());
  EXPECT_EQ(open_descriptors(), before);
}

TEST(DatabaseOpen, CountsAndAddressesPages) {
  // Ten 4096-byte blocks: two header pages and pages 1 to 8.
  auto db = open_bytes(empty_database(Format{}, 8));
  ASSERT_TRUE(db.ok()) << db.error().message();
  const Database& d = **db;
  EXPECT_EQ(d.total_pages(), 8u);
  EXPECT_EQ(d.mapped().size(), 40960u);
  auto last = d.read_page(8);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->bytes().data(), d.mapped().data() + 36864);
  EXPECT_EQ(last->bytes().size(), 4096u);
  EXPECT_EQ(d.read_page(9).error().message(), "Invalid page number: 9");
  EXPECT_EQ(d.read_page(0xFFFFFFFFu).error().message(), "Invalid page number: 4294967295");
  // Page 0 is the shadow header, readable like any page.
  auto zero = d.read_page(0);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero->bytes().data(), d.mapped().data() + 4096);

  // A trailing partial page is not addressable.
  ByteVector longer = empty_database(Format{}, 8);
  longer.resize(longer.size() + 4000, 0);
  auto partial = open_bytes(longer);
  ASSERT_TRUE(partial.ok());
  EXPECT_EQ((*partial)->total_pages(), 8u);
  EXPECT_EQ((*partial)->read_page(9).error().message(), "Invalid page number: 9");
}

TEST(DatabaseOpen, KeepsTheHeaderNumbers) {
  const Format format{8192, 0x620, 0x11};
  const ByteVector bytes = empty_database(format, 6);
  auto db = open_bytes(bytes);
  ASSERT_TRUE(db.ok()) << db.error().message();
  EXPECT_EQ((*db)->page_size(), 8192u);
  EXPECT_EQ((*db)->format_version(), 0x620u);
  EXPECT_EQ((*db)->format_revision(), 0x11u);
  EXPECT_FALSE((*db)->large_page_tag_format());
  EXPECT_EQ(std::memcmp((*db)->header().data(), bytes.data(), kHeaderCopySize), 0);
}

TEST(DatabaseOpen, ReadsTheCatalogOfEveryPageSizeAndLayout) {
  struct Case {
    Format format;
    bool large_tags;
  } cases[] = {
      {{4096, 0x620, 0x09}, false},  {{4096, 0x620, 0x0c}, false},  {{4096, 0x620, 0x14}, false},
      {{8192, 0x620, 0x0b}, false},  {{8192, 0x620, 0x11}, false},  {{16384, 0x620, 0x10}, false},
      {{16384, 0x620, 0x11}, true},  {{32768, 0x620, 0x14}, true},  {{32768, 0x621, 0x00}, false},
      {{16384, 0x500, 0x00}, false},
      // Unusual version: opens, the version only picks the header layout.
      {{4096, 0x500, 0x00}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "page size " << c.format.page_size << ", version 0x" << std::hex
                                      << c.format.format_version << ", revision 0x" << c.format.format_revision);
    const DatabaseBuilder builder = fixture::sample_database(c.format);
    const fixture::BuiltDatabase built = builder.build();
    ASSERT_GE(built.catalog.levels.size(), 2u) << "the catalog should span several pages";
    auto db = open_bytes(built.bytes());
    ASSERT_TRUE(db.ok()) << db.error().message();
    EXPECT_EQ((*db)->large_page_tag_format(), c.large_tags);
    EXPECT_EQ((*db)->page_size(), c.format.page_size);
    EXPECT_EQ((*db)->total_pages(), built.file.last_page());
    testing::expect_catalog((*db)->tables(), builder, built);
  }
}

// What the named fixture databases hold, at every page size.
TEST(DatabaseOpen, ScenariosHoldWhatTheyPromise) {
  std::vector<std::string> twelve = {"MSysObjects"};
  for (int i = 1; i <= 11; ++i) twelve.push_back((i < 10 ? "Table0" : "Table") + std::to_string(i));
  struct Case {
    const char* scenario;
    std::vector<std::string> tables;  // empty with an error: fails to open
    std::string error;
  } cases[] = {
      {"sample", {"MSysObjects", "Users", "Events", "Settings", "Empty"}, ""},
      {"tables12", twelve, ""},
      {"empty-catalog", {}, ""},
      {"odd-names", {"MSysObjects", "Users", "Bad\xff" "Name"}, ""},
      {"reserved-tags", {"MSysObjects", "Users", "Events"}, ""},
      // The entry leading back to the root is a revisit, refused; every
      // record is still read once.
      {"catalog-loop", {"MSysObjects", "Users", "Events", "Settings", "Empty"}, ""},
  };
  for (std::uint32_t page_size : {4096u, 8192u, 16384u, 32768u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.scenario << " at " << page_size);
      const fixture::Scenario* scenario = fixture::find_scenario(c.scenario);
      ASSERT_NE(scenario, nullptr);
      auto db = open_bytes(scenario->build(Format{page_size}));
      if (!c.error.empty()) {
        ASSERT_FALSE(db.ok());
        EXPECT_EQ(db.error().message(), c.error);
        continue;
      }
      ASSERT_TRUE(db.ok()) << db.error().message();
      std::vector<std::string> names;
      for (const auto& [name, table] : (*db)->tables()) {
        names.push_back(name);
        EXPECT_FALSE(table.columns.empty()) << name;
      }
      EXPECT_EQ(names, c.tables);
    }
  }
}

// Tables, columns, indexes and long-value trees the catalog listed.
std::size_t catalog_entries(const TableMap& tables) {
  std::size_t n = 0;
  for (const auto& [name, table] : tables) n += 1 + table.columns.size() + table.indexes.size() + table.long_values.size();
  return n;
}

// A catalog page the walk refuses takes what it lists out of tables();
// catalog_damage() is what says so, by reason, at every page size.
TEST(DatabaseOpen, CountsWhatTheCatalogReadCouldNotRead) {
  enum class Harm { None, Checksum, Owner, Truncated, BadTag };
  struct Case {
    const char* what;
    Harm harm;
    Refusal reason;  // None: nothing refused
    std::uint64_t beyond_end;
    std::uint64_t entries_skipped;
  } cases[] = {
      {"whole", Harm::None, Refusal::None, 0, 0},
      {"a leaf failing its checksum", Harm::Checksum, Refusal::Checksum, 0, 0},
      {"a leaf given to another tree", Harm::Owner, Refusal::ForeignOwner, 0, 0},
      {"the file cut before the last catalog page", Harm::Truncated, Refusal::OutOfRange, 1, 0},
      {"a leaf's first entry tag running past the page", Harm::BadTag, Refusal::None, 0, 1},
  };
  for (std::uint32_t page_size : {4096u, 8192u, 16384u, 32768u}) {
    const Format format{page_size};
    const fixture::BuiltDatabase whole = fixture::sample_database(format).build();
    auto whole_db = open_bytes(whole.bytes());
    ASSERT_TRUE(whole_db.ok()) << whole_db.error().message();
    const std::size_t listed = catalog_entries((*whole_db)->tables());
    ASSERT_GE(whole.catalog.levels.front().size(), 2u) << "the catalog should have several leaves";
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.what << " at " << page_size);
      fixture::BuiltDatabase built = whole;
      const std::uint32_t leaf = built.catalog.levels.front().back();
      std::uint32_t highest = 0;
      for (const auto& level : built.catalog.levels) {
        for (std::uint32_t n : level) highest = std::max(highest, n);
      }
      ByteVector bytes;
      switch (c.harm) {
        case Harm::None: bytes = built.bytes(); break;
        case Harm::Checksum:
          built.file.set_page_checksums(true);
          built.file.patch_after_checksum(leaf, format.page_header_size() + 7, {0x5A});
          bytes = built.bytes();
          break;
        case Harm::Owner:
          bytes = built.bytes();
          fixture::set_u32(bytes, std::size_t{leaf + 1} * page_size + kOffsetObjectId, 77);
          break;
        case Harm::Truncated: bytes = fixture::truncated(built.bytes(), std::size_t{highest + 1} * page_size); break;
        case Harm::BadTag: {
          // Tag 1's slot, 8 bytes before the page's end: offset and size at
          // their largest, so the tag cannot lie inside the page.
          bytes = built.bytes();
          const std::uint32_t field = format.max_tag_field();
          fixture::set_u32(bytes, std::size_t{leaf + 2} * page_size - 8, field << 16 | field);
          break;
        }
      }
      auto db = open_bytes(bytes);
      ASSERT_TRUE(db.ok()) << db.error().message();
      const ReadDamage& damage = (*db)->catalog_damage();
      const std::uint64_t refused = c.reason == Refusal::None ? 0 : 1;
      EXPECT_EQ(damage.pages_refused(), refused);
      if (c.reason != Refusal::None) {
        EXPECT_EQ(damage.refused_for(c.reason), 1u);
      }
      EXPECT_EQ(damage.beyond_end, c.beyond_end);
      EXPECT_EQ(damage.entries_skipped, c.entries_skipped);
      const bool harmed = c.harm != Harm::None;
      EXPECT_EQ(damage.any(), harmed);
      if (c.harm == Harm::Truncated) {
        EXPECT_EQ(damage.file_pages, highest - 1);
      }
      // What the refused leaf or tag listed is missing; a whole catalog lists all.
      if (!harmed) {
        EXPECT_EQ(catalog_entries((*db)->tables()), listed);
      } else {
        EXPECT_LT(catalog_entries((*db)->tables()), listed);
      }
    }
  }
}

TEST(DatabaseOpen, CatalogRootBeyondTheFile) {
  FileBuilder file(Format{});
  file.set_page_count(3);
  EXPECT_EQ(open_error(file.bytes()), "Invalid page number: 4");
}

}  // namespace
}  // namespace pellumo
