#include "recovery/record_check.h"

#include <algorithm>

namespace pellumo {

RecordCheck::RecordCheck(const RecordLayout& layout, bool large_page_tag_format)
    : large_(large_page_tag_format) {
  for (std::size_t k = 0; k < layout.size(); ++k) {
    const std::uint32_t id = layout.column(k).id;
    if (id >= 1 && id < kFirstVariableColumn) {
      fixed_ids_[id] = true;
      last_fixed_id_ = std::max(last_fixed_id_, id);
    } else if (id >= kFirstVariableColumn && id < kFirstTaggedColumn) {
      variable_ids_[id] = true;
      last_variable_id_ = std::max(last_variable_id_, id);
    } else if (id >= kFirstTaggedColumn && id <= 0xFFFF) {
      if (tagged_.size() <= id - kFirstTaggedColumn) tagged_.resize(id - kFirstTaggedColumn + 1, nullptr);
      if (!tagged_[id - kFirstTaggedColumn]) tagged_[id - kFirstTaggedColumn] = &layout.column(k);
    }
  }
  // The fixed part of a record whose last fixed column is F ends where the
  // first column with a larger id would start.
  std::array<std::uint64_t, 128> column_end{};
  for (std::size_t k = 0; k < layout.size(); ++k) {
    const ColumnInfo& c = layout.column(k);
    if (c.id >= 1 && c.id < kFirstVariableColumn) {
      column_end[c.id] = std::max(column_end[c.id], layout.fixed_offset(k) + c.space_usage);
    }
  }
  std::uint64_t end = kRecordHeaderSize;
  for (std::uint32_t f = 0; f < kFirstVariableColumn; ++f) {
    end = std::max(end, column_end[f]);
    const std::uint64_t at = end + null_bitmap_size(f);
    offset_array_at_[f] = at > 0xFFFF ? 0 : static_cast<std::uint32_t>(at);
  }
}

bool RecordCheck::plausible_header(Bytes at) const {
  if (at.size() < kRecordHeaderSize) return false;
  const RecordView view(at);
  const std::uint32_t f = view.last_fixed(), v = view.last_variable();
  if (f > last_fixed_id_ || (f != 0 && !fixed_ids_[f])) return false;
  if (v != kNoVariableColumns && (v > last_variable_id_ || !variable_ids_[v])) return false;
  const std::size_t p = view.variable_offsets();
  return p == offset_array_at_[f] && p != 0;
}

std::size_t RecordCheck::tagged_start(Bytes record) { return RecordView(record).tagged_start(); }

std::optional<std::size_t> RecordCheck::check(Bytes room, bool exact) const {
  if (!plausible_header(room)) return std::nullopt;
  const RecordView view(room);
  const std::size_t len = room.size();
  if (view.variable_offsets() > len || view.variable_data() > len) return std::nullopt;
  const std::size_t n = view.variable_count();
  std::size_t end = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t e = view.variable_entry(i).value_or(VariableEntry{0, false}).end;
    if (e < end) return std::nullopt;  // offsets only grow; a NULL column repeats the previous end
    end = e;
  }
  const std::size_t d = view.variable_data();
  if (end > len - d) return std::nullopt;
  const std::size_t t = d + end;
  if (t == len) return len;
  if (auto with_tags = check_tagged(view, exact)) return with_tags;
  if (exact) return std::nullopt;
  return t;  // a record without tagged columns, followed by other bytes
}

std::optional<std::size_t> RecordCheck::check_tagged(const RecordView& view, bool exact) const {
  // The tagged directory: ascending ids of the table's tagged columns, each
  // with an offset from T; the first offset is the directory's own size.
  const TaggedDirectory directory(view, large_);
  const std::size_t t = view.tagged_start();
  const std::size_t area = directory.area().size();
  const std::size_t size = directory.declared_size();
  if (tagged_.empty() || area < 4) return std::nullopt;
  if (size < 4 || size % 4 != 0 || size > area) return std::nullopt;
  std::uint32_t previous_id = 0;
  std::size_t previous_offset = size;
  // A value of a fixed-size type stored without a flag byte is exactly as
  // wide as its type; other values' widths are not known (0).
  std::size_t last_width = 0;
  for (std::size_t k = 0; k < directory.count(); ++k) {
    const TaggedItem item = directory.item(k);
    if (item.reserved) return std::nullopt;
    if (item.id < kFirstTaggedColumn || item.id <= previous_id || item.offset < previous_offset ||
        item.offset > area) {
      return std::nullopt;
    }
    if (k > 0 && last_width != 0 && item.offset - previous_offset != last_width) return std::nullopt;
    const std::size_t slot = item.id - kFirstTaggedColumn;
    const ColumnInfo* column = slot < tagged_.size() ? tagged_[slot] : nullptr;
    if (!column) return std::nullopt;  // no such column in this table
    previous_id = item.id;
    previous_offset = item.offset;
    last_width = item.flag_byte ? 0 : fixed_type_width(column->column_type);
  }
  if (exact) {
    if (last_width != 0 && area - previous_offset != last_width) return std::nullopt;
    return view.size();
  }
  // The last value runs to the record's end, which only a value of a
  // fixed-size type stored plainly tells.
  if (last_width == 0) return view.size();
  if (last_width > area - previous_offset) return std::nullopt;
  return t + previous_offset + last_width;
}

}  // namespace pellumo
