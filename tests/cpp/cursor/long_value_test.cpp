#include "cursor/long_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cpp/cursor/long_value_reference.h"
#include "cursor/table_cursor.h"
#include "database/database.h"
#include "fixture/database_builder.h"
#include "fixture/long_value_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/record_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::LeafEntrySpec;
using fixture::LongValueSpec;

const fixture::Format kSmall{4096, 0x620, 0x14};
const fixture::Format kLarge{32768, 0x620, 0x14};

Bytes view(const ByteVector& b) { return Bytes(b.data(), b.size()); }
ByteVector pattern(std::size_t n, std::uint8_t seed) {
  ByteVector v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 7));
  return v;
}

// One table "T": Id (fixed), V (tagged, the long column under test), and a
// long-value tree; each record holds one reference in V.
struct LvDatabase {
  fixture::Format format = kSmall;
  std::uint32_t type = fixture::kColLongBinary;
  std::uint32_t codepage = 0;
  std::vector<LeafEntrySpec> entries;
  fixture::TreeOptions tree;
  bool with_tree = true;
  std::vector<ByteVector> references;
  std::function<void(fixture::BuiltDatabase&)> damage;

  std::unique_ptr<Database> open() const {
    fixture::DatabaseBuilder db(format);
    fixture::TableSpec t;
    t.name = "T";
    t.columns = {{"Id", 1, fixture::kColLong, 4, 0, 0}, {"V", 256, type, 0, 0, codepage}};
    for (std::size_t i = 0; i < references.size(); ++i) {
      const ByteVector record = fixture::RecordBuilder(format)
                                    .fixed(1, fixture::le_u32(static_cast<std::uint32_t>(i)))
                                    .tagged(256, references[i], fixture::kTaggedLongValue)
                                    .encode();
      t.records.push_back({fixture::sequential_key(static_cast<std::uint32_t>(i)), record, std::nullopt});
    }
    if (with_tree) {
      fixture::SubtreeSpec lv;
      lv.name = "LV";
      lv.entries = entries;
      lv.tree = tree;
      t.long_values = {lv};
    }
    db.add_table(std::move(t));
    fixture::BuiltDatabase built = db.build();
    if (damage) damage(built);
    auto opened = fixture::open_bytes(built.bytes());
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().message());
    return opened.ok() ? std::move(*opened) : nullptr;
  }
};

// The V value of every record, read through the cursor.
std::vector<ColumnValue> read_values(const Database& db) {
  std::vector<ColumnValue> out;
  auto cursor = db.open_table("T");
  EXPECT_TRUE(cursor.ok());
  if (!cursor.ok()) return out;
  while (true) {
    auto row = cursor->next_row();
    EXPECT_TRUE(row.ok());
    if (!row.ok() || !row->has_value()) break;
    out.push_back(*(*row)->find("V"));
  }
  return out;
}

ColumnValue bin(const ByteVector& b) { return ColumnValue::binary(view(b)); }

