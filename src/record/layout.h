// Where the parts of one record lie: the header, the fixed part with its
// null bitmap, the variable-offset array and data, and the tagged
// directory. Every reader of record bytes (the decoder, recovery's schema
// check and key rebuild, the columnar Arrow decoder) asks these types, so
// that the layout is decoded by one set of rules.
//
// Record layout (little-endian; offsets from the record's first byte):
//   0: F, last fixed column id present; 1: V, last variable column id
//      (127 when the record has none);
//   2: P, u16 offset of the variable-offset array;
//   4: fixed columns 1..F, each as wide as its catalog space_usage, then a
//      null bitmap of ceil(F/8) bytes ending at P (bit id-1 set: NULL);
//   P: one u16 per variable column 128..V (bits 0-14 end offset from D,
//      bit 15 NULL); D = P + 2 * (V - 127): the variable data;
//   T: the tagged area, where the variable data ends: a directory of 4-byte
//      items (u16 column id, u16 offset word, ids ascending) followed by the
//      items' data. The first item's offset is the directory's own size.
//
// Tagged offset words come in two formats. Pages up to 8 KiB (and every
// page before format revision 0x11): bits 0-12 offset from T, bit 13 NULL,
// bit 14 the value starts with a flag byte, bit 15 never set. Larger pages
// of revision 0x11 and later: bits 0-14 offset, and every value starts
// with a flag byte (NULL is then a flag bit).
//
// Nothing here allocates or fails: a field that points outside the record
// comes back as nullopt or as an empty directory, and the caller decides
// what that means (the decoder: NULL; the schema check: not a record).
// The table's side of the layout (columns in record order, where each
// fixed column starts) is RecordLayout in record/record.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "catalog/table_info.h"
#include "utils/bytes.h"

