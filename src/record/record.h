// A decoded record: one value for every column of its table, in ascending
// column id. The column list is shared by every record of a table, so a
// record is just a vector of values aligned with it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/table_info.h"
#include "record/layout.h"
#include "types/column_value.h"
#include "utils/ordered_map.h"

namespace pellumo {

// The columns of one table in record order: sorted by id, columns with
// equal ids in catalog order. Borrows the TableInfo (and so the Database).
class RecordLayout {
 public:
  explicit RecordLayout(const TableInfo& table);

  const TableInfo& table() const { return *table_; }
  std::size_t size() const { return columns_.size(); }
  const ColumnInfo& column(std::size_t i) const { return *columns_[i]; }
  const std::string& name(std::size_t i) const { return columns_[i]->name; }
  // Position of the column called `name` (raw bytes), if the table has it.
  std::optional<std::size_t> index_of(std::string_view name) const;

  // Where column i starts when it is read as a fixed column: 4 plus the
  // widths of the columns before it (every one of which has a smaller id
  // and so is fixed too). 64-bit: widths come from the catalog.
  std::uint64_t fixed_offset(std::size_t i) const { return fixed_offsets_[i]; }
  // Index of the first column with id 256 or more (size() when none).
  std::size_t first_tagged() const { return first_tagged_; }

 private:
  const TableInfo* table_;
  std::vector<const ColumnInfo*> columns_;
  std::vector<std::uint64_t> fixed_offsets_;
  std::unordered_map<std::string_view, std::size_t> by_name_;
  std::size_t first_tagged_ = 0;
};

class Record {
 public:
  Record() = default;
  // Every column Null.
  explicit Record(std::shared_ptr<const RecordLayout> layout)
      : layout_(std::move(layout)), values_(layout_ ? layout_->size() : 0) {}

  const RecordLayout& layout() const { return *layout_; }
  const std::shared_ptr<const RecordLayout>& shared_layout() const { return layout_; }
  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  const std::string& name(std::size_t i) const { return layout_->name(i); }
  const ColumnValue& value(std::size_t i) const { return values_[i]; }
  ColumnValue& value(std::size_t i) { return values_[i]; }

  // Map-like access by column name (raw bytes); nullptr when absent.
  const ColumnValue* find(std::string_view name) const;
  ColumnValue* find(std::string_view name);

  // The record as an insertion-ordered map of copies: name -> value.
  OrderedMap<std::string, ColumnValue> to_map() const;

 private:
  std::shared_ptr<const RecordLayout> layout_;
  std::vector<ColumnValue> values_;
};

}  // namespace pellumo
