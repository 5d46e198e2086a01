#include "record/parser.h"

#include <algorithm>
#include <bit>

#include "record/decompress.h"
#include "utils/decode_string.h"

namespace pellumo {
namespace {

constexpr std::size_t kRecordHeaderSize = 4;
constexpr std::uint16_t kVariableNullBit = 0x8000;
constexpr std::uint16_t kVariableOffsetMask = 0x7FFF;
// Tagged offset word on pages up to 8 KiB: 13-bit offset, explicit NULL, flag byte follows.
constexpr std::uint16_t kSmallTaggedOffsetMask = 0x1FFF;
constexpr std::uint16_t kSmallTaggedNullBit = 0x2000;
constexpr std::uint16_t kSmallTaggedFlagBit = 0x4000;
// Large-page layout: 15-bit offset and a flag byte on every value.
constexpr std::uint16_t kLargeTaggedOffsetMask = 0x7FFF;

std::uint32_t codepage_of(const ColumnInfo& c) { return c.codepage.value_or(kDefaultCodepage); }

bool is_text(ColumnType t) { return t == ColumnType::Text || t == ColumnType::LongText; }

// A fixed-width scalar of `width` bytes; a shorter slice cannot be decoded.
bool set_unsigned(Bytes b, std::size_t width, ValueKind kind, ColumnValue& out) {
  if (auto v = read_uint_le(b, 0, width)) {
    out.set_scalar(kind, *v);
  } else {
    out.set_null();
  }
  return true;
}

// An empty value of a string or binary column: '' for text in a known code
// page, b'' otherwise. False for other column types (no empty form).
bool set_empty(const ColumnInfo& column, ColumnValue& out) {
  switch (column.column_type) {
    case ColumnType::Text:
    case ColumnType::LongText:
      if (is_known_codepage(codepage_of(column))) {
        out.text_buffer().clear();
        return true;
      }
      out.set_bytes(ValueKind::Binary, Bytes());
      return true;
    case ColumnType::Binary:
    case ColumnType::LongBinary: out.set_bytes(ValueKind::Binary, Bytes()); return true;
    default: return false;
  }
}

}  // namespace

bool RecordParser::parse_column_value_into(Bytes b, const ColumnInfo& column, ColumnValue& out) {
  if (b.empty()) {
    out.set_null();
    return true;
  }
  switch (column.column_type) {
    case ColumnType::Null:
    case ColumnType::Obsolete: out.set_null(); return true;
    case ColumnType::Boolean: out.set_scalar(ValueKind::Boolean, b[0] != 0 ? 1 : 0); return true;
    case ColumnType::UnsignedByte:
      switch (b.size()) {
        case 1: return set_unsigned(b, 1, ValueKind::UInt8, out);
        case 2: return set_unsigned(b, 2, ValueKind::UInt16, out);
        case 4: return set_unsigned(b, 4, ValueKind::UInt32, out);
        case 8: return set_unsigned(b, 8, ValueKind::UInt64, out);
        default: out.set_bytes(ValueKind::Binary, b); return true;
      }
    case ColumnType::SignedShort: {
      auto v = read_u16_le(b, 0);
      if (!v) break;
      out.set_signed(ValueKind::Int16, static_cast<std::int16_t>(*v));
      return true;
    }
    case ColumnType::SignedLong: {
      auto v = read_u32_le(b, 0);
      if (!v) break;
      out.set_signed(ValueKind::Int32, static_cast<std::int32_t>(*v));
      return true;
    }
    case ColumnType::Currency: return set_unsigned(b, 8, ValueKind::Currency, out);
    case ColumnType::Float32: {
      auto bits = read_u32_le(b, 0);
      if (!bits) break;
      out.set_float32(std::bit_cast<float>(*bits));
      return true;
    }
    case ColumnType::Float64: {
      auto bits = read_u64_le(b, 0);
      if (!bits) break;
      out.set_float64(std::bit_cast<double>(*bits));
      return true;
    }
    case ColumnType::DateTime: return set_unsigned(b, 8, ValueKind::DateTime, out);
    case ColumnType::Binary:
    case ColumnType::LongBinary: out.set_bytes(ValueKind::Binary, b); return true;
    case ColumnType::Text:
    case ColumnType::LongText: {
      const std::uint32_t cp = codepage_of(column);
      if (!is_known_codepage(cp)) break;
      return decode_string_into(b, cp, out.text_buffer());
    }
    case ColumnType::UnsignedLong: return set_unsigned(b, 4, ValueKind::UInt32, out);
    case ColumnType::LongLong:
    case ColumnType::Max: return set_unsigned(b, 8, ValueKind::UInt64, out);
    case ColumnType::Guid: {
      GuidBytes g;
      if (!copy_bytes(b, 0, g.data(), g.size())) break;
      out.set_guid(g);
      return true;
    }
    case ColumnType::UnsignedShort: return set_unsigned(b, 2, ValueKind::UInt16, out);
  }
  // Too short for its type, or text whose code page is unknown.
  out.set_null();
  return is_text(column.column_type) ? false : true;
}

Result<ColumnValue> RecordParser::parse_column_value(Bytes bytes, const ColumnInfo& column) {
  ColumnValue v;
  if (!parse_column_value_into(bytes, column, v)) return EseError::unknown_codepage(codepage_of(column));
  return v;
}

RecordParser::RecordParser(std::shared_ptr<const RecordLayout> layout, bool large_page_tag_format)
    : layout_(std::move(layout)), large_(large_page_tag_format) {}

Record RecordParser::decode(Bytes data) {
  Record record(layout_);
  decode(data, record);
  return record;
}

void RecordParser::build_tagged(Bytes data, std::size_t t) {
  items_.clear();
  const std::size_t len = data.size();
  if (t >= len || len - t < 4) return;
  const std::uint16_t mask = large_ ? kLargeTaggedOffsetMask : kSmallTaggedOffsetMask;
  // The first item's offset word tells where the item array ends.
  const std::size_t array_end = t + (read_u16_le(data, t + 2).value_or(0) & mask);
  if (t >= array_end) return;
  // The item array ends where the first item's data begins.
  std::size_t count = 0;
  while (t + 4 * count < array_end && in_bounds(data, t + 4 * count, 4)) ++count;
  const std::size_t tagged_len = len - t;
  bool sorted = true;
  for (std::size_t k = 0; k < count; ++k) {
    // Item k: column id, offset word; item k + 1's offset word ends it.
    ByteReader r(data, t + 4 * k);
    const std::uint16_t id = r.u16_le();
    const std::uint16_t word = r.u16_le();
    const std::size_t start = word & mask;
    std::size_t end;
    if (k + 1 < count) {
      r.skip(2);
      end = r.u16_le() & mask;
      if (start > end || end > tagged_len) continue;  // an inconsistent item is skipped
    } else {
      end = tagged_len;
      if (start > tagged_len) continue;
    }
    TaggedItem item;
    item.id = id;
    item.order = static_cast<std::uint32_t>(k);
    item.start = t + start;
    item.end = t + end;
    item.has_flag_byte = large_ || (word & kSmallTaggedFlagBit) != 0;
    item.null = !large_ && (word & kSmallTaggedNullBit) != 0;
    if (!items_.empty() && items_.back().id >= item.id) sorted = false;
    items_.push_back(item);
  }
  // Lookups merge with the id-sorted columns; of equal ids the later item wins.
  if (!sorted) {
    std::sort(items_.begin(), items_.end(), [](const TaggedItem& a, const TaggedItem& b) {
      return a.id != b.id ? a.id < b.id : a.order < b.order;
    });
  }
}

void RecordParser::decode_tagged(Bytes value, std::uint8_t flags, const ColumnInfo& column, ColumnValue& out) {
  // Multi-values are tested before compression: their first instance may be
  // compressed, but the raw bytes of all instances are what is delivered.
  if (flags & kTaggedFlagLongValue) {
    out.set_bytes(ValueKind::LongValue, value);
  } else if (flags & kTaggedFlagMultiValue) {
    out.set_multi_value(value, flags);
  } else if (flags & kTaggedFlagCompressed) {
    if (value.empty()) {
      out.set_bytes(ValueKind::Binary, value);
    } else if (!decompress_value(value, scratch_)) {
      out.set_bytes(ValueKind::Binary, value);  // undecodable: the stored bytes
    } else if (is_text(column.column_type) && is_known_codepage(codepage_of(column))) {
      decode_string_into(as_bytes(scratch_), codepage_of(column), out.text_buffer());
    } else {
      out.byte_buffer(ValueKind::Binary).swap(scratch_);
    }
  } else {
    parse_column_value_into(value, column, out);
  }
}

bool RecordParser::header_fits(Bytes data) {
  return data.size() >= kRecordHeaderSize && read_u16_le(data, 2).value_or(0) <= data.size();
}

void RecordParser::decode(Bytes data, Record& record) {
  const RecordLayout& layout = *layout_;
  const std::size_t len = data.size();
  std::uint32_t last_fixed = 0, last_variable = 0;
  std::size_t var_array = 0;
  if (len >= kRecordHeaderSize) {
    ByteReader header(data);
    last_fixed = header.u8();
    last_variable = header.u8();
    var_array = header.u16_le();
  }
  const std::size_t var_count = (last_variable + 256 - 127) % 256;
  const std::size_t var_data = var_array + 2 * var_count;

  // The null bitmap of the fixed columns ends where the offset array begins.
  const std::size_t bitmap_size = (last_fixed + 7) / 8;
  Bytes bitmap;
  if (var_array >= bitmap_size && var_array <= len) bitmap = data.subspan(var_array - bitmap_size, bitmap_size);

  std::size_t tagged_start;
  if (last_variable < kFirstVariableColumn) {
    tagged_start = var_array;
  } else if (var_data > len) {
    tagged_start = var_data;
  } else {
    // The last variable offset (var_data >= 2 here) ends the variable data.
    tagged_start = var_data + (read_u16_le(data, var_data - 2).value_or(0) & kVariableOffsetMask);
  }

  bool tagged_built = false;
  std::size_t item = 0;  // merge position in the sorted tagged items
  const std::size_t n = layout.size();
  const bool all = wanted_.size() != n;
  for (std::size_t k = 0; k < n; ++k) {
    if (!all && !wanted_[k]) continue;
    const ColumnInfo& column = layout.column(k);
    ColumnValue& out = record.value(k);
    const std::uint32_t id = column.id;
    if (id <= last_fixed) {
      if (id >= 1 && !bitmap.empty() && (bitmap[(id - 1) / 8] >> ((id - 1) % 8)) & 1) {
        out.set_null();  // its bytes are filler
        continue;
      }
      const std::uint64_t start = layout.fixed_offset(k);
      if (start > len || column.space_usage > len - start) {
        out.set_null();
        continue;
      }
      parse_column_value_into(data.subspan(static_cast<std::size_t>(start), column.space_usage), column, out);
    } else if (id >= kFirstVariableColumn && id <= last_variable) {
      const std::size_t i = id - kFirstVariableColumn;
      const std::size_t entry_at = var_array + 2 * i;
      const std::optional<std::uint16_t> entry = read_u16_le(data, entry_at);
      if (!entry || (*entry & kVariableNullBit)) {
        out.set_null();
        continue;
      }
      // The previous column's end offset, inside the array before this one.
      const std::size_t start = i == 0 ? 0 : (read_u16_le(data, entry_at - 2).value_or(0) & kVariableOffsetMask);
      const std::size_t end = *entry & kVariableOffsetMask;
      if (start > end || var_data > len || end > len - var_data) {
        out.set_null();
        continue;
      }
      parse_column_value_into(data.subspan(var_data + start, end - start), column, out);
    } else if (id < kFirstTaggedColumn) {
      out.set_absent();  // past the record's last fixed or variable column
    } else {
      if (!tagged_built) {
        build_tagged(data, tagged_start);
        tagged_built = true;
      }
      while (item < items_.size() && items_[item].id < id) ++item;
      if (item == items_.size() || items_[item].id != id) {
        out.set_absent();
        continue;
      }
      std::size_t last = item;
      while (last + 1 < items_.size() && items_[last + 1].id == id) ++last;
      const TaggedItem& it = items_[last];
      Bytes value = data.subspan(it.start, it.end - it.start);
      std::uint8_t flags = 0;
      if (!value.empty() && it.has_flag_byte) {
        flags = value[0];
        value = value.subspan(1);
      }
      if (it.null || (large_ && (flags & kTaggedFlagNull))) {
        out.set_null();
        continue;
      }
      // Present, not null, and nothing after the flag byte: an empty value
      // (the engine stores zero-length strings and binaries this way).
      constexpr std::uint8_t kSpecialFlags = kTaggedFlagLongValue | kTaggedFlagMultiValue | kTaggedFlagCompressed;
      if (value.empty() && it.has_flag_byte && it.end > it.start && (flags & kSpecialFlags) == 0 &&
          set_empty(column, out)) {
        continue;
      }
      decode_tagged(value, flags, column, out);
    }
  }
}

Record decode_record(Bytes data, const TableInfo& table, bool large_page_tag_format) {
  RecordParser parser(std::make_shared<const RecordLayout>(table), large_page_tag_format);
  return parser.decode(data);
}

}  // namespace pellumo