TEST(LongValues, ResolvesReferencesThroughTheTree) {
  const ByteVector a = pattern(3000, 1), b = pattern(12, 2);
  struct Case {
    const char* what;
    LvDatabase db;
    std::vector<ColumnValue> expected;
  };
  std::vector<Case> cases;
  {
    LvDatabase d;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(1, false, a, 1024));
    d.references = {fixture::lid_reference(1)};
    cases.push_back({"reference 01 00 00 00 finds key 00 00 00 01", d, {bin(a)}});
  }
  {
    // Chunks placed 2048, 0, 1024 in the leaves: joined by offset.
    LvDatabase d;
    auto e = fixture::long_value_tree_entries(LongValueSpec::of(7, false, a, 1024));
    std::swap(e[1], e[3]);
    d.entries = e;
    d.tree.max_leaf_entries = 2;
    d.references = {fixture::lid_reference(7)};
    cases.push_back({"chunks out of order", d, {bin(a)}});
  }
  {
    LvDatabase d;
    LongValueSpec cut = LongValueSpec::of(3, false, b, 5);
    cut.declared_size = 10;
    LongValueSpec short_value = LongValueSpec::of(4, false, b, 5);
    short_value.declared_size = 20;
    d.entries = fixture::long_value_tree_entries(cut);
    for (auto& e : fixture::long_value_tree_entries(short_value)) d.entries.push_back(e);
    d.references = {fixture::lid_reference(3), fixture::lid_reference(4)};
    cases.push_back({"total size cuts, never pads", d,
                     {bin(ByteVector(b.begin(), b.begin() + 10)), bin(b)}});
  }
  {
    LvDatabase d;
    d.type = fixture::kColLongText;
    d.codepage = 1200;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(5, false, fixture::utf16_of("long text here"), 6));
    d.references = {fixture::lid_reference(5), fixture::lid_reference(6), {1, 0, 0}};
    cases.push_back({"Long Text in code page 1200; a missing LID and a short reference are empty text", d,
                     {ColumnValue::text("long text here"), ColumnValue::text(""), ColumnValue::text("")}});
  }
  {
    LvDatabase d;
    d.type = fixture::kColLongText;
    d.codepage = 0;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(5, false, fixture::bytes_of("raw"), 6));
    d.references = {fixture::lid_reference(5), fixture::lid_reference(9)};
    cases.push_back({"an unknown code page gives Binary", d, {bin(fixture::bytes_of("raw")), bin({})}});
  }
  {
    LvDatabase d;
    d.with_tree = false;
    d.references = {fixture::lid_reference(1)};
    cases.push_back({"a table without a long-value tree", d, {bin({})}});
  }
  {
    // Mixed 32- and 64-bit ids in one tree, the 64-bit ones after all others.
    LvDatabase d;
    const LongValueSpec narrow = LongValueSpec::of(0x10, false, pattern(1500, 3), 700);
    const LongValueSpec wide = LongValueSpec::of(0x10, true, pattern(2100, 4), 1000);
    const LongValueSpec wide2 = LongValueSpec::of(0x7FFFFFFFFFull, true, pattern(40, 5), 16);
    for (const auto& s : {narrow, wide, wide2}) {
      for (auto& e : fixture::long_value_tree_entries(s)) d.entries.push_back(e);
    }
    fixture::sort_by_key(d.entries);
    d.tree.max_leaf_entries = 3;
    d.references = {reference_to(wide), reference_to(narrow), reference_to(wide2),
                    fixture::wide_lid_reference(0x11)};
    cases.push_back({"64-bit ids", d, {bin(wide.value), bin(narrow.value), bin(wide2.value), bin({})}});
  }
  {
    // Compressed chunks: stored shorter than the room they fill.
    LvDatabase d;
    d.type = fixture::kColLongText;
    d.codepage = 1252;
    const std::string text = "Long compressed ASCII text " + std::string(1024, 'a');
    LongValueSpec x = LongValueSpec::of(0x21, false, fixture::bytes_of(text), 600);
    x.compress = fixture::compress_xpress;
    LongValueSpec seven = LongValueSpec::of(0x22, false, fixture::bytes_of(std::string(300, 'q') + "!"), 100);
    seven.compress = [](const ByteVector& c) { return fixture::compress_seven_bit(std::string(c.begin(), c.end())); };
    LongValueSpec lz = LongValueSpec::of(0x23, true, fixture::bytes_of(std::string(900, 'z')), 450);
    lz.compress = fixture::compress_lz4;
    for (const auto& s : {x, seven, lz}) {
      for (auto& e : fixture::long_value_tree_entries(s)) d.entries.push_back(e);
    }
    fixture::sort_by_key(d.entries);
    d.references = {reference_to(x), reference_to(seven), reference_to(lz)};
    cases.push_back({"compressed chunks", d,
                     {ColumnValue::text(text), ColumnValue::text(std::string(300, 'q') + "!"),
                      ColumnValue::text(std::string(900, 'z'))}});
  }
  {
    // Keys share prefixes held in tag 0; a 64-bit id whose byte 1 has its
    // top bits set must be rebuilt from the prefix as stored.
    for (const auto& format : {kSmall, kLarge}) {
      LvDatabase d;
      d.format = format;
      const LongValueSpec wide = LongValueSpec::of(0x00E5000000000007ull, true, pattern(5000, 6), 900);
      const LongValueSpec narrow = LongValueSpec::of(0x00E50001, false, pattern(100, 7), 30);
      for (const auto& s : {narrow, wide}) {
        for (auto& e : fixture::long_value_tree_entries(s)) d.entries.push_back(e);
      }
      fixture::sort_by_key(d.entries);
      d.tree.prefix_compression = true;
      d.tree.max_leaf_entries = 3;
      d.references = {reference_to(wide), reference_to(narrow)};
      cases.push_back({format.large_page_tags() ? "common-key prefixes, large pages" : "common-key prefixes", d,
                       {bin(wide.value), bin(narrow.value)}});
    }
  }
  {
    // The leaf chain loops back: the chunks met before the loop make the value.
    LvDatabase d;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(2, false, a, 1024));
    d.tree.max_leaf_entries = 2;
    d.references = {fixture::lid_reference(2)};
    d.damage = [](fixture::BuiltDatabase& built) {
      const auto& leaves = built.table("T")->long_values[0].levels[0];
      built.file.page(leaves[0]).set_next_page(leaves[0]);  // root + chunk 0, then itself
    };
    // The link is not believed; the tree leads to every chunk.
    cases.push_back({"leaf chain linked to itself", d, {bin(a)}});
  }
  {
    LvDatabase d;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(2, false, a, 1024));
    d.tree.max_leaf_entries = 2;
    d.references = {fixture::lid_reference(2)};
    d.damage = [](fixture::BuiltDatabase& built) {
      const auto& leaves = built.table("T")->long_values[0].levels[0];
      built.file.page(leaves[1]).set_next_page(leaves[0]);
    };
    cases.push_back({"leaf chain looping back", d, {bin(a)}});
  }
  {
    // The descent meets a child page past the end of the file: the fetch
    // fails and the reference stays; a short reference is still empty.
    LvDatabase d;
    d.entries = fixture::long_value_tree_entries(LongValueSpec::of(2, false, a, 1024));
    d.tree.max_leaf_entries = 1;
    d.references = {fixture::lid_reference(2), {1, 2}};
    d.damage = [](fixture::BuiltDatabase& built) {
      const std::uint32_t root = built.table("T")->long_values[0].root_page;
      built.file.page(root).tags()[1] = fixture::branch_tag({}, 99999);
    };
    cases.push_back({"descent into a page past the file", d, {ColumnValue(), bin({})}});
  }
  for (const auto& c : cases) {
    auto db = c.db.open();
    ASSERT_NE(db, nullptr) << c.what;
    const auto got = read_values(*db);
    ASSERT_EQ(got.size(), c.expected.size()) << c.what;
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], c.expected[i]) << c.what << ", record " << i;
  }
}

