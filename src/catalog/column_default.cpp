#include "catalog/column_default.h"

#include "record/layout.h"

namespace pellumo {

std::optional<Bytes> catalog_variable_column(Bytes record, std::uint32_t column_id) {
  const RecordView view(record);
  if (column_id < kFirstVariableColumn || column_id >= kFirstTaggedColumn || column_id > view.last_variable()) {
    return std::nullopt;
  }
  return view.variable_value(column_id - kFirstVariableColumn);
}

std::optional<std::string> read_column_default(Bytes record) {
  auto bytes = catalog_variable_column(record, kCatalogDefaultValueColumn);
  if (!bytes || bytes->empty()) return std::nullopt;
  return to_byte_string(*bytes);
}

}  // namespace pellumo
