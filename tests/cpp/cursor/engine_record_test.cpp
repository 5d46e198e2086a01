#include "cursor/engine_record.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fixture/record_builder.h"
#include "record/parser.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::RecordBuilder;

const fixture::Format kSmall{4096, 0x620, 0x14};
const fixture::Format kLarge{32768, 0x620, 0x14};

ColumnInfo col(std::string name, std::uint32_t id, ColumnType type, std::uint32_t width, std::uint32_t flags = 0,
               std::optional<std::string> default_value = std::nullopt) {
  ColumnInfo c;
  c.name = std::move(name);
  c.id = id;
  c.column_type = type;
  c.space_usage = width;
  c.codepage = 1252;
  c.flags = flags;
  c.default_value = std::move(default_value);
  return c;
}

std::string str(const ByteVector& b) { return std::string(b.begin(), b.end()); }
ByteVector bytes(std::string_view s) { return ByteVector(s.begin(), s.end()); }
ByteVector cat(std::initializer_list<ByteVector> parts) {
  ByteVector out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// What a cell should hold: a single value or a list.
struct Cell {
  bool list = false;
  std::vector<ColumnValue> values;
};
Cell single(ColumnValue v) { return Cell{false, {std::move(v)}}; }
Cell list(std::vector<ColumnValue> v) { return Cell{true, std::move(v)}; }
ColumnValue text(const std::string& s) { return ColumnValue::text(s); }
ColumnValue bin(const std::string& s) { return ColumnValue::binary(as_bytes(s)); }

void expect_cell(const EngineValue& got, const Cell& want, const std::string& what) {
  ASSERT_EQ(got.is_list(), want.list) << what;
  if (!want.list) {
    EXPECT_EQ(got.value(), want.values[0]) << what;
    return;
  }
  ASSERT_EQ(got.items().size(), want.values.size()) << what;
  for (std::size_t i = 0; i < want.values.size(); ++i) EXPECT_EQ(got.items()[i], want.values[i]) << what << " [" << i << "]";
}

// Long values by LID, for separated instances.
struct FakeTree {
  std::map<std::uint32_t, std::string> values;
  bool operator()(Bytes reference, std::string& out) const {
    const auto lid = read_u32_le(reference, 0);
    if (!lid) return false;
    auto it = values.find(*lid);
    if (it == values.end()) return false;
    out = it->second;
    return true;
  }
};

constexpr std::uint32_t kMulti = kColumnFlagMultiValued;
constexpr std::uint32_t kDefault = kColumnFlagDefault;

TEST(EngineRecord, SplitsMultiValuesInEveryStoredLayout) {
  const TableInfo table = [] {
    TableInfo t = TableInfo::make("T", 5, 80);
    for (auto c : {col("Texts", 256, ColumnType::LongText, 0, kMulti), col("Shorts", 257, ColumnType::UnsignedShort, 2, kMulti),
                   col("Bins", 258, ColumnType::LongBinary, 0, kMulti), col("One", 259, ColumnType::Text, 0, kMulti),
                   col("NotFlagged", 260, ColumnType::SignedLong, 4), col("Longs", 261, ColumnType::LongLong, 8, kMulti),
                   col("Broken", 262, ColumnType::Binary, 0, kMulti), col("Plain", 263, ColumnType::Binary, 0)})
      t.columns.insert_or_assign(c.name, c);
    return t;
  }();
  FakeTree tree{{{7, "separated text"}}};
  const ByteVector compressed = fixture::compress_seven_bit("packed");
  const std::uint16_t first = 4;
  const std::uint16_t second = static_cast<std::uint16_t>(first + compressed.size());
  for (const auto& format : {kSmall, kLarge}) {
    const ByteVector record =
        RecordBuilder(format)
            // Compressed first instance, a separated second, an empty third (flags 0x0B).
            .tagged(256, cat({fixture::le_u16(6), fixture::le_u16(static_cast<std::uint16_t>((second + 2) | 0x8000)),
                              fixture::le_u16(static_cast<std::uint16_t>(second + 6)), bytes(""), compressed,
                              fixture::le_u32(7)}),
                    0x0B)
            .tagged(257, ByteVector{2, 0x01, 0x00, 0xFF, 0xFF}, 0x18)  // two values
            // A separated instance whose value cannot be fetched stays its reference.
            .tagged(258, cat({fixture::le_u16(0x8004), fixture::le_u16(8), fixture::le_u32(99), bytes("raw")}), 0x09)
            .tagged(259, bytes("solo"))                                         // one instance stored plainly
            .tagged(260, cat({fixture::le_u16(4), fixture::le_u16(8), fixture::le_u32(5), fixture::le_u32(6)}), 0x08)
            .tagged(261, cat({fixture::le_u16(4), fixture::le_u16(12), fixture::le_u64(~0ULL), fixture::le_u64(1)}), 0x08)
            .tagged(262, ByteVector{9, 0, 'x'}, 0x08)  // inconsistent offsets
            .tagged(263, bytes("plain"))
            .encode();
    const Record raw = decode_record(Bytes(record.data(), record.size()), table, format.large_page_tags());
    EngineRecordBuilder builder(raw.shared_layout());
    std::vector<EngineValue> out;
    builder.build(raw, LongValueFetch(tree), out);
    ASSERT_EQ(out.size(), 8u);
    const std::string where = format.large_page_tags() ? " (large pages)" : " (small pages)";
    expect_cell(out[0], list({text("packed"), text("separated text"), text("")}), "compressed, separated, empty" + where);
    expect_cell(out[1], list({ColumnValue::uint16(1), ColumnValue::uint16(0xFFFF)}), "two values" + where);
    expect_cell(out[2], list({ColumnValue::long_value(as_bytes(std::string("\x63\0\0\0", 4))), bin("raw")}),
                "unresolvable separated instance" + where);
    expect_cell(out[3], list({text("solo")}), "one plain instance" + where);
    expect_cell(out[4], list({ColumnValue::int32(5), ColumnValue::int32(6)}), "multi-value flag, column not flagged" + where);
    expect_cell(out[5], list({ColumnValue::int64(-1), ColumnValue::int64(1)}), "signed instances" + where);
    expect_cell(out[6], single(bin(std::string("\x09\0x", 3))), "inconsistent layout: the stored bytes" + where);
    expect_cell(out[7], single(bin("plain")), "untouched" + where);
  }
}

TEST(EngineRecord, AppliesDefaultsOnlyToColumnsTheRecordDoesNotHold) {
  const std::string d32 = str(fixture::le_u32(42));
  const TableInfo table = [&] {
    TableInfo t = TableInfo::make("T", 5, 80);
    for (auto c : {col("F1", 1, ColumnType::SignedLong, 4, kDefault, str(fixture::le_u32(11))),
                   col("F2", 2, ColumnType::SignedLong, 4, kDefault, d32),
                   col("F3", 3, ColumnType::SignedLong, 4, kDefault, d32),
                   col("V1", 128, ColumnType::Text, 0, kDefault, "dv"),
                   col("V2", 129, ColumnType::Text, 0, kDefault, "dv"),
                   col("V3", 130, ColumnType::Text, 0, kDefault, "dv"),
                   col("T1", 256, ColumnType::LongText, 0, kDefault, "dt"),
                   col("T2", 257, ColumnType::LongText, 0, kDefault, "dt"),
                   col("T3", 258, ColumnType::LongText, 0, kDefault | kMulti, "dm"),
                   col("NoFlag", 259, ColumnType::Text, 0, 0, "ignored"),
                   col("Callback", 260, ColumnType::Text, 0, kDefault | kColumnFlagUserDefinedDefault, "cb"),
                   col("Date", 261, ColumnType::DateTime, 8, kDefault, str(fixture::le_u64(0x3FF8000000000000ULL))),
                   col("T4", 262, ColumnType::LongText, 0, kDefault, "dt")})
      t.columns.insert_or_assign(c.name, c);
    return t;
  }();
  const ByteVector record = RecordBuilder(kSmall)
                                .fixed(1, fixture::le_u32(7))
                                .fixed_null(2, 4)  // F = 2: F3 is beyond it
                                .variable(128, bytes("stored"))
                                .variable_null(129)  // V = 129: V3 is beyond it
                                .tagged(256, bytes("stored"))
                                .tagged_null(257)
                                .encode();
  FakeTree tree;
  const Record raw = decode_record(Bytes(record.data(), record.size()), table, false);
  EngineRecordBuilder builder(raw.shared_layout());
  std::vector<EngineValue> out;
  builder.build(raw, LongValueFetch(tree), out);
  ColumnValue date;
  date.set_signed(ValueKind::DateTime, -2209032000000000LL);  // 1899-12-31 12:00 UTC
  const std::vector<std::pair<const char*, Cell>> expected = {
      {"stored fixed", single(ColumnValue::int32(7))},
      {"fixed marked NULL", single(ColumnValue::null())},
      {"fixed beyond F", single(ColumnValue::int32(42))},
      {"stored variable", single(text("stored"))},
      {"variable marked NULL", single(ColumnValue::null())},
      {"variable beyond V", single(text("dv"))},
      {"stored tagged", single(text("stored"))},
      {"tagged explicit NULL", single(ColumnValue::null())},
      {"absent multi-valued: a list of the default", list({text("dm")})},
      {"flag 0x10 clear", single(ColumnValue::null())},
      {"callback default", single(ColumnValue::null())},
      {"default decoded as a date", single(date)},
      {"absent tagged", single(text("dt"))},
  };
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) expect_cell(out[i], expected[i].second, expected[i].first);

  // A record too short for its header holds no column at all: every default applies.
  const ByteVector tiny = {0x01};
  builder.build(decode_record(Bytes(tiny.data(), tiny.size()), table, false), LongValueFetch(tree), out);
  expect_cell(out[0], single(ColumnValue::int32(11)), "short record, F1");
  expect_cell(out[4], single(text("dv")), "short record, V2");
}

}  // namespace
}  // namespace pellumo
