// Record fuzzing: the input is the data of one leaf entry, decoded against
// a table holding a column of every type in each class (fixed, variable,
// tagged), then each value is touched.
//
// Input: byte 0 bit 0 set selects the large-page tagged layout; the rest is
// the record.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "catalog/table_info.h"
#include "record/parser.h"
#include "types/column_value.h"

namespace {

const pellumo::TableInfo& schema() {
  static const pellumo::TableInfo table = [] {
    pellumo::TableInfo t = pellumo::TableInfo::make("F", 5, 80);
    auto add = [&](std::string name, std::uint32_t id, std::uint32_t type, std::uint32_t width, std::uint32_t cp) {
      pellumo::ColumnInfo c;
      c.name = name;
      c.id = id;
      c.column_type = static_cast<pellumo::ColumnType>(type);
      c.space_usage = width;
      c.codepage = cp;
      t.columns.insert_or_assign(name, c);
    };
    // Fixed: every fixed-width type, widths as the engine gives them.
    const std::uint32_t fixed_types[] = {1, 2, 3, 4, 5, 6, 7, 8, 14, 15, 16, 17, 18, 10};
    const std::uint32_t fixed_widths[] = {1, 1, 2, 4, 8, 4, 8, 8, 4, 8, 16, 2, 8, 10};
    for (std::uint32_t i = 0; i < 14; ++i) add("f" + std::to_string(i), i + 1, fixed_types[i], fixed_widths[i], 1252);
    // Variable and tagged: every type, text in each code page and in an unknown one.
    for (std::uint32_t type = 0; type <= 18; ++type) {
      add("v" + std::to_string(type), 128 + type, type, 255, type % 2 ? 1200 : 1252);
      add("t" + std::to_string(type), 256 + type, type, 0, type % 3 == 0 ? 0 : type % 2 ? 1200 : 1252);
    }
    add("t_dup", 260, 9, 0, 0);  // a second column sharing an id
    return t;
  }();
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool large = (data[0] & 1) != 0;
  const pellumo::Bytes record(data + 1, size - 1);
  static pellumo::RecordParser small_parser(std::make_shared<const pellumo::RecordLayout>(schema()), false);
  static pellumo::RecordParser large_parser(std::make_shared<const pellumo::RecordLayout>(schema()), true);
  pellumo::RecordParser& parser = large ? large_parser : small_parser;
  pellumo::Record r = parser.decode(record);
  std::size_t touched = 0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    const pellumo::ColumnValue& v = r.value(i);
    touched += static_cast<std::size_t>(v.kind()) + v.bytes().size() + v.text().size();
  }
  // The value parser alone, on the whole input, for every type.
  for (const auto& [name, column] : schema().columns) {
    auto v = pellumo::RecordParser::parse_column_value(record, column);
    if (!v) touched += v.error().message().size();
  }
  return touched == static_cast<std::size_t>(-1);
}