// A torn leaf costs only the values whose keys it may hold. Branch keys
// tell where a leaf's keys end: a value that opens a leaf is sought there
// (not on the torn page to its left, whose separator equals its id), and a
// value that closes a leaf is complete when the separator above that leaf
// lies past its id (the torn page to its right holds none of it).
TEST(LongValues, ATornLeafCostsOnlyTheValuesItMayHold) {
  struct Case {
    const char* what;
    fixture::Format format;
    std::size_t value_size, chunk_size, max_leaf;  // entries per leaf
    std::size_t torn;                               // which leaf, from the left
    std::vector<std::uint32_t> lost;                // ids read as null
    bool entry = false;  // the branch entry of that leaf unreadable, the leaf sound
  };
  const Case cases[] = {
      // Four entries a value (root and three chunks), four a leaf: value
      // n fills leaf n - 1, and every separator is an id alone.
      {"one value a leaf", kSmall, 3000, 1024, 4, 3, {4}},
      {"one value a leaf, large pages", kLarge, 3000, 1024, 4, 3, {4}},
      {"the first leaf torn", kSmall, 3000, 1024, 4, 0, {1}},
      // Five entries a value, four a leaf: values straddle leaves, and a
      // torn leaf takes every value with a key on it.
      {"values across leaves", kSmall, 4000, 1024, 4, 2, {2, 3}},
      {"values across leaves, large pages", kLarge, 4000, 1024, 4, 1, {1, 2}},
      // The entry leading to leaf 3 cannot be read: its keys are unknown,
      // so value 5, which opens the leaf after it, may have keys there too.
      {"an unreadable branch entry", kSmall, 3000, 1024, 4, 3, {4, 5}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LvDatabase d;
    d.format = c.format;
    std::vector<ByteVector> values;
    for (std::uint32_t lid = 1; lid <= 6; ++lid) {
      values.push_back(pattern(c.value_size, static_cast<std::uint8_t>(lid)));
      for (auto& e : fixture::long_value_tree_entries(LongValueSpec::of(lid, false, values.back(), c.chunk_size))) {
        d.entries.push_back(e);
      }
      d.references.push_back(fixture::lid_reference(lid));
    }
    d.tree.max_leaf_entries = c.max_leaf;
    d.damage = [&c](fixture::BuiltDatabase& built) {
      const auto& tree = built.table("T")->long_values[0];
      if (c.entry) {
        // One branch level: the root's entry tags 1... lead to the leaves in order.
        built.file.page(tree.root_page).tags()[1 + c.torn] = fixture::TagSpec::of(0, {1, 2, 3});
      } else {
        built.file.page(tree.levels[0][c.torn]).set_object_id(4242);  // refused: another object's page
      }
    };
    auto db = d.open();
    ASSERT_NE(db, nullptr);
    const auto got = read_values(*db);
    ASSERT_EQ(got.size(), values.size());
    for (std::uint32_t lid = 1; lid <= values.size(); ++lid) {
      const bool lost = std::find(c.lost.begin(), c.lost.end(), lid) != c.lost.end();
      EXPECT_EQ(got[lid - 1], lost ? ColumnValue() : bin(values[lid - 1])) << "id " << lid;
    }
  }
}

TEST(LongValues, ReferenceIds) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::optional<LongValueId> expected;
  };
  const std::vector<Case> cases = {
      {{1, 0, 0}, std::nullopt},
      {{1, 0, 0, 0}, LongValueId{false, 1}},
      {{1, 0, 0, 0, 9}, LongValueId{false, 1}},
      {{7, 0, 0, 0, 0, 0, 0, 0x80}, LongValueId{true, 0x8000000000000007ull}},
      {{7, 0, 0, 0, 0, 0, 0, 0x00}, LongValueId{false, 7}},
      {{7, 0, 0, 0, 0, 0, 0, 0x80, 0}, LongValueId{false, 7}},
  };
  for (const auto& c : cases) {
    auto got = parse_long_value_reference(Bytes(c.bytes.data(), c.bytes.size()));
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(got->wide, c.expected->wide);
      EXPECT_EQ(got->lid, c.expected->lid);
    }
  }
}

