#include "catalog/column_default.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "catalog/parser.h"
#include "fixture/catalog_record.h"

namespace pellumo {
namespace {

using fixture::ByteVector;

TEST(ColumnDefault, KeepsVariableColumn131OfAColumnRecord) {
  const ByteVector value = {0x2A, 0x00, 0x00, 0x00};
  struct Case {
    const char* what;
    std::vector<std::optional<ByteVector>> extra;  // columns 129, 130, ...
    std::optional<std::string> expected;
  } cases[] = {
      {"stored", {ByteVector{1}, std::nullopt, value}, std::string("\x2A\0\0\0", 4)},
      {"followed by another column", {std::nullopt, std::nullopt, value, ByteVector{9, 9}}, std::string("\x2A\0\0\0", 4)},
      {"marked NULL", {std::nullopt, std::nullopt, std::nullopt}, std::nullopt},
      {"empty", {std::nullopt, std::nullopt, ByteVector{}}, std::nullopt},
      {"record ends at column 130", {ByteVector{1}, ByteVector{2}}, std::nullopt},
      {"no column after the name", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    fixture::CatalogRecord record = fixture::column_record(2, "C", 256, 4, 4, kColumnFlagDefault);
    record.extra_variable = c.extra;
    const ByteVector bytes = record.encode();
    TableMap tables;
    ObjectNameMap names;
    std::vector<PendingEntry> pending;
    ASSERT_TRUE(CatalogParser::process_catalog_entry(Bytes(bytes.data(), bytes.size()), tables, names, pending))
        << c.what;
    ASSERT_EQ(pending.size(), 1u) << c.what;
    EXPECT_EQ(std::get<ColumnDetails>(pending[0].entry.details).default_value, c.expected) << c.what;
  }
}

TEST(ColumnDefault, ReadsNothingOutsideTheRecord) {
  fixture::CatalogRecord record = fixture::column_record(2, "C", 256, 4, 4);
  record.extra_variable = {std::nullopt, std::nullopt, ByteVector{1, 2, 3}};
  ByteVector bytes = record.encode();
  // Cut into the value of column 131: its end offset now lies past the record.
  for (std::size_t n = bytes.size() - 1; n > 0; --n) {
    const ByteVector cut = fixture::truncated(bytes, n);
    EXPECT_EQ(read_column_default(Bytes(cut.data(), cut.size())), std::nullopt) << n << " bytes";
  }
  EXPECT_EQ(catalog_variable_column(Bytes(bytes.data(), bytes.size()), 127), std::nullopt);
  EXPECT_EQ(read_column_default(Bytes(bytes.data(), bytes.size())), std::string("\x01\x02\x03"));
}

}  // namespace
}  // namespace pellumo
