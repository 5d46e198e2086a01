#include "record/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fixture/record_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::RecordBuilder;

const fixture::Format kSmall{4096, 0x620, 0x14};
const fixture::Format kLarge{32768, 0x620, 0x14};

ColumnInfo col(std::string name, std::uint32_t id, ColumnType type, std::uint32_t width = 0,
               std::optional<std::uint32_t> cp = std::nullopt) {
  ColumnInfo c;
  c.name = std::move(name);
  c.id = id;
  c.column_type = type;
  c.space_usage = width;
  c.codepage = cp;
  return c;
}

TableInfo table_of(const std::vector<ColumnInfo>& columns) {
  TableInfo t = TableInfo::make("T", 5, 80);
  for (const auto& c : columns) t.columns.insert_or_assign(c.name, c);
  return t;
}

Bytes view(const ByteVector& b) { return Bytes(b.data(), b.size()); }

using Expected = std::vector<std::pair<std::string, ColumnValue>>;

void expect_record(const Record& r, const Expected& expected, const std::string& what) {
  ASSERT_EQ(r.size(), expected.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.name(i), expected[i].first) << what << ", column " << i;
    EXPECT_EQ(r.value(i), expected[i].second) << what << ", column " << expected[i].first;
  }
}

ColumnValue bin(const ByteVector& b) { return ColumnValue::binary(view(b)); }
ColumnValue text(const std::string& s) { return ColumnValue::text(s); }
const ColumnValue kNull = ColumnValue::null();

TEST(RecordParser, DecodesTheLayoutOfFixedVariableAndTaggedColumns) {
  const TableInfo t = table_of({col("C", 256, ColumnType::UnsignedShort), col("B", 128, ColumnType::Text, 0, 1252),
                                col("A", 1, ColumnType::SignedLong, 4)});
  const ByteVector record = {0x01, 0x80, 0x08, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x02,
                             0x00, 0x68, 0x69, 0x00, 0x01, 0x04, 0x00, 0x07, 0x00};
  expect_record(decode_record(view(record), t, false),
                {{"A", ColumnValue::int32(42)}, {"B", text("hi")}, {"C", ColumnValue::uint16(7)}}, "worked example");
}

struct RecordCase {
  const char* what;
  std::vector<ColumnInfo> columns;
  ByteVector record;
  Expected expected;
  bool large = false;
};

