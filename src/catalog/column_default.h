// The default value a column record of the catalog carries: variable column
// 131 (DefaultValue) of the record, stored in the column's own format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "utils/bytes.h"

namespace pellumo {

inline constexpr std::uint32_t kCatalogDefaultValueColumn = 131;

// The bytes of variable column `column_id` (128-255) of a catalog record;
// nullopt when the record does not hold that column, marks it NULL, or
// its offsets point outside the record.
std::optional<Bytes> catalog_variable_column(Bytes record, std::uint32_t column_id);

// A column record's DefaultValue, copied; nullopt where it holds none
// (an empty value counts as none: the engine never stores one).
std::optional<std::string> read_column_default(Bytes record);

}  // namespace pellumo
