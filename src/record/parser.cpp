#include "record/parser.h"

#include <algorithm>
#include <bit>

#include "record/decompress.h"
#include "utils/decode_string.h"

namespace pellumo {
namespace {

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

void RecordParser::build_tagged(const RecordView& record) {
  items_.clear();
  const TaggedDirectory directory(record, large_);
  const std::size_t base = record.tagged_start();
  bool sorted = true;
  for (std::size_t k = 0; k < directory.count(); ++k) {
    const std::optional<Bytes> data = directory.data(k);
    if (!data) continue;  // an inconsistent item is skipped
    const TaggedItem item = directory.item(k);
    const std::size_t start = base + item.offset;
    TaggedSlot slot{item.id, static_cast<std::uint32_t>(k), start, start + data->size(), item.flag_byte, item.null};
    if (!items_.empty() && items_.back().id >= slot.id) sorted = false;
    items_.push_back(slot);
  }
  // Lookups merge with the id-sorted columns; of equal ids the later item wins.
  if (!sorted) {
    std::sort(items_.begin(), items_.end(), [](const TaggedSlot& a, const TaggedSlot& b) {
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

void RecordParser::decode_tagged_item(Bytes data, bool flag_byte, bool null, const ColumnInfo& column,
                                      ColumnValue& out) {
  const TaggedValue tagged = split_flag_byte(data, flag_byte);
  if (null || (large_ && (tagged.flags & kTaggedFlagNull))) {
    out.set_null();
    return;
  }
  // Present, not null, and nothing after the flag byte: an empty value
  // (the engine stores zero-length strings and binaries this way).
  constexpr std::uint8_t kSpecialFlags = kTaggedFlagLongValue | kTaggedFlagMultiValue | kTaggedFlagCompressed;
  if (tagged.value.empty() && flag_byte && !data.empty() && (tagged.flags & kSpecialFlags) == 0 &&
      set_empty(column, out)) {
    return;
  }
  decode_tagged(tagged.value, tagged.flags, column, out);
}

bool RecordParser::header_fits(Bytes data) { return header_fits(RecordView(data)); }

void RecordParser::decode(Bytes data, Record& record) {
  const RecordLayout& layout = *layout_;
  const RecordView view(data);
  bool tagged_built = false;
  std::size_t item = 0;  // merge position in the sorted tagged items
  const std::size_t n = layout.size();
  const bool all = wanted_.size() != n;
  for (std::size_t k = 0; k < n; ++k) {
    if (!all && !wanted_[k]) continue;
    const ColumnInfo& column = layout.column(k);
    ColumnValue& out = record.value(k);
    const std::uint32_t id = column.id;
    if (id <= view.last_fixed()) {
      if (view.fixed_null(id)) {
        out.set_null();  // its bytes are filler
        continue;
      }
      const std::optional<Bytes> value = view.field(layout.fixed_offset(k), column.space_usage);
      if (value) {
        parse_column_value_into(*value, column, out);
      } else {
        out.set_null();
      }
    } else if (id >= kFirstVariableColumn && id <= view.last_variable()) {
      const std::optional<Bytes> value = view.variable_value(id - kFirstVariableColumn);
      if (value) {
        parse_column_value_into(*value, column, out);
      } else {
        out.set_null();
      }
    } else if (id < kFirstTaggedColumn) {
      out.set_absent();  // past the record's last fixed or variable column
    } else {
      if (!tagged_built) {
        build_tagged(view);
        tagged_built = true;
      }
      while (item < items_.size() && items_[item].id < id) ++item;
      if (item == items_.size() || items_[item].id != id) {
        out.set_absent();
        continue;
      }
      std::size_t last = item;
      while (last + 1 < items_.size() && items_[last + 1].id == id) ++last;
      const TaggedSlot& it = items_[last];
      decode_tagged_item(data.subspan(it.start, it.end - it.start), it.has_flag_byte, it.null, column, out);
    }
  }
}

Record decode_record(Bytes data, const TableInfo& table, bool large_page_tag_format) {
  RecordParser parser(std::make_shared<const RecordLayout>(table), large_page_tag_format);
  return parser.decode(data);
}

}  // namespace pellumo
