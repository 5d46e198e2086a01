// The "records" fixture database read end to end through the cursor, at
// each page size and tag layout: every value as its table's formula says.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "database/database.h"
#include "fixture/open_bytes.h"
#include "fixture/record_builder.h"
#include "fixture/record_scenarios.h"

namespace pellumo {
namespace {

using fixture::ByteVector;

std::vector<Record> read_all(const Database& db, const std::string& table) {
  std::vector<Record> out;
  auto cursor = db.open_table(table);
  EXPECT_TRUE(cursor.ok());
  if (!cursor.ok()) return out;
  while (true) {
    auto row = cursor->next_row();
    EXPECT_TRUE(row.ok()) << table << ": " << (row.ok() ? "" : row.error().message());
    if (!row.ok() || !row->has_value()) break;
    out.push_back(std::move(**row));
  }
  return out;
}

ColumnValue bin(const ByteVector& b) { return ColumnValue::binary(Bytes(b.data(), b.size())); }

TEST(RecordsScenario, EveryValueAsDeclared) {
  const std::vector<fixture::Format> formats = {{4096, 0x620, 0x14}, {8192, 0x620, 0x0c}, {32768, 0x620, 0x14}};
  for (const auto& format : formats) {
    const std::string where = "page size " + std::to_string(format.page_size);
    auto db = fixture::open_bytes(fixture::records_scenario(format));
    ASSERT_TRUE(db.ok()) << where << ": " << db.error().message();

    const auto all = read_all(**db, "AllTypes");
    ASSERT_EQ(all.size(), 40u) << where;
    for (int i = 0; i < 40; ++i) {
      const Record& r = all[static_cast<std::size_t>(i)];
      const auto u = static_cast<std::uint64_t>(i);
      GuidBytes guid;
      for (int k = 0; k < 16; ++k) guid[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(i + k);
      ByteVector raw;
      for (int k = 0; k < 8; ++k) raw.push_back(static_cast<std::uint8_t>(i + k));
      ByteVector multi = {0x08, 0x00};
      fixture::put_u32(multi, static_cast<std::uint32_t>(i));
      fixture::put_u32(multi, static_cast<std::uint32_t>(i + 1));
      const std::vector<std::pair<const char*, ColumnValue>> expected = {
          {"Id", ColumnValue::int32(i)},
          {"Flag", ColumnValue::boolean(i % 2 == 0)},
          {"Byte", ColumnValue::uint8(static_cast<std::uint8_t>(i))},
          {"Short", ColumnValue::int16(static_cast<std::int16_t>(-i))},
          {"Count", ColumnValue::uint32(static_cast<std::uint32_t>(1000 * i))},
          {"Big", ColumnValue::uint64(0x8000000000000000ull + u)},
          {"Money", ColumnValue::currency(12345 * u)},
          {"Ratio", ColumnValue::float32(static_cast<float>(i) + 0.5f)},
          {"Score", ColumnValue::float64(i / 4.0)},
          {"When", ColumnValue::date_time(0x01D0000000000000ull + u)},
          {"Guid", ColumnValue::guid(guid)},
          {"Port", ColumnValue::uint16(static_cast<std::uint16_t>(65535 - i))},
          {"Wide", ColumnValue::uint64((1ull << 40) + u)},
          {"Maybe", i % 2 == 0 ? ColumnValue::int32(i) : ColumnValue::null()},
          {"Name", ColumnValue::text(fixture::name_1252(i))},
          {"Title", ColumnValue::text(fixture::title_1200(i))},
          {"Raw", i % 5 == 0 ? ColumnValue::null() : bin(raw)},
          {"Note", ColumnValue::text("note " + std::to_string(i))},
          {"WNote", ColumnValue::text("wnote " + std::to_string(i))},
          {"Packed", ColumnValue::text(fixture::packed_text(i))},
          {"WPacked", ColumnValue::text("unicode " + std::to_string(i))},
          {"Data", bin(ByteVector(5, static_cast<std::uint8_t>(0xD0 + i)))},
          {"Multi", ColumnValue::multi_value(Bytes(multi.data(), multi.size()))},
          {"Absent", ColumnValue::null()},
      };
      ASSERT_EQ(r.size(), expected.size());
      for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(r.name(k), expected[k].first) << where;
        EXPECT_EQ(r.value(k), expected[k].second) << where << ", record " << i << ", " << expected[k].first;
      }
    }

    const auto lv = read_all(**db, "LongValues");
    ASSERT_EQ(lv.size(), 12u) << where;
    for (int i = 0; i < 12; ++i) {
      const Record& r = lv[static_cast<std::size_t>(i)];
      EXPECT_EQ(*r.find("Body"), ColumnValue::text(fixture::body_text(i))) << where << ", record " << i;
      EXPECT_EQ(*r.find("Blob"), bin(fixture::blob_bytes(i))) << where << ", record " << i;
      EXPECT_EQ(*r.find("Story"), ColumnValue::text(fixture::story_text(i))) << where << ", record " << i;
    }
    EXPECT_TRUE(read_all(**db, "Empty").empty());
  }
}

}  // namespace
}  // namespace pellumo
