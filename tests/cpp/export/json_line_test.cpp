#include "export/json_line.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "catalog/table_info.h"
#include "record/record.h"

namespace pellumo {
namespace {

using namespace std::string_literals;

using TestRecord = std::vector<std::pair<std::string, std::int64_t>>;

std::string write_line(JsonLineWriter& writer, const TestRecord& record) {
  std::string out;
  writer.append_members(
      out, record.size(), [&](std::size_t i) { return std::string_view(record[i].first); },
      [&](std::string& o, std::size_t i) { json::append_int(o, record[i].second); });
  return out;
}

TEST(JsonLineWriterTest, MembersSortedByDecodedNameBytes) {
  const struct {
    const char* what;
    TestRecord record;
    std::string line;
  } cases[] = {
      {"empty record", {}, "{}\n"},
      {"one member", {{"a", 1}}, "{\"a\":1}\n"},
      {"capitals sort before small letters", {{"b", 1}, {"a", 2}, {"C", 3}}, "{\"C\":3,\"a\":2,\"b\":1}\n"},
      {"a prefix sorts first", {{"ab", 1}, {"a", 2}, {"a\x01", 3}}, "{\"a\":2,\"a\\u0001\":3,\"ab\":1}\n"},
      {"later duplicate wins", {{"x", 1}, {"y", 2}, {"x", 3}}, "{\"x\":3,\"y\":2}\n"},
      {"three equal names keep the last", {{"k", 1}, {"k", 2}, {"k", 3}}, "{\"k\":3}\n"},
      // Names are compared as UTF-8 bytes: é (C3 A9) after z, U+FF61 (EF BD A1)
      // before U+1F600 (F0 ..), although UTF-16 order would put U+1F600 first.
      {"byte order of UTF-8",
       {{"\xF0\x9F\x98\x80", 1}, {"\xEF\xBD\xA1", 2}, {"\xC3\xA9", 3}, {"z", 4}},
       "{\"z\":4,\"\xC3\xA9\":3,\"\xEF\xBD\xA1\":2,\"\xF0\x9F\x98\x80\":1}\n"},
      // Invalid bytes decode to U+FFFD before sorting, so these three are one name.
      {"names equal after decoding",
       {{"\xFF", 1}, {"a", 2}, {"\xEF\xBF\xBD", 3}, {"\xFE", 4}},
       "{\"a\":2,\"\xEF\xBF\xBD\":4}\n"},
      {"invalid bytes inside a name", {{"ab\xC3(", 7}}, "{\"ab\xEF\xBF\xBD(\":7}\n"},
      {"names are escaped", {{"q\"\\\n", 1}}, "{\"q\\\"\\\\\\n\":1}\n"},
      {"empty name", {{"", 1}, {" ", 2}}, "{\"\":1,\" \":2}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JsonLineWriter fresh;
    EXPECT_EQ(write_line(fresh, c.record), c.line);
  }
  // One writer across records of different shapes: the cached layout is
  // rebuilt whenever the names change (same count and lengths included).
  JsonLineWriter shared;
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(write_line(shared, c.record), c.line);
    }
  }
  EXPECT_EQ(write_line(shared, {{"b", 1}, {"a", 2}}), "{\"a\":2,\"b\":1}\n");
  EXPECT_EQ(write_line(shared, {{"a", 1}, {"b", 2}}), "{\"a\":1,\"b\":2}\n");
  EXPECT_EQ(write_line(shared, {{"a", 1}, {"b", 2}}), "{\"a\":1,\"b\":2}\n");
}

TEST(JsonLineWriterTest, MemberOrderNamesRecordPositions) {
  JsonLineWriter writer;
  const std::vector<std::string_view> names = {"b", "x", "a", "x"};
  writer.prepare(names);
  EXPECT_EQ(writer.member_order(), (std::vector<std::size_t>{2, 0, 3}));
}

ColumnInfo column(std::string name, std::uint32_t id) {
  ColumnInfo c;
  c.name = std::move(name);
  c.id = id;
  return c;
}

TEST(JsonLineWriterTest, DecodedRecordLine) {
  // Column ids give the record order; names are chosen so the sorted order
  // differs from it.
  TableInfo table = TableInfo::make("t", 10, 0);
  const char* const names[] = {"n",  "bool", "i8",  "u8",  "i16",  "u16",  "i32", "u32", "i64", "u64",
                               "f32", "f64", "dt", "cur", "guid", "bin", "text", "mv",  "lv",  "nan"};
  std::uint32_t id = 1;
  for (const char* name : names) table.columns.insert_or_assign(name, column(name, id++));
  Record record(std::make_shared<const RecordLayout>(table));
  ASSERT_EQ(record.size(), std::size(names));
  const std::uint8_t raw[] = {0x00, 0xAB, 0x10};
  const GuidBytes guid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                          0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  std::size_t i = 0;
  record.value(i++) = ColumnValue::null();
  record.value(i++) = ColumnValue::boolean(true);
  record.value(i++) = ColumnValue::int8(-8);
  record.value(i++) = ColumnValue::uint8(255);
  record.value(i++) = ColumnValue::int16(-32768);
  record.value(i++) = ColumnValue::uint16(65535);
  record.value(i++) = ColumnValue::int32(-2147483647 - 1);
  record.value(i++) = ColumnValue::uint32(4294967295u);
  record.value(i++) = ColumnValue::int64(std::numeric_limits<std::int64_t>::min());
  record.value(i++) = ColumnValue::uint64(std::numeric_limits<std::uint64_t>::max());
  record.value(i++) = ColumnValue::float32(0.1f);
  record.value(i++) = ColumnValue::float64(1e16);
  record.value(i++) = ColumnValue::date_time(0x01D0000000000000ull);
  record.value(i++) = ColumnValue::currency(0xFFFFFFFFFFFFFFFFull);
  record.value(i++) = ColumnValue::guid(guid);
  record.value(i++) = ColumnValue::binary(raw);
  record.value(i++) = ColumnValue::text("tab\there \xC3\xA9");
  record.value(i++) = ColumnValue::multi_value(raw);
  record.value(i++) = ColumnValue::long_value(Bytes(raw, 1));
  record.value(i++) = ColumnValue::float64(std::numeric_limits<double>::quiet_NaN());

  JsonLineWriter writer;
  std::string out;
  writer.append_record(out, record);
  const std::string expected =
      "{\"bin\":\"00ab10\",\"bool\":true,\"cur\":18446744073709551615,\"dt\":130604389193744384,"
      "\"f32\":0.10000000149011612,\"f64\":1e+16,"
      "\"guid\":\"03020100-0504-0706-0809-0a0b0c0d0e0f\",\"i16\":-32768,\"i32\":-2147483648,"
      "\"i64\":-9223372036854775808,\"i8\":-8,\"lv\":\"00\",\"mv\":\"00ab10\",\"n\":null,\"nan\":0,"
      "\"text\":\"tab\\there \xC3\xA9\",\"u16\":65535,\"u32\":4294967295,\"u64\":18446744073709551615,"
      "\"u8\":255}\n";
  EXPECT_EQ(out, expected);
  // The next record of the same table reuses the layout and appends after the first line.
  record.value(1) = ColumnValue::boolean(false);
  writer.append_record(out, record);
  const std::string second = "{\"bin\":\"00ab10\",\"bool\":false,";
  EXPECT_EQ(out.substr(expected.size(), second.size()), second);
  EXPECT_EQ(out.size(), 2 * expected.size() + 1);
}
}  // namespace
}  // namespace pellumo