std::vector<RecordCase> layout_cases() {
  using T = ColumnType;
  const auto i32 = [](std::int32_t v) { return ColumnValue::int32(v); };
  std::vector<RecordCase> cases;
  const std::vector<ColumnInfo> three_fixed = {col("F1", 1, T::SignedLong, 4), col("F2", 2, T::SignedShort, 2),
                                               col("F3", 3, T::SignedLong, 4)};
  cases.push_back({"record shorter than its header", three_fixed, {0x03, 0x80, 0x04},
                   {{"F1", kNull}, {"F2", kNull}, {"F3", kNull}}});
  cases.push_back({"fixed columns past F are Null", three_fixed,
                   RecordBuilder(kSmall).fixed(1, fixture::le_u32(5)).fixed(2, fixture::le_u16(0xFFFE)).encode(),
                   {{"F1", i32(5)}, {"F2", ColumnValue::int16(-2)}, {"F3", kNull}}});
  cases.push_back({"a NULL fixed column is filler, not a value", three_fixed,
                   RecordBuilder(kSmall)
                       .fixed(1, fixture::le_u32(5))
                       .fixed_null(2, 2)
                       .fixed(3, fixture::le_u32(9))
                       .encode(),
                   {{"F1", i32(5)}, {"F2", kNull}, {"F3", i32(9)}}});
  {
    // 255 '*' of filler in a NULL fixed text column.
    std::vector<ColumnInfo> columns = {col("Id", 1, T::SignedLong, 4), col("Fixed", 2, T::Text, 255, 1252)};
    cases.push_back({"NULL fixed text", columns,
                     RecordBuilder(kSmall).fixed(1, fixture::le_u32(1)).fixed_null(2, 255).encode(),
                     {{"Id", i32(1)}, {"Fixed", kNull}}});
  }
  {
    // Bit 8 of the bitmap, in its second byte, for column 9.
    std::vector<ColumnInfo> columns;
    RecordBuilder b(kSmall);
    Expected expected;
    for (std::uint32_t id = 1; id <= 9; ++id) {
      const std::string name = "F" + std::to_string(id);
      columns.push_back(col(name, id, T::UnsignedByte, 1));
      if (id == 9) {
        b.fixed_null(id, 1);
        expected.push_back({name, kNull});
      } else {
        b.fixed(id, {static_cast<std::uint8_t>(id)});
        expected.push_back({name, ColumnValue::uint8(static_cast<std::uint8_t>(id))});
      }
    }
    cases.push_back({"null bitmap past its first byte", columns, b.encode(), expected});
  }
  {
    // P pointing past the record leaves no room for a bitmap: columns read as stored.
    ByteVector record = RecordBuilder(kSmall).fixed(1, fixture::le_u32(7)).fixed_null(2, 2).encode();
    record[2] = 0xF0;
    cases.push_back({"no bitmap where P lies past the record", three_fixed, record,
                     {{"F1", i32(7)}, {"F2", ColumnValue::int16(0x2A2A)}, {"F3", kNull}}});
  }
  const std::vector<ColumnInfo> variable = {col("V1", 128, T::Binary), col("V2", 129, T::Binary),
                                            col("V3", 130, T::Text, 0, 1252)};
  cases.push_back({"NULL variable column and the next one's start", variable,
                   RecordBuilder(kSmall).variable(128, {1, 2}).variable_null(129).variable(130, {'o', 'k'}).encode(),
                   {{"V1", bin({1, 2})}, {"V2", kNull}, {"V3", text("ok")}}});
  {
    // The entry of V2 ends before V1 does: no value.
    ByteVector record = RecordBuilder(kSmall).variable(128, {1, 2, 3}).variable(129, {4}).encode();
    record[6] = 0x01;  // V2's end offset: 1, before its start at 3
    cases.push_back({"variable column ending before it starts", variable, record,
                     {{"V1", bin({1, 2, 3})}, {"V2", kNull}, {"V3", kNull}}});
  }
  {
    ByteVector record = RecordBuilder(kSmall).variable(128, {1, 2}).encode();
    record[4] = 0x40;  // V1's end far past the record
    cases.push_back({"variable column past the record", variable, record, {{"V1", kNull}, {"V2", kNull}, {"V3", kNull}}});
  }
  const std::vector<ColumnInfo> tagged = {col("Id", 1, T::SignedLong, 4), col("T1", 256, T::SignedLong),
                                          col("T2", 257, T::Binary), col("T3", 300, T::Text, 0, 1200)};
  cases.push_back({"no variable columns: tagged data starts at P", tagged,
                   RecordBuilder(kSmall)
                       .fixed(1, fixture::le_u32(1))
                       .tagged(256, fixture::le_u32(11))
                       .tagged(300, fixture::utf16_of("t"))
                       .encode(),
                   {{"Id", i32(1)}, {"T1", i32(11)}, {"T2", kNull}, {"T3", text("t")}}});
  cases.push_back({"tagged items out of order and repeated: the later one wins", tagged,
                   RecordBuilder(kSmall)
                       .tagged(300, fixture::utf16_of("first"))
                       .tagged(256, fixture::le_u32(3))
                       .tagged(300, fixture::utf16_of("second"))
                       .encode(),
                   {{"Id", kNull}, {"T1", i32(3)}, {"T2", kNull}, {"T3", text("second")}}});
  {
    // Item 1's offset far past the record: item 0 would end there and item 1
    // would start after its own end. Both are skipped; item 2 still reads.
    ByteVector record = RecordBuilder(kSmall)
                            .tagged(256, fixture::le_u32(1))
                            .tagged(257, {5, 6})
                            .tagged(300, fixture::utf16_of("z"))
                            .encode();
    record[4 + 4 + 2] = 0x00;
    record[4 + 4 + 3] = 0x1F;
    cases.push_back({"tagged items with extents outside the record are skipped", tagged, record,
                     {{"Id", kNull}, {"T1", kNull}, {"T2", kNull}, {"T3", text("z")}}});
  }
  cases.push_back({"small pages: offset bit 13 is an explicit NULL", tagged,
                   RecordBuilder(kSmall).tagged_null(256).tagged(257, {1}).encode(),
                   {{"Id", kNull}, {"T1", kNull}, {"T2", bin({1})}, {"T3", kNull}}});
  cases.push_back({"large pages: a single 0x00 is a flag byte and an empty value", tagged,
                   RecordBuilder(kLarge).tagged(256, {}).tagged(257, {}).encode(),
                   {{"Id", kNull}, {"T1", kNull}, {"T2", bin({})}, {"T3", kNull}},
                   true});
  cases.push_back({"large pages: flag 0x20 is NULL", tagged,
                   RecordBuilder(kLarge).tagged_null(256).tagged(257, {8}).encode(),
                   {{"Id", kNull}, {"T1", kNull}, {"T2", bin({8})}, {"T3", kNull}},
                   true});
  {
    // More than 16 KiB of tagged data: offsets need all 15 bits.
    std::vector<ColumnInfo> columns = {col("Big", 256, T::Binary), col("After", 257, T::UnsignedShort)};
    ByteVector big(20000, 0x5A);
    cases.push_back({"large pages: 15-bit tagged offsets", columns,
                     RecordBuilder(kLarge).tagged(256, big).tagged(257, fixture::le_u16(257)).encode(),
                     {{"Big", bin(big)}, {"After", ColumnValue::uint16(257)}},
                     true});
  }
  {
    // 13-bit offsets on small pages: bits 13 and 14 are not part of the offset.
    std::vector<ColumnInfo> columns = {col("A", 256, T::Binary), col("B", 257, T::Binary)};
    cases.push_back({"small pages: flag bit 14 and the 13-bit offset", columns,
                     RecordBuilder(kSmall).tagged(256, {1, 2}, 0x01).tagged(257, {3}).encode(),
                     {{"A", bin({1, 2})}, {"B", bin({3})}}});
  }
  {
    std::vector<ColumnInfo> columns = {col("One", 256, T::SignedLong), col("Two", 256, T::SignedLong)};
    cases.push_back({"two columns with one id both appear, in catalog order", columns,
                     RecordBuilder(kSmall).tagged(256, fixture::le_u32(4)).encode(),
                     {{"One", i32(4)}, {"Two", i32(4)}}});
  }
  cases.push_back({"empty column list", {}, RecordBuilder(kSmall).fixed(1, {1}).encode(), {}});
  return cases;
}