// Trees of every shape a lookup can meet: on sorted trees the seek must
// answer each reference with exactly the bytes (or the failure) a walk of
// the whole tree gives.
TEST(LongValues, SeekAnswersAsTheWalkOnSortedTrees) {
  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  int trees = 0;
  std::size_t compared = 0, resolved_nonempty = 0;
  for (int round = 0; round < 60; ++round) {
    LvDatabase d;
    d.format = round % 5 == 4 ? kLarge : kSmall;
    std::vector<LongValueSpec> specs;
    const std::size_t values = 2 + pick(8);
    for (std::size_t v = 0; v < values; ++v) {
      LongValueSpec s;
      s.wide = pick(3) == 0;
      s.lid = s.wide ? (static_cast<std::uint64_t>(pick(4)) << 40) + pick(20) : pick(20);
      s.value = pattern(1 + pick(3000), static_cast<std::uint8_t>(v));
      s.chunk_size = 64 + pick(1200);
      if (pick(3) == 0) s.compress = fixture::compress_xpress;
      s.with_root = pick(6) != 0;
      if (pick(5) == 0) s.declared_size = static_cast<std::uint32_t>(pick(4000));
      specs.push_back(s);
      for (auto& e : fixture::long_value_tree_entries(s)) d.entries.push_back(e);
    }
    const int shape = round % 4;
    if (shape != 1) fixture::sort_by_key(d.entries);
    if (shape == 1) std::shuffle(d.entries.begin(), d.entries.end(), rng);  // unsorted leaves
    d.tree.max_leaf_entries = 1 + pick(6);
    d.tree.max_branch_entries = 2 + pick(3);
    d.tree.prefix_compression = shape != 1 && pick(2) == 0;
    // References: every value, absent ids of both widths, odd lengths.
    for (const auto& s : specs) d.references.push_back(reference_to(s));
    d.references.push_back(fixture::lid_reference(25));
    d.references.push_back(fixture::wide_lid_reference(3));
    d.references.push_back({0, 0, 0, 0, 0});
    d.references.push_back({9});
    if (shape == 2 || shape == 3) {
      const int damage_kind = static_cast<int>(pick(4));
      const std::uint32_t salt = static_cast<std::uint32_t>(rng());
      d.damage = [shape, damage_kind, salt](fixture::BuiltDatabase& built) {
        const auto& levels = built.table("T")->long_values[0].levels;
        const auto& leaves = levels[0];
        const std::uint32_t victim = leaves[salt % leaves.size()];
        if (shape == 2) {
          // A loop in the leaf chain, or a leaf linked to itself.
          built.file.page(victim).set_next_page(leaves[(salt / 7) % leaves.size()]);
          return;
        }
        switch (damage_kind) {
          case 0:  // a tag pointing past the page, where a slot still fits
            if (built.file.page(victim).free_space() >= 4) {
              built.file.page(victim).add_raw_tag(300, 0x1F00);
            } else {
              built.file.page(victim).patch(100, ByteVector(8, 0xFF));
            }
            break;
          case 1:  // garbage over part of a page's data
            built.file.page(victim).patch(40 + salt % 200, ByteVector(1 + salt % 40, 0xE7));
            break;
          case 2:  // a leaf that is not a leaf
            built.file.page(victim).set_flags(0);
            break;
          default:  // a chain running past the file
            built.file.page(victim).set_next_page(90000);
            break;
        }
      };
    }
    auto db = d.open();
    ASSERT_NE(db, nullptr);
    const TableInfo& table = *db->tables().find("T");
    LongValueReader reader(*db, table);
    ++trees;
    // Sorted trees, whatever their sibling links say, are read alike by the
    // seek and by the walk of the whole tree; unsorted or torn trees only
    // have to give an answer.
    const bool comparable = shape == 0 || shape == 2;
    for (std::size_t r = 0; r < d.references.size(); ++r) {
      const ByteVector& ref = d.references[r];
      const auto expected = long_value_reference::fetch_by_scan(*db, table, view(ref));
      std::string got;
      const bool ok = reader.fetch(view(ref), got);
      if (!comparable) continue;
      ASSERT_EQ(ok, expected.has_value()) << "round " << round;
      if (ok) {
        ASSERT_EQ(got, *expected) << "round " << round;
        resolved_nonempty += !got.empty();
      }
      ++compared;
    }
  }
  EXPECT_EQ(trees, 60);
  EXPECT_GT(compared, 100u);
  EXPECT_GT(resolved_nonempty, compared / 3);
}

