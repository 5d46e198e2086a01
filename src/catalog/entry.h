// Catalog records: one leaf entry of MSysObjects, describing a table, a
// column, an index or a long-value tree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "catalog/table_info.h"
#include "error/ese_error.h"
#include "utils/bytes.h"
#include "utils/ordered_map.h"

namespace pellumo {

enum class CatalogType : std::uint16_t { Table = 1, Column = 2, Index = 3, LongValue = 4, Callback = 5 };

struct TableDetails {
  std::uint32_t root_page;
  std::uint32_t space_usage;
};
struct ColumnDetails {
  std::uint32_t space_usage;
  std::uint32_t flags;
  std::uint32_t codepage;
  std::uint32_t column_type;
  std::optional<std::string> default_value;  // the record's DefaultValue column
};
struct IndexDetails {
  std::uint32_t root_page;
  std::uint32_t space_usage;
  std::uint32_t flags;
  std::uint32_t locale;
};
struct LongValueDetails {
  std::uint32_t root_page;
  std::uint32_t space_usage;
};

using CatalogEntryDetails = std::variant<TableDetails, ColumnDetails, IndexDetails, LongValueDetails>;

struct CatalogDataDefinitionEntry {
  std::uint32_t table_object_id = 0;
  std::uint16_t catalog_type = 0;
  std::uint32_t identifier = 0;
  CatalogEntryDetails details;
};

// A column, index or long-value record waiting for its table.
struct PendingEntry {
  std::uint32_t table_object_id;
  std::string name;
  CatalogDataDefinitionEntry entry;
};

using ObjectNameMap = OrderedMap<std::uint32_t, std::string>;

}  // namespace pellumo
