// Engine-value fuzzing: the input is the data of one leaf entry, decoded
// against a table of multi-valued tagged columns of every type (and fixed,
// variable and tagged columns with defaults), then turned into engine values
// with a long-value tree that answers some ids and not others.
//
// Input: byte 0 bit 0 set selects the large-page tagged layout; the rest is
// the record. Each run also splits the record's bytes as one multi-value
// under every flag combination and reads every 8 bytes as a date.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "cursor/engine_record.h"
#include "record/multi_value.h"
#include "record/parser.h"
#include "types/engine_value.h"

namespace {

const pellumo::TableInfo& schema() {
  static const pellumo::TableInfo table = [] {
    pellumo::TableInfo t = pellumo::TableInfo::make("F", 5, 80);
    auto add = [&](std::string name, std::uint32_t id, std::uint32_t type, std::uint32_t width, std::uint32_t flags,
                   std::optional<std::string> default_value) {
      pellumo::ColumnInfo c;
      c.name = name;
      c.id = id;
      c.column_type = static_cast<pellumo::ColumnType>(type);
      c.space_usage = width;
      c.codepage = type % 2 ? 1200 : 1252;
      c.flags = flags;
      c.default_value = std::move(default_value);
      t.columns.insert_or_assign(name, c);
    };
    add("f_date", 1, 8, 8, 0x10, std::string(8, '\x40'));
    add("f_long", 2, 4, 4, 0x10, std::string("\x01\x02", 2));  // a default too short for its type
    add("v_text", 128, 10, 255, 0x10, std::string("dflt"));
    for (std::uint32_t type = 0; type <= 18; ++type) {
      add("m" + std::to_string(type), 256 + type, type, 0, 0x8, std::nullopt);
      add("d" + std::to_string(type), 300 + type, type, 0, 0x18, std::string(16, '\x07'));
    }
    add("callback", 400, 4, 4, 0x90, std::string("\x05\0\0\0", 4));
    return t;
  }();
  return table;
}

struct Tree {
  bool operator()(pellumo::Bytes reference, std::string& out) const {
    if (reference.empty() || reference[0] % 3 == 0) return false;
    out.assign(reference[0], 'x');
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool large = (data[0] & 1) != 0;
  const pellumo::Bytes record(data + 1, size - 1);
  static const auto layout = std::make_shared<const pellumo::RecordLayout>(schema());
  static pellumo::RecordParser small_parser(layout, false);
  static pellumo::RecordParser large_parser(layout, true);
  static pellumo::EngineRecordBuilder builder(layout);
  pellumo::RecordParser& parser = large ? large_parser : small_parser;
  const pellumo::Record raw = parser.decode(record);
  Tree tree;
  std::vector<pellumo::EngineValue> values;
  builder.build(raw, pellumo::LongValueFetch(tree), values);
  std::size_t touched = 0;
  for (const pellumo::EngineValue& v : values) {
    touched += v.value().bytes().size() + static_cast<std::size_t>(v.value().as_signed() & 1);
    for (const pellumo::ColumnValue& item : v.items()) touched += item.bytes().size() + item.text().size();
  }
  std::vector<pellumo::MultiValueInstance> instances;
  for (unsigned flags = 0; flags < 0x20; flags += 2) {
    if (pellumo::split_multi_value(record, static_cast<std::uint8_t>(flags | 0x08), instances)) {
      for (const auto& i : instances) touched += i.data.size();
    }
  }
  for (std::size_t at = 0; at + 8 <= record.size(); at += 8) {
    if (auto micros = pellumo::engine_date_time(*pellumo::read_u64_le(record, at))) touched += *micros & 1;
  }
  return touched == static_cast<std::size_t>(-1);
}
