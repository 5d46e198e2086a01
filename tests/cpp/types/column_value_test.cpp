#include "types/column_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "record/parser.h"

namespace pellumo {
namespace {

ColumnInfo column_of(ColumnType type, std::optional<std::uint32_t> codepage = std::nullopt) {
  ColumnInfo c;
  c.name = "C";
  c.column_type = type;
  c.codepage = codepage;
  return c;
}

ColumnValue parse(ColumnType type, std::vector<std::uint8_t> bytes, std::optional<std::uint32_t> cp = 1252) {
  auto v = RecordParser::parse_column_value(Bytes(bytes.data(), bytes.size()), column_of(type, cp));
  EXPECT_TRUE(v.ok());
  return v.ok() ? *v : ColumnValue::null();
}

Bytes view(const std::vector<std::uint8_t>& b) { return Bytes(b.data(), b.size()); }

TEST(ParseColumnValue, DecodesEachTypeFromItsLeadingBytes) {
  using T = ColumnType;
  const std::vector<std::uint8_t> ff8(8, 0xFF);
  std::vector<std::uint8_t> guid(16);
  for (int i = 0; i < 16; ++i) guid[i] = static_cast<std::uint8_t>(i);
  GuidBytes g;
  std::copy(guid.begin(), guid.end(), g.begin());
  struct Case {
    const char* what;
    ColumnType type;
    std::vector<std::uint8_t> bytes;
    ColumnValue expected;
  };
  const std::vector<Case> cases = {
      {"empty Boolean is Null", T::Boolean, {}, ColumnValue::null()},
      {"empty Long is Null", T::SignedLong, {}, ColumnValue::null()},
      {"Boolean 0x02", T::Boolean, {0x02}, ColumnValue::boolean(true)},
      {"Boolean 0x00", T::Boolean, {0x00}, ColumnValue::boolean(false)},
      {"Unsigned byte, 1 byte", T::UnsignedByte, {0xFE}, ColumnValue::uint8(254)},
      {"Unsigned byte, 2 bytes", T::UnsignedByte, {0x01, 0x02}, ColumnValue::uint16(0x0201)},
      {"Unsigned byte, 4 bytes", T::UnsignedByte, {0x01, 0, 0, 0}, ColumnValue::uint32(1)},
      {"Unsigned byte, 8 bytes", T::UnsignedByte, ff8, ColumnValue::uint64(~0ull)},
      {"Unsigned byte, 3 bytes", T::UnsignedByte, {1, 2, 3}, ColumnValue::binary(view({1, 2, 3}))},
      {"Signed short -1", T::SignedShort, {0xFF, 0xFF}, ColumnValue::int16(-1)},
      {"Unsigned short 65535", T::UnsignedShort, {0xFF, 0xFF}, ColumnValue::uint16(65535)},
      {"Signed long from 6 bytes", T::SignedLong, {0x2A, 0, 0, 0x80, 9, 9}, ColumnValue::int32(INT32_MIN + 42)},
      {"Unsigned long", T::UnsignedLong, {0xFF, 0xFF, 0xFF, 0xFF}, ColumnValue::uint32(0xFFFFFFFF)},
      {"Long long is unsigned", T::LongLong, ff8, ColumnValue::uint64(18446744073709551615ull)},
      {"Max holds unsigned 64 bits", T::Max, {1, 0, 0, 0, 0, 0, 0, 0x80}, ColumnValue::uint64(0x8000000000000001ull)},
      {"Currency raw", T::Currency, ff8, ColumnValue::currency(~0ull)},
      {"DateTime raw", T::DateTime, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, ColumnValue::date_time(0x3FF0000000000000ull)},
      {"Float32", T::Float32, {0xCD, 0xCC, 0xCC, 0x3D}, ColumnValue::float32(0.1f)},
      {"Float64", T::Float64, {0, 0, 0, 0, 0, 0, 0xF0, 0xBF}, ColumnValue::float64(-1.0)},
      {"GUID in stored order", T::Guid, guid, ColumnValue::guid(g)},
      {"Binary", T::Binary, {0, 1, 2}, ColumnValue::binary(view({0, 1, 2}))},
      {"Long Binary kept in the record is data", T::LongBinary, {7, 0, 0, 0}, ColumnValue::binary(view({7, 0, 0, 0}))},
      {"Text keeps its NUL", T::Text, {'h', 'i', 0}, ColumnValue::text(std::string("hi\0", 3))},
      {"Long Text", T::LongText, {0x80}, ColumnValue::text("\xE2\x82\xAC")},
      {"NULL type", T::Null, {1, 2}, ColumnValue::null()},
      {"Obsolete type", T::Obsolete, {1, 2}, ColumnValue::null()},
      {"Signed short too short", T::SignedShort, {1}, ColumnValue::null()},
      {"Signed long too short", T::SignedLong, {1, 2, 3}, ColumnValue::null()},
      {"Currency too short", T::Currency, {1, 2, 3, 4, 5, 6, 7}, ColumnValue::null()},
      {"GUID too short", T::Guid, std::vector<std::uint8_t>(15, 1), ColumnValue::null()},
      {"Max too short", T::Max, {1, 2}, ColumnValue::null()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(c.type, c.bytes), c.expected) << c.what;
  }
}

TEST(ParseColumnValue, TextCodePages) {
  EXPECT_EQ(parse(ColumnType::Text, {'A', 0, 'B', 0}, 1200), ColumnValue::text("AB"));
  // A column without a code page decodes as 1252.
  EXPECT_EQ(parse(ColumnType::Text, {0x80}, std::nullopt), ColumnValue::text("\xE2\x82\xAC"));
  const std::vector<std::uint8_t> b = {'h', 'i'};
  auto refused = RecordParser::parse_column_value(view(b), column_of(ColumnType::Text, 0));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "Unknown codepage: 0");
  // Empty text is Null before any code page is consulted.
  auto empty = RecordParser::parse_column_value({}, column_of(ColumnType::Text, 0));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->is_null());
}

TEST(ColumnValue, FloatsKeepTheirBitsAndReusedBuffersAreReplaced) {
  const auto nan = ColumnValue::float32(std::nanf(""));
  EXPECT_TRUE(std::isnan(nan.as_float32()));
  EXPECT_EQ(static_cast<double>(ColumnValue::float32(0.1f).as_float32()), 0.10000000149011612);
  ColumnValue v = ColumnValue::text("a much longer text that lives on the heap");
  v.set_scalar(ValueKind::UInt32, 5);
  EXPECT_EQ(v, ColumnValue::uint32(5));
  v.set_bytes(ValueKind::Binary, view({9}));
  EXPECT_EQ(v, ColumnValue::binary(view({9})));
  std::ostringstream shown;
  shown << ColumnValue::int16(-3) << ' ' << ColumnValue::text("x") << ' ' << ColumnValue::long_value(view({1, 2}));
  EXPECT_EQ(shown.str(), "Int16(-3) Text(\"x\") LongValue(01 02)");
  EXPECT_STREQ(value_kind_name(ValueKind::LongValue), "LongValue");
  EXPECT_EQ(static_cast<int>(ValueKind::LongValue), 18);
}

}  // namespace
}  // namespace pellumo
