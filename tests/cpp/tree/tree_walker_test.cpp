// Trees walked as the engine validates them: checksums of every format,
// each kind of damage the walk must refuse, what check() reports for it,
// and trees far past page 100,000.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../cursor/long_value_reference.h"
#include "cursor/table_cursor.h"
#include "database/check.h"
#include "database/database.h"
#include "fixture/long_value_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"
#include "fixture/scenarios_damage.h"
#include "fixture/temp_file.h"
#include "fixture/tree_builder.h"
#include "tree/checksum.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::Format;

const Format kFormats[] = {
    {4096, 0x620, 0x14}, {8192, 0x620, 0x14}, {16384, 0x620, 0x14}, {32768, 0x620, 0x14},
    {4096, 0x620, 0x0c},  // ECC header
    {4096, 0x620, 0x09},  // the oldest header: page number in bytes 4..8, older checksum
    {32768, 0x620, 0x11},
};

std::string name_of(const Format& f) {
  return std::to_string(f.page_size) + "/" + std::to_string(f.format_revision);
}

struct Read {
  std::vector<std::int64_t> ids;
  std::vector<std::optional<std::size_t>> blobs;  // Alpha's Blob sizes (null: unresolved)
};

Read read_alpha(const Database& db) {
  Read out;
  auto cursor = db.open_table("Alpha");
  EXPECT_TRUE(cursor.ok());
  if (!cursor) return out;
  while (true) {
    auto more = cursor->advance();
    EXPECT_TRUE(more.ok());
    if (!more || !*more) break;
    const Record& r = cursor->current();
    const std::int64_t id = r.find("Id")->as_signed();
    out.ids.push_back(id);
    const ColumnValue* blob = r.find("Blob");
    if (id % 3 != 0) continue;
    out.blobs.push_back(blob->is_null() ? std::nullopt : std::optional<std::size_t>(blob->bytes().size()));
  }
  return out;
}

std::vector<std::int64_t> ids(std::initializer_list<std::int64_t> v) { return v; }
std::vector<std::int64_t> all_ids() { return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}; }

TEST(PageChecksums, EveryFormatVerifiesAndReadsAsWithout) {
  for (const Format& f : kFormats) {
    SCOPED_TRACE(name_of(f));
    const ByteVector with = fixture::checksummed_scenario(f);
    const ByteVector without = fixture::damage_database(f).bytes();
    auto db = fixture::open_bytes(with);
    ASSERT_TRUE(db.ok()) << db.error().message();
    std::size_t good = 0;
    for (std::uint32_t n = 1; n <= (*db)->total_pages(); ++n) {
      const auto bytes = (*db)->page_bytes(n);
      ASSERT_TRUE(bytes);
      const ChecksumState state = verify_page_checksum(*bytes, n, f.page_size);
      EXPECT_NE(state, ChecksumState::Bad) << "page " << n;
      good += state == ChecksumState::Good;
      // A page read as another page number fails: the number is part of it.
      if (state == ChecksumState::Good) {
        EXPECT_EQ(verify_page_checksum(*bytes, n + 1, f.page_size), ChecksumState::Bad);
      }
    }
    // Large pages of the ECC header have no room for block checksums.
    const bool stamped = f.page_size <= 8192 || f.format_revision > 0x10;
    if (stamped) {
      EXPECT_GT(good, 10u);
    }
    auto plain = fixture::open_bytes(without);
    ASSERT_TRUE(plain.ok());
    const Read a = read_alpha(**db), b = read_alpha(**plain);
    EXPECT_EQ(a.ids, all_ids());
    EXPECT_EQ(a.ids, b.ids);
    EXPECT_EQ(a.blobs, b.blobs);
    EXPECT_FALSE(check_database(**db).damaged());
  }
}

