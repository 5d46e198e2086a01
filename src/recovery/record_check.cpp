#include "recovery/record_check.h"

#include "recovery/fields.h"
#include <algorithm>

namespace pellumo {

using recovery_detail::u16;
using recovery_detail::u32;
using recovery_detail::u32_be;
namespace {

constexpr std::uint16_t kVariableOffsetMask = 0x7FFF;
constexpr std::uint16_t kSmallTaggedOffsetMask = 0x1FFF;
constexpr std::uint16_t kSmallTaggedFlagBit = 0x4000;
constexpr std::uint16_t kSmallTaggedReservedBit = 0x8000;
constexpr std::uint16_t kLargeTaggedOffsetMask = 0x7FFF;
constexpr std::uint32_t kNoVariableColumns = 127;

// Width of a tagged value of this type when it has a fixed size; 0 otherwise.
std::size_t fixed_type_width(ColumnType type) {
  switch (type) {
    case ColumnType::Boolean:
    case ColumnType::UnsignedByte: return 1;
    case ColumnType::SignedShort:
    case ColumnType::UnsignedShort: return 2;
    case ColumnType::SignedLong:
    case ColumnType::UnsignedLong:
    case ColumnType::Float32: return 4;
    case ColumnType::Currency:
    case ColumnType::Float64:
    case ColumnType::DateTime:
    case ColumnType::LongLong:
    case ColumnType::Max: return 8;
    case ColumnType::Guid: return 16;
    default: return 0;
  }
}

}  // namespace

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
  std::uint64_t end = 4;
  for (std::uint32_t f = 0; f < 128; ++f) {
    end = std::max(end, column_end[f]);
    const std::uint64_t at = end + (f + 7) / 8;
    offset_array_at_[f] = at > 0xFFFF ? 0 : static_cast<std::uint32_t>(at);
  }
}

bool RecordCheck::plausible_header(Bytes at) const {
  if (at.size() < 4) return false;
  const std::uint32_t f = at[0], v = at[1];
  if (f > last_fixed_id_ || (f != 0 && !fixed_ids_[f])) return false;
  if (v != kNoVariableColumns && (v > last_variable_id_ || !variable_ids_[v])) return false;
  const std::uint32_t p = u16(at, 2);
  return p == offset_array_at_[f] && p != 0;
}

std::size_t RecordCheck::tagged_start(Bytes record) {
  if (record.size() < 4) return record.size();
  const std::size_t v = record[1];
  const std::size_t p = u16(record, 2);
  if (v < kFirstVariableColumn) return std::min(p, record.size());
  const std::size_t d = p + 2 * (v - kNoVariableColumns);
  if (d > record.size()) return record.size();
  return std::min(record.size(), d + (u16(record, d - 2) & kVariableOffsetMask));
}

std::optional<std::size_t> RecordCheck::check(Bytes room, bool exact) const {
  if (!plausible_header(room)) return std::nullopt;
  const std::size_t len = room.size();
  const std::size_t p = u16(room, 2);
  if (p > len) return std::nullopt;
  const std::uint32_t v = room[1];
  const std::size_t n = v == kNoVariableColumns ? 0 : v - kNoVariableColumns;
  const std::size_t d = p + 2 * n;
  if (d > len) return std::nullopt;
  std::size_t end = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t e = u16(room, p + 2 * i) & kVariableOffsetMask;
    if (e < end) return std::nullopt;  // offsets only grow; a NULL column repeats the previous end
    end = e;
  }
  if (end > len - d) return std::nullopt;
  const std::size_t t = d + end;
  if (t == len) return len;

  // The tagged directory: ascending ids of the table's tagged columns, each
  // with an offset from t; the first offset is the directory's own size.
  auto tagged = [&]() -> std::optional<std::size_t> {
    if (tagged_.empty() || len - t < 4) return std::nullopt;
    const std::uint16_t mask = large_ ? kLargeTaggedOffsetMask : kSmallTaggedOffsetMask;
    const std::size_t directory = u16(room, t + 2) & mask;
    if (directory < 4 || directory % 4 != 0 || directory > len - t) return std::nullopt;
    const std::size_t count = directory / 4;
    std::uint32_t previous_id = 0;
    std::size_t previous_offset = directory;
    const ColumnInfo* last_column = nullptr;
    bool last_flag_byte = false;
    // A value of a fixed-size type stored without a flag byte is exactly
    // as wide as its type.
    auto plain_width = [&](const ColumnInfo* column, bool flag_byte) -> std::size_t {
      return flag_byte ? 0 : fixed_type_width(column->column_type);
    };
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t id = u16(room, t + 4 * k);
      const std::uint16_t word = u16(room, t + 4 * k + 2);
      if (!large_ && (word & kSmallTaggedReservedBit)) return std::nullopt;
      const std::size_t offset = word & mask;
      if (id < kFirstTaggedColumn || id <= previous_id || offset < previous_offset || offset > len - t) {
        return std::nullopt;
      }
      if (last_column) {
        const std::size_t width = plain_width(last_column, last_flag_byte);
        if (width != 0 && offset - previous_offset != width) return std::nullopt;
      }
      last_column = id - kFirstTaggedColumn < tagged_.size() ? tagged_[id - kFirstTaggedColumn] : nullptr;
      if (!last_column) return std::nullopt;  // no such column in this table
      previous_id = id;
      previous_offset = offset;
      last_flag_byte = large_ || (word & kSmallTaggedFlagBit);
    }
    if (exact) {
      const std::size_t width = plain_width(last_column, last_flag_byte);
      if (width != 0 && len - t - previous_offset != width) return std::nullopt;
      return len;
    }
    // The last value runs to the record's end, which only a value of a
    // fixed-size type stored plainly tells.
    const std::size_t width = plain_width(last_column, last_flag_byte);
    if (width == 0) return len;
    if (width > len - t - previous_offset) return std::nullopt;
    return t + previous_offset + width;
  };
  if (auto with_tags = tagged()) return with_tags;
  if (exact) return std::nullopt;
  return t;  // a record without tagged columns, followed by other bytes
}

}  // namespace pellumo
