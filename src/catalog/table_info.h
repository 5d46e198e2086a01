// The catalog's descriptions of tables, columns, indexes and long-value trees.
// Built once when the database is opened and never changed afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "utils/ordered_map.h"

namespace pellumo {

// Column type codes as stored in the catalog.
enum class ColumnType : std::uint32_t {
  Null = 0,
  Boolean = 1,
  UnsignedByte = 2,
  SignedShort = 3,
  SignedLong = 4,
  Currency = 5,
  Float32 = 6,
  Float64 = 7,
  DateTime = 8,
  Binary = 9,
  Text = 10,
  LongBinary = 11,
  LongText = 12,
  Obsolete = 13,
  UnsignedLong = 14,
  LongLong = 15,
  Guid = 16,
  UnsignedShort = 17,
  Max = 18,
};
inline constexpr std::uint32_t kMaxColumnType = 18;

// The display name of a column type code ("Boolean", "Long Text", ...).
const char* column_type_name(ColumnType type);

inline constexpr std::uint32_t kDefaultCodepage = 1252;
inline constexpr std::uint32_t kColumnFlagNotNull = 0x1;
inline constexpr std::uint32_t kColumnFlagMultiValued = 0x8;
inline constexpr std::uint32_t kColumnFlagDefault = 0x10;
// The default is computed by a callback of the application that wrote the
// file; a reader without that code has no value for it.
inline constexpr std::uint32_t kColumnFlagUserDefinedDefault = 0x80;

struct ColumnInfo {
  std::string name;                     // raw bytes
  std::optional<std::uint32_t> codepage;  // text decoding uses 1252 where absent
  ColumnType column_type = ColumnType::Null;
  std::uint32_t id = 0;  // 1-127 fixed, 128-255 variable, 256 and up tagged
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  // The stored bytes of the column's default value, when its catalog
  // record holds one (whatever its flags say).
  std::optional<std::string> default_value;
};

struct IndexInfo {
  std::string name;
  std::uint32_t root_page = 0;
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  std::uint32_t locale = 0;
};

struct LongValueInfo {
  std::string name;
  std::uint32_t root_page = 0;
  std::uint32_t space_usage = 0;
};

struct TableInfo {
  std::string name;
  OrderedMap<std::string, ColumnInfo> columns;
  OrderedMap<std::string, IndexInfo> indexes;
  OrderedMap<std::string, LongValueInfo> long_values;
  std::uint32_t root_page = 0;
  std::uint32_t space_usage = 0;

  static TableInfo make(std::string name, std::uint32_t root_page, std::uint32_t space_usage) {
    TableInfo t;
    t.name = std::move(name);
    t.root_page = root_page;
    t.space_usage = space_usage;
    return t;
  }
};

using TableMap = OrderedMap<std::string, TableInfo>;

}  // namespace pellumo