namespace pellumo {

// Column ids: 1-127 fixed, 128-255 variable, 256 and up tagged.
inline constexpr std::uint32_t kFirstVariableColumn = 128;
inline constexpr std::uint32_t kFirstTaggedColumn = 256;
// The last-variable-id byte of a record without variable columns.
inline constexpr std::uint32_t kNoVariableColumns = kFirstVariableColumn - 1;
inline constexpr std::size_t kRecordHeaderSize = 4;

// Flag-byte bits of a tagged value.
inline constexpr std::uint8_t kTaggedFlagCompressed = 0x02;
inline constexpr std::uint8_t kTaggedFlagLongValue = 0x04;
inline constexpr std::uint8_t kTaggedFlagMultiValue = 0x08;
inline constexpr std::uint8_t kTaggedFlagTwoValues = 0x10;
inline constexpr std::uint8_t kTaggedFlagNull = 0x20;  // large-page format only

// Stored width of a value of this type when the type has one (1, 2, 4, 8
// or 16 bytes); 0 for text, binary and the types that hold no value.
constexpr std::uint32_t fixed_type_width(ColumnType type) {
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

// Size of the fixed columns' null bitmap of a record whose last fixed
// column is `last_fixed`: one bit per column 1..F.
constexpr std::size_t null_bitmap_size(std::uint32_t last_fixed) { return (last_fixed + 7) / 8; }

// One entry of the variable-offset array.
struct VariableEntry {
  std::size_t end;  // end of the column's data, from the start of the variable data
  bool null;
};

// The header of one record and the offsets it implies, decoded once.
// Borrows the record's bytes. A record shorter than its 4-byte header has
// F = 0, V = 0, P = 0 and no variable or tagged part.
class RecordView {
 public:
  explicit RecordView(Bytes record);

  Bytes bytes() const { return record_; }
  std::size_t size() const { return record_.size(); }
  std::uint32_t last_fixed() const { return last_fixed_; }
  std::uint32_t last_variable() const { return last_variable_; }
  // P: where the variable-offset array starts (and the null bitmap ends).
  std::size_t variable_offsets() const { return variable_offsets_; }
  // n: variable columns 128..V, 0 when V is below 128.
  std::size_t variable_count() const { return variable_count_; }
  // D = P + 2n: where the variable data starts; may lie past the record.
  std::size_t variable_data() const { return variable_offsets_ + 2 * variable_count_; }
  // T: where the tagged area starts, never past the record's end (its end
  // when the record has no room for one).
  std::size_t tagged_start() const { return tagged_start_; }

  // Whether fixed column `id` (1..F) is marked NULL in the null bitmap. A
  // bitmap that does not fit before P marks nothing.
  bool fixed_null(std::uint32_t id) const;

  // The `width` bytes at `offset` (a fixed column's place from
  // RecordLayout::fixed_offset), when they lie inside the record.
  std::optional<Bytes> field(std::uint64_t offset, std::uint64_t width) const;

  // Entry i (column 128 + i) of the variable-offset array, when it lies
  // inside the record. Callers check i < variable_count().
  std::optional<VariableEntry> variable_entry(std::size_t i) const;
  // The data of variable column 128 + i: nullopt when it is NULL, its
  // entry is unreadable, or its span is inverted or runs past the record.
  // The span starts where entry i - 1 ends, NULL or not.
  std::optional<Bytes> variable_value(std::size_t i) const;

 private:
  Bytes record_;
  std::uint32_t last_fixed_ = 0;
  std::uint32_t last_variable_ = 0;
  std::size_t variable_offsets_ = 0;
  std::size_t variable_count_ = 0;
  std::size_t tagged_start_ = 0;
};

// One item of a tagged directory, its offset word decoded.
struct TaggedItem {
  std::uint32_t id;
  std::size_t offset;  // of the item's data, from the tagged area's start
  bool flag_byte;      // the data starts with a flag byte
  bool null;           // small-page format: marked NULL in the offset word
  bool reserved;       // small-page format: bit 15 set, which the engine never writes
};

// The tagged directory of a record. Items are read as stored (ids are
// ascending in a well-formed record, but nothing here relies on it).
class TaggedDirectory {
 public:
  // `large_page_tag_format`: the offset words of large pages (see above).
  TaggedDirectory(const RecordView& record, bool large_page_tag_format);

  // Size of the directory the first item declares (0 when the area has no
  // room for one item); a well-formed one is a multiple of 4 within area().
  std::size_t declared_size() const { return declared_size_; }
  // Items that start inside the declared directory and lie wholly inside
  // the record.
  std::size_t count() const { return count_; }
  TaggedItem item(std::size_t k) const;
  // The bytes from T to the end of the record, which item offsets index.
  Bytes area() const { return area_; }
  // Item k's data: from its offset to item k + 1's, the last one to the end
  // of the area; nullopt when that span is inverted or leaves the area.
  std::optional<Bytes> data(std::size_t k) const;

 private:
  Bytes area_;
  bool large_;
  std::size_t declared_size_ = 0;
  std::size_t count_ = 0;
};

// A tagged item's data split into its flag byte (0 when it has none) and
// its value. Data with a flag byte that is empty has neither.
struct TaggedValue {
  std::uint8_t flags = 0;
  Bytes value;
};
TaggedValue split_flag_byte(Bytes data, bool flag_byte);

// Inline: the decoders call these once per column of every record.

namespace layout_detail {

inline constexpr std::uint16_t kVariableNullBit = 0x8000;
inline constexpr std::uint16_t kVariableOffsetMask = 0x7FFF;
// Small-page offset words: 13-bit offset, explicit NULL, flag byte follows.
inline constexpr std::uint16_t kSmallTaggedOffsetMask = 0x1FFF;
inline constexpr std::uint16_t kSmallTaggedNullBit = 0x2000;
inline constexpr std::uint16_t kSmallTaggedFlagBit = 0x4000;
inline constexpr std::uint16_t kSmallTaggedReservedBit = 0x8000;
// Large-page offset words: 15-bit offset, a flag byte on every value.
inline constexpr std::uint16_t kLargeTaggedOffsetMask = 0x7FFF;
inline constexpr std::size_t kTaggedItemSize = 4;
}  // namespace layout_detail

inline bool RecordView::fixed_null(std::uint32_t id) const {
  if (id < 1 || id > last_fixed_) return false;
  const std::size_t bitmap = null_bitmap_size(last_fixed_);
  if (variable_offsets_ < bitmap || variable_offsets_ > record_.size()) return false;
  const std::size_t byte = variable_offsets_ - bitmap + (id - 1) / 8;
  return ((record_[byte] >> ((id - 1) % 8)) & 1) != 0;
}

inline std::optional<Bytes> RecordView::field(std::uint64_t offset, std::uint64_t width) const {
  if (offset > record_.size() || width > record_.size() - offset) return std::nullopt;
  return record_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(width));
}

inline std::optional<VariableEntry> RecordView::variable_entry(std::size_t i) const {
  const auto word = read_u16_le(record_, variable_offsets_ + 2 * i);
  if (!word) return std::nullopt;
  return VariableEntry{static_cast<std::size_t>(*word & layout_detail::kVariableOffsetMask), (*word & layout_detail::kVariableNullBit) != 0};
}

inline std::optional<Bytes> RecordView::variable_value(std::size_t i) const {
  const auto entry = variable_entry(i);
  if (!entry || entry->null) return std::nullopt;
  // The previous entry lies inside the record whenever this one does.
  const std::size_t start = i == 0 ? 0 : variable_entry(i - 1)->end;
  const std::size_t data = variable_data();
  if (start > entry->end || data > record_.size() || entry->end > record_.size() - data) return std::nullopt;
  return record_.subspan(data + start, entry->end - start);
}

inline TaggedItem TaggedDirectory::item(std::size_t k) const {
  ByteReader r(area_, layout_detail::kTaggedItemSize * k);
  TaggedItem out;
  out.id = r.u16_le();
  const std::uint16_t word = r.u16_le();
  out.offset = word & (large_ ? layout_detail::kLargeTaggedOffsetMask : layout_detail::kSmallTaggedOffsetMask);
  out.flag_byte = large_ || (word & layout_detail::kSmallTaggedFlagBit) != 0;
  out.null = !large_ && (word & layout_detail::kSmallTaggedNullBit) != 0;
  out.reserved = !large_ && (word & layout_detail::kSmallTaggedReservedBit) != 0;
  return out;
}

inline std::optional<Bytes> TaggedDirectory::data(std::size_t k) const {
  const std::size_t start = item(k).offset;
  const std::size_t end = k + 1 < count_ ? item(k + 1).offset : area_.size();
  if (start > end || end > area_.size()) return std::nullopt;
  return area_.subspan(start, end - start);
}

inline TaggedValue split_flag_byte(Bytes data, bool flag_byte) {
  if (data.empty() || !flag_byte) return {0, data};
  return {static_cast<std::uint8_t>(data[0]), data.subspan(1)};
}

}  // namespace pellumo