TEST(PageChecksums, OneFlippedBitInAnyBlockFails) {
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{16384, 0x620, 0x14}, Format{32768, 0x620, 0x14},
                          Format{4096, 0x620, 0x09}}) {
    SCOPED_TRACE(name_of(f));
    auto db = fixture::open_bytes(fixture::checksummed_scenario(f));
    ASSERT_TRUE(db.ok());
    const std::uint32_t root = (*db)->tables().find("Alpha")->root_page;
    ByteVector page((*db)->page_bytes(root)->begin(), (*db)->page_bytes(root)->end());
    for (std::size_t at : {std::size_t{8}, std::size_t{100}, page.size() / 2 + 3, page.size() - 1}) {
      ByteVector copy = page;
      copy[at] ^= 0x10;
      EXPECT_EQ(verify_page_checksum(Bytes(copy.data(), copy.size()), root, f.page_size), ChecksumState::Bad) << at;
    }
    // A zero checksum is never checked.
    ByteVector zero = page;
    for (std::size_t i = 0; i < 8; ++i) zero[i] = 0;
    if (f.page_size > 8192) {
      for (std::size_t i = 40; i < 64; ++i) zero[i] = 0;
    }
    zero[200] ^= 1;
    EXPECT_EQ(verify_page_checksum(Bytes(zero.data(), zero.size()), root, f.page_size), ChecksumState::Unchecked);
  }
}

struct DamageCase {
  const char* scenario;
  std::vector<std::int64_t> ids;
  std::vector<std::optional<std::size_t>> blobs;
  std::set<std::pair<std::string, std::string>> refused;  // (tree kind, reason)
  std::size_t unresolved = 0;
  std::size_t deleted = 0;
};

TEST(TreeWalk, EachKindOfDamageCostsOnlyItsOwnPages) {
  const std::vector<std::optional<std::size_t>> every_blob = {739, 778, 817, 856};
  const DamageCase cases[] = {
      {"checksummed", all_ids(), every_blob, {}},
      {"bad-checksum", ids({1, 2, 5, 6, 7, 8, 9, 10, 11, 12}), {778, 817, 856}, {{"table", "checksum"}}},
      {"foreign-child", all_ids(), every_blob, {{"table", "foreign_owner"}}},
      {"foreign-chain", all_ids(), every_blob, {{"table", "foreign_owner"}}},
      {"emptied-page", ids({1, 2, 3, 4, 7, 8, 9, 10, 11, 12}), {739, 817, 856}, {{"table", "empty"}}},
      {"torn-long-value", all_ids(), {739, std::nullopt, 817, 856}, {{"long_value", "checksum"}}, 1},
      {"deleted-nodes", all_ids(), every_blob, {}, 0, 3},
      {"unused-catalog-types", all_ids(), every_blob, {}},
  };
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{8192, 0x620, 0x0c}, Format{32768, 0x620, 0x14}}) {
    for (const DamageCase& c : cases) {
      SCOPED_TRACE(std::string(c.scenario) + " at " + name_of(f));
      auto db = fixture::open_bytes(fixture::find_scenario(c.scenario)->build(f));
      ASSERT_TRUE(db.ok()) << db.error().message();
      const Read r = read_alpha(**db);
      EXPECT_EQ(r.ids, c.ids);
      EXPECT_EQ(r.blobs, c.blobs);
      const CheckReport report = check_database(**db);
      std::set<std::pair<std::string, std::string>> refused;
      std::size_t unresolved = 0, deleted = 0, refusals = 0;
      for (const TreeCheck& t : report.trees) {
        for (const RefusedPage& p : t.refused) refused.insert({t.kind, std::string(refusal_name(p.reason))});
        refusals += t.refused.size();
        unresolved += t.unresolved_long_values;
        deleted += t.deleted_nodes;
      }
      EXPECT_EQ(refused, c.refused);
      EXPECT_LE(refusals, 1u);  // one page, told of once
      EXPECT_EQ(unresolved, c.unresolved);
      EXPECT_EQ(deleted, c.deleted);
      EXPECT_EQ(report.damaged(), !c.refused.empty());
      EXPECT_TRUE(report.shadow_header_matches);
      EXPECT_EQ(report.state_name, "clean");
    }
  }
}