TEST(RecordParser, LayoutEdgeCases) {
  for (const auto& c : layout_cases()) {
    const TableInfo t = table_of(c.columns);
    expect_record(decode_record(view(c.record), t, c.large), c.expected, c.what);
  }
}

TEST(RecordParser, TaggedFlagBytes) {
  using T = ColumnType;
  const std::string long_text = "Long compressed ASCII text " + std::string(1024, 'a');
  const ByteVector mixed = fixture::bytes_of(std::string(600, 'm') + "end");
  struct Case {
    const char* what;
    ColumnInfo column;
    ByteVector value;
    std::uint8_t flags;
    ColumnValue expected;
  };
  const ByteVector xpress_text = fixture::compress_xpress(fixture::bytes_of(long_text));
  ByteVector broken_xpress = xpress_text;
  broken_xpress.resize(broken_xpress.size() - 3);
  const std::vector<Case> cases = {
      {"long-value reference", col("L", 256, T::LongText, 0, 1252), {1, 0, 0, 0}, 0x04, ColumnValue::long_value(view({1, 0, 0, 0}))},
      {"reference wins over compression", col("L", 256, T::LongBinary), {1, 0, 0, 0}, 0x06,
       ColumnValue::long_value(view({1, 0, 0, 0}))},
      {"Long Binary kept in the record", col("L", 256, T::LongBinary), {9, 8, 7, 6, 5}, 0x00, bin({9, 8, 7, 6, 5})},
      {"Long Binary with a flag byte but no reference bit", col("L", 256, T::LongBinary), {9, 8}, 0x01, bin({9, 8})},
      {"multi-value raw bytes", col("M", 256, T::SignedLong), {4, 0, 1, 0, 0, 0}, 0x08,
       ColumnValue::multi_value(view({4, 0, 1, 0, 0, 0}))},
      {"multi-value whose first instance is compressed stays raw", col("M", 256, T::Text, 0, 1252),
       fixture::compress_seven_bit("abc"), 0x0B, ColumnValue::multi_value(view(fixture::compress_seven_bit("abc")))},
      {"7-bit ASCII text", col("X", 256, T::Text, 0, 1252), fixture::compress_seven_bit("Tiny c ASCII"), 0x02,
       text("Tiny c ASCII")},
      {"7-bit Unicode text", col("X", 256, T::LongText, 0, 1200), fixture::compress_seven_bit_unicode("Tiny c"), 0x02,
       text("Tiny c")},
      {"7-bit Unicode in a Binary column", col("X", 256, T::Binary), {0x10, 0x41, 0x20}, 0x02, bin({0x41, 0x00})},
      {"Xpress text", col("X", 256, T::LongText, 0, 1252), xpress_text, 0x02, text(long_text)},
      {"Xpress binary", col("X", 256, T::LongBinary), fixture::compress_xpress(mixed), 0x02, bin(mixed)},
      {"LZ4 binary", col("X", 256, T::Binary), fixture::compress_lz4(mixed), 0x02, bin(mixed)},
      {"LZ4 text", col("X", 256, T::Text, 0, 1252), fixture::compress_lz4(mixed), 0x02,
       text(std::string(mixed.begin(), mixed.end()))},
      {"decompressed text of an unknown code page is Binary", col("X", 256, T::Text, 0, 0),
       fixture::compress_seven_bit("abc"), 0x02, bin(fixture::bytes_of("abc"))},
      {"damaged Xpress keeps the stored bytes", col("X", 256, T::Text, 0, 1252), broken_xpress, 0x02,
       bin(broken_xpress)},
      {"scrubbed data stays Binary", col("X", 256, T::Text, 0, 1252), {0x20, 1, 2}, 0x02, bin({0x20, 1, 2})},
      {"Xpress9 stays Binary", col("X", 256, T::Binary), {0x28, 1, 2}, 0x02, bin({0x28, 1, 2})},
      {"an empty compressed value is an empty Binary", col("X", 256, T::Text, 0, 1252), {}, 0x02, bin({})},
      {"unknown flag bits are ignored", col("X", 256, T::SignedShort), {5, 0}, 0x01, ColumnValue::int16(5)},
  };
  for (const auto& format : {kSmall, kLarge}) {
    for (const auto& c : cases) {
      const TableInfo t = table_of({c.column});
      const ByteVector record = RecordBuilder(format).tagged(256, c.value, c.flags).encode();
      const Record r = decode_record(view(record), t, format.large_page_tags());
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r.value(0), c.expected) << c.what << (format.large_page_tags() ? " (large pages)" : "");
    }
  }
}

TEST(RecordParser, ReusedRecordIsFullyOverwritten) {
  const TableInfo t = table_of({col("Id", 1, ColumnType::SignedLong, 4), col("Name", 128, ColumnType::Text, 0, 1252),
                                col("Blob", 256, ColumnType::Binary)});
  RecordParser parser(std::make_shared<const RecordLayout>(t), false);
  Record r(parser.layout());
  const ByteVector full = RecordBuilder(kSmall)
                              .fixed(1, fixture::le_u32(1))
                              .variable(128, fixture::bytes_of("a rather long name value"))
                              .tagged(256, {1, 2, 3})
                              .encode();
  const ByteVector sparse = RecordBuilder(kSmall).fixed(1, fixture::le_u32(2)).encode();
  parser.decode(view(full), r);
  parser.decode(view(sparse), r);
  expect_record(r, {{"Id", ColumnValue::int32(2)}, {"Name", kNull}, {"Blob", kNull}}, "second record");
  ASSERT_NE(r.find("Name"), nullptr);
  EXPECT_TRUE(r.find("Name")->is_null());
  EXPECT_EQ(r.find("Missing"), nullptr);
  auto map = r.to_map();
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map[0].first, "Id");
}

}  // namespace
}  // namespace pellumo
