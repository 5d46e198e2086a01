#include "record/record.h"

#include <algorithm>

namespace pellumo {

RecordLayout::RecordLayout(const TableInfo& table) : table_(&table) {
  columns_.reserve(table.columns.size());
  for (const auto& [name, column] : table.columns) columns_.push_back(&column);
  std::stable_sort(columns_.begin(), columns_.end(),
                   [](const ColumnInfo* a, const ColumnInfo* b) { return a->id < b->id; });
  fixed_offsets_.reserve(columns_.size());
  std::uint64_t offset = 4;
  for (const ColumnInfo* c : columns_) {
    fixed_offsets_.push_back(offset);
    offset += c->space_usage;
  }
  by_name_.reserve(columns_.size());
  for (std::size_t i = 0; i < columns_.size(); ++i) by_name_.emplace(columns_[i]->name, i);
  first_tagged_ = static_cast<std::size_t>(
      std::find_if(columns_.begin(), columns_.end(),
                   [](const ColumnInfo* c) { return c->id >= kFirstTaggedColumn; }) -
      columns_.begin());
}

std::optional<std::size_t> RecordLayout::index_of(std::string_view name) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return std::nullopt;
  return it->second;
}

const ColumnValue* Record::find(std::string_view name) const {
  if (!layout_) return nullptr;
  auto i = layout_->index_of(name);
  return i ? &values_[*i] : nullptr;
}

ColumnValue* Record::find(std::string_view name) {
  if (!layout_) return nullptr;
  auto i = layout_->index_of(name);
  return i ? &values_[*i] : nullptr;
}

OrderedMap<std::string, ColumnValue> Record::to_map() const {
  OrderedMap<std::string, ColumnValue> map;
  map.reserve(values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) map.insert_or_assign(name(i), values_[i]);
  return map;
}

}  // namespace pellumo