TEST(TreeWalk, TornBlockOfALargePageIsRefused) {
  for (const Format& f : {Format{16384, 0x620, 0x14}, Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(name_of(f));
    auto db = fixture::open_bytes(fixture::torn_block_scenario(f));
    ASSERT_TRUE(db.ok());
    // Only the last block changed: the header block still checks out, so
    // it is the block checksum that refuses the page.
    EXPECT_EQ(read_alpha(**db).ids, ids({1, 2, 5, 6, 7, 8, 9, 10, 11, 12}));
    const CheckReport report = check_database(**db);
    const TreeCheck* alpha = nullptr;
    for (const TreeCheck& t : report.trees) {
      if (t.kind == "table" && t.name == "Alpha") alpha = &t;
    }
    ASSERT_NE(alpha, nullptr);
    ASSERT_EQ(alpha->refused.size(), 1u);
    EXPECT_EQ(alpha->refused[0].reason, Refusal::Checksum);
  }
}

TEST(TreeWalk, TemporaryDatabaseHasNoCatalog) {
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{32768, 0x620, 0x14}}) {
    auto db = fixture::open_bytes(fixture::temporary_database_scenario(f));
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.error().kind(), EseError::Kind::CorruptStructure);
    EXPECT_EQ(db.error().message(), "Corrupt structure: page 4 refused (foreign_owner)");
  }
}

TEST(TreeWalk, TreesPastPage100000) {
  fixture::TempDir dir;
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(name_of(f));
    const std::string path = dir.file("far-" + std::to_string(f.page_size) + ".edb");
    fixture::write_far_tree_database(path, f, 100005);
    auto db = Database::open(path);
    ASSERT_TRUE(db.ok()) << db.error().message();
    EXPECT_GT((*db)->total_pages(), 100005u);
    EXPECT_GT((*db)->tables().find("Alpha")->root_page, 100000u);
    const Read r = read_alpha(**db);
    EXPECT_EQ(r.ids, all_ids());
    EXPECT_EQ(r.blobs, (std::vector<std::optional<std::size_t>>{739, 778, 817, 856}));
    if (f.page_size == 4096) {  // the whole-file check faults in every page: once is enough
      const CheckReport report = check_database(**db);
      EXPECT_FALSE(report.damaged());
      // The catalog, MSysObjects' two indexes, Alpha, its long values, Beta.
      EXPECT_EQ(report.trees.size(), 6u);
    }
    ::unlink(path.c_str());
  }
}

TEST(TreeWalk, SeekAndWalkAgreeOnEveryLongValue) {
  for (const Format& f : kFormats) {
    SCOPED_TRACE(name_of(f));
    auto db = fixture::open_bytes(fixture::checksummed_scenario(f));
    ASSERT_TRUE(db.ok());
    const TableInfo& alpha = *(*db)->tables().find("Alpha");
    LongValueReader reader(**db, alpha);
    std::string got;
    for (std::uint32_t lid = 0; lid < 16; ++lid) {
      const std::uint8_t ref[4] = {static_cast<std::uint8_t>(lid), 0, 0, 0};
      const Bytes reference(ref, 4);
      ASSERT_TRUE(reader.fetch(reference, got));
      const auto walked = long_value_reference::fetch_by_scan(**db, alpha, reference);
      ASSERT_TRUE(walked);
      EXPECT_EQ(got, *walked) << lid;
      const ByteVector want = fixture::alpha_blob(lid);
      EXPECT_EQ(got, std::string(want.begin(), want.end())) << lid;
    }
  }
}

}  // namespace
}  // namespace pellumo

namespace pellumo {
namespace {

// A long-value tree of 30 values (a root entry keyed by the id alone, then
// three chunks keyed by id and offset) as the fixture lays it out, with
// the engine's separators for branch keys, and the leaf each key lies on.
struct SeekTree {
  Format format;
  fixture::ByteVector file;
  fixture::TreeLayout layout;
  std::vector<std::pair<ByteVector, std::uint32_t>> keys;  // key -> its leaf