TEST(LongValues, ResolvingWithTheCursorMatchesTheScan) {
  LvDatabase d;
  std::vector<LongValueSpec> specs;
  for (std::uint32_t lid = 1; lid <= 40; ++lid) {
    specs.push_back(LongValueSpec::of(lid, lid % 3 == 0, pattern(100 + lid * 37, static_cast<std::uint8_t>(lid)), 256));
    for (auto& e : fixture::long_value_tree_entries(specs.back())) d.entries.push_back(e);
  }
  fixture::sort_by_key(d.entries);
  for (const auto& s : specs) d.references.push_back(reference_to(s));
  auto db = d.open();
  ASSERT_NE(db, nullptr);
  const TableInfo& table = *db->tables().find("T");
  auto cursor = db->open_table("T");
  ASSERT_TRUE(cursor.ok());
  std::size_t n = 0;
  while (true) {
    auto more = cursor->advance();
    ASSERT_TRUE(more.ok());
    if (!*more) break;
    // Decode the same record again, unresolved, and resolve it by scanning.
    RecordParser parser(cursor->shared_layout(), false);
    Record raw(cursor->shared_layout());
    const ByteVector record = fixture::RecordBuilder(kSmall)
                                  .fixed(1, fixture::le_u32(static_cast<std::uint32_t>(n)))
                                  .tagged(256, d.references[n], fixture::kTaggedLongValue)
                                  .encode();
    parser.decode(view(record), raw);
    ASSERT_EQ(raw.find("V")->kind(), ValueKind::LongValue);
    long_value_reference::resolve_by_scan(*db, table, raw);
    EXPECT_EQ(*raw.find("V"), *cursor->current().find("V"));
    EXPECT_EQ(*cursor->current().find("V"), bin(specs[n].value));
    ++n;
  }
  EXPECT_EQ(n, specs.size());
}

}  // namespace
}  // namespace pellumo
