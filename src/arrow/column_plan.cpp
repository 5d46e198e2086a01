#include "arrow/column_plan.h"

#include <cstring>

#include "arrow/c_data.h"
#include "utils/decode_string.h"
#include "utils/utf8.h"

namespace pellumo::arrow {
namespace {

BuilderKind value_builder(const ColumnInfo& column) {
  switch (column.column_type) {
    case ColumnType::Null:
    case ColumnType::Obsolete: return BuilderKind::Null;
    case ColumnType::Boolean: return BuilderKind::Boolean;
    case ColumnType::UnsignedByte: return BuilderKind::UInt8;
    case ColumnType::SignedShort: return BuilderKind::Int16;
    case ColumnType::SignedLong: return BuilderKind::Int32;
    case ColumnType::UnsignedLong: return BuilderKind::UInt32;
    case ColumnType::UnsignedShort: return BuilderKind::UInt16;
    case ColumnType::Currency:
    case ColumnType::DateTime:
    case ColumnType::LongLong:
    case ColumnType::Max: return BuilderKind::UInt64;
    case ColumnType::Float32: return BuilderKind::Float32;
    case ColumnType::Float64: return BuilderKind::Float64;
    case ColumnType::Guid: return BuilderKind::Utf8;
    case ColumnType::Text:
    case ColumnType::LongText:
      // Text in a code page the decoder does not know comes out as bytes
      // (or not at all), never as text.
      return is_known_codepage(column.codepage.value_or(kDefaultCodepage)) ? BuilderKind::Utf8
                                                                           : BuilderKind::Binary;
    case ColumnType::Binary:
    case ColumnType::LongBinary: return BuilderKind::Binary;
  }
  return BuilderKind::Binary;
}

BuilderKind raw_builder(const ColumnInfo& column) {
  // A multi-valued column holds either one value or the raw bytes of several.
  if (column.flags & kColumnFlagMultiValued) return BuilderKind::Binary;
  return value_builder(column);
}

BuilderKind engine_builder(const ColumnInfo& column) {
  switch (column.column_type) {
    case ColumnType::LongLong:
    case ColumnType::Currency: return BuilderKind::Int64;
    case ColumnType::DateTime: return BuilderKind::Timestamp;
    case ColumnType::Guid: return BuilderKind::Uuid;
    default: return value_builder(column);
  }
}

void append_i32(std::string& out, std::size_t v) {
  const auto n = static_cast<std::int32_t>(v);
  char b[4];
  std::memcpy(b, &n, 4);
  out.append(b, 4);
}

}  // namespace

const char* builder_format(BuilderKind kind) {
  switch (kind) {
    case BuilderKind::Null: return "n";
    case BuilderKind::Boolean: return "b";
    case BuilderKind::UInt8: return "C";
    case BuilderKind::Int16: return "s";
    case BuilderKind::UInt16: return "S";
    case BuilderKind::Int32: return "i";
    case BuilderKind::UInt32: return "I";
    case BuilderKind::UInt64: return "L";
    case BuilderKind::Float32: return "f";
    case BuilderKind::Float64: return "g";
    case BuilderKind::Utf8: return "u";
    case BuilderKind::Binary: return "z";
    case BuilderKind::Int64: return "l";
    case BuilderKind::Timestamp: return "tsu:UTC";
    case BuilderKind::Uuid: return "w:16";
  }
  return "z";
}

std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  if (pairs.empty()) return out;
  append_i32(out, pairs.size());
  for (const auto& [key, value] : pairs) {
    append_i32(out, key.size());
    out += key;
    append_i32(out, value.size());
    out += value;
  }
  return out;
}

std::string utf8_name(std::string_view bytes) {
  std::string out;
  append_utf8_lossy(out, bytes);
  return out;
}

ColumnPlan plan_column(const ColumnInfo& column, std::size_t layout_index, ValueProfile profile) {
  ColumnPlan plan;
  plan.layout_index = layout_index;
  plan.column = &column;
  switch (profile) {
    case ValueProfile::Raw: plan.builder = raw_builder(column); break;
    case ValueProfile::Engine:
      plan.builder = engine_builder(column);
      plan.list = (column.flags & kColumnFlagMultiValued) != 0;
      break;
  }
  // The arrow.uuid extension marks the field that holds the UUIDs: the
  // column's own, or its list's items.
  const std::string uuid_metadata =
      plan.builder == BuilderKind::Uuid
          ? encode_metadata({{"ARROW:extension:name", "arrow.uuid"}, {"ARROW:extension:metadata", ""}})
          : std::string();
  if (plan.list) {
    FieldSpec item;
    item.format = builder_format(plan.builder);
    item.name = "item";
    item.metadata = uuid_metadata;
    item.flags = ARROW_FLAG_NULLABLE;
    plan.field.format = "+l";
    plan.field.children.push_back(std::move(item));
  } else {
    plan.field.format = builder_format(plan.builder);
  }
  plan.field.name = utf8_name(column.name);
  // Every field is nullable, NOT NULL columns too: a damaged record reads
  // as null in them (as read_table gives None), and a consumer may reject
  // nulls in a field declared without them (Parquet writers do). The
  // catalog's NOT NULL stays visible in the metadata.
  plan.field.flags = ARROW_FLAG_NULLABLE;
  std::vector<std::pair<std::string, std::string>> meta = {
      {"ese.column_id", std::to_string(column.id)},
      {"ese.type", column_type_name(column.column_type)},
  };
  if (column.codepage) meta.emplace_back("ese.codepage", std::to_string(*column.codepage));
  if (column.flags & kColumnFlagNotNull) meta.emplace_back("ese.not_null", "true");
  if (column.flags & kColumnFlagMultiValued) meta.emplace_back("ese.multi_valued", "true");
  if (!plan.list && plan.builder == BuilderKind::Uuid) {
    meta.emplace_back("ARROW:extension:name", "arrow.uuid");
    meta.emplace_back("ARROW:extension:metadata", "");
  }
  plan.field.metadata = encode_metadata(meta);
  return plan;
}

}  // namespace pellumo::arrow