  TreeSource source() const {
    return TreeSource{fixture::memory_page_loader(file, format), format.format_version, format.format_revision,
                      format.page_size};
  }
};

SeekTree seek_tree(const Format& f, std::size_t max_leaf, std::size_t max_branch, bool compress,
                   std::optional<std::size_t> refused_leaf = std::nullopt) {
  std::vector<fixture::LeafEntrySpec> entries;
  for (std::uint32_t lid = 1; lid <= 30; ++lid) {
    for (auto& e : fixture::long_value_tree_entries(
             fixture::LongValueSpec::of(lid, false, ByteVector(60, static_cast<std::uint8_t>(lid)), 20))) {
      entries.push_back(e);
    }
  }
  fixture::FileBuilder file(f);
  file.reserve_pages(4);
  fixture::TreeOptions options;
  options.page_flags = fixture::kPageLongValue;
  options.object_id = 9;
  options.max_leaf_entries = max_leaf;
  options.max_branch_entries = max_branch;
  options.prefix_compression = compress;
  SeekTree t{f, {}, fixture::build_tree(file, 4, entries, options), {}};
  std::size_t k = 0;
  for (std::uint32_t leaf : t.layout.levels[0]) {
    const std::size_t n = std::min(max_leaf, entries.size() - k);
    for (std::size_t i = 0; i < n; ++i, ++k) t.keys.emplace_back(entries[k].key, leaf);
  }
  if (refused_leaf) file.page(t.layout.levels[0][*refused_leaf]).set_object_id(77);
  t.file = file.bytes();
  return t;
}

// A key equal to a branch key lies in the child after that entry: the seek
// lands on the very leaf that holds the key, never on the one before it.
TEST(TreeSeek, LandsOnTheLeafHoldingTheKey) {
  struct Case {
    Format format;
    std::size_t max_leaf, max_branch;
    bool compress;
  } cases[] = {
      {Format{4096, 0x620, 0x14}, 4, 0, false},     // one branch level; every 4th leaf starts with a root key
      {Format{4096, 0x620, 0x14}, 3, 3, false},     // several levels
      {Format{8192, 0x620, 0x0c}, 5, 2, true},      // common-key prefixes, binary branch pages
      {Format{32768, 0x620, 0x14}, 7, 4, true},     // large-page tags
      {Format{32768, 0x620, 0x14}, 2, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(name_of(c.format) + " leaves of " + std::to_string(c.max_leaf) + ", branches of " +
                 std::to_string(c.max_branch));
    const SeekTree t = seek_tree(c.format, c.max_leaf, c.max_branch, c.compress);
    ASSERT_GE(t.layout.levels.size(), 2u);
    TreeWalker::Options options;
    options.kind = TreeKind::LongValue;
    options.on_refusal = OnRefusal::Stop;
    auto walker = TreeWalker::open(t.source(), 4, options);
    ASSERT_TRUE(walker.ok());
    std::size_t on_boundary = 0;
    for (std::size_t i = 0; i < t.keys.size(); ++i) {
      const auto& [key, leaf] = t.keys[i];
      walker->seek(Bytes(key.data(), key.size()));
      auto first = walker->next_leaf();
      ASSERT_TRUE(first);
      EXPECT_EQ(first->number, leaf) << "key " << i;
      on_boundary += i > 0 && t.keys[i - 1].second != leaf;
    }
    EXPECT_GT(on_boundary, 3u);  // keys that open a leaf were sought
  }
}

// The page left of a key equal to a branch key is torn: the seek never
// touches it, so a value stored whole to its right is read whole, and only
// the values it held are lost.
TEST(TreeSeek, RefusedLeftNeighbourCostsNothing) {
  for (const Format& f : {Format{4096, 0x620, 0x14}, Format{32768, 0x620, 0x14}}) {
    SCOPED_TRACE(name_of(f));
    // Leaves of four entries hold one value each (its root entry and three
    // chunks): each separator is an id alone, the key of a root entry.
    const std::size_t refused = 3;
    const SeekTree t = seek_tree(f, 4, 3, false, refused);
    TreeWalker::Options options;
    options.kind = TreeKind::LongValue;
    options.on_refusal = OnRefusal::Stop;
    auto walker = TreeWalker::open(t.source(), 4, options);
    ASSERT_TRUE(walker.ok());
    std::size_t whole = 0, lost = 0;
    for (const auto& [key, leaf] : t.keys) {
      if (key.size() != 4) continue;  // the root entries: each value's first key
      walker->seek(Bytes(key.data(), key.size()));
      auto first = walker->next_leaf();
      if (leaf == t.layout.levels[0][refused]) {
        EXPECT_FALSE(first);
        EXPECT_TRUE(walker->stopped());
        ++lost;
        continue;
      }
      ASSERT_TRUE(first);
      EXPECT_EQ(first->number, leaf);
      EXPECT_FALSE(walker->stopped());
      ++whole;
    }
    EXPECT_EQ(lost, 1u);
    EXPECT_EQ(whole, 29u);
  }
}

}  // namespace
}  // namespace pellumo
