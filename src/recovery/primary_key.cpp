#include "recovery/primary_key.h"

#include "database/database.h"
#include "recovery/fields.h"
#include "utils/hex.h"

namespace pellumo {

using recovery_detail::u16;

namespace {

constexpr std::uint8_t kPrefixData = 0x7F;
constexpr std::uint8_t kPrefixNull = 0x00;
constexpr std::uint8_t kPrefixNullHigh = 0xC0;
constexpr std::int64_t kCatalogTypeIndex = 3;
constexpr std::uint32_t kCatalogFlagsColumn = 6;

std::optional<std::size_t> key_column(const RecordLayout& layout, std::uint32_t id) {
  const bool tagged = id >= kFirstTaggedColumn;
  if (id == 0 || (id >= kFirstVariableColumn && !tagged)) return std::nullopt;
  for (std::size_t k = 0; k < layout.size(); ++k) {
    const ColumnInfo& c = layout.column(k);
    if (c.id != id) continue;
    // A key column must have a fixed-size type, and a fixed one must be
    // stored at that width, for its normalised form to be known.
    const std::uint32_t width = fixed_type_width(c.column_type);
    if (width == 0 || (!tagged && c.space_usage != width)) return std::nullopt;
    return k;
  }
  return std::nullopt;
}

constexpr std::uint8_t kUnnormalisableFlags = kTaggedFlagCompressed | kTaggedFlagLongValue | kTaggedFlagMultiValue;

struct TaggedLookup {
  bool ok = true;  // false: present in a form that cannot be normalised
  std::optional<Bytes> value;
};

// The value of tagged column `id` of a checked record (whose ids ascend, so
// the first item with the id is the only one).
TaggedLookup tagged_value(const RecordView& record, std::uint32_t id, std::size_t width, bool large) {
  TaggedLookup out;
  const TaggedDirectory directory(record, large);
  for (std::size_t k = 0; k < directory.count(); ++k) {
    const TaggedItem item = directory.item(k);
    if (item.id != id) continue;
    if (item.null) return out;
    const std::optional<Bytes> data = directory.data(k);
    if (!data || data->empty()) return out;
    const TaggedValue tagged = split_flag_byte(*data, item.flag_byte);
    if (large && (tagged.flags & kTaggedFlagNull)) return out;
    if ((tagged.flags & kUnnormalisableFlags) || tagged.value.size() < width) {
      out.ok = false;
      return out;
    }
    out.value = tagged.value.first(width);
    return out;
  }
  return out;
}

void append_big_endian(std::uint64_t v, std::size_t width, std::string& out) {
  for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void append_value(const ColumnInfo& column, Bytes b, bool dot_net_guid, std::string& out) {
  const std::size_t width = b.size();
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width && i < 8; ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
  const std::uint64_t sign = width >= 8 ? (1ull << 63) : (1ull << (8 * width - 1));
  switch (column.column_type) {
    case ColumnType::Boolean: out.push_back(static_cast<char>(b[0] == 0 ? 0x00 : 0xFF)); return;
    case ColumnType::UnsignedByte:
    case ColumnType::UnsignedShort:
    case ColumnType::UnsignedLong:
    case ColumnType::Max: append_big_endian(v, width, out); return;
    case ColumnType::SignedShort:
    case ColumnType::SignedLong:
    case ColumnType::LongLong:
    case ColumnType::Currency: append_big_endian(v ^ sign, width, out); return;
    case ColumnType::Float32:
    case ColumnType::Float64:
    case ColumnType::DateTime: {
      const std::uint64_t mask = width >= 8 ? ~0ull : ((1ull << (8 * width)) - 1);
      append_big_endian((v & sign) ? (~v & mask) : (v ^ sign), width, out);
      return;
    }
    case ColumnType::Guid: {
      // The engine's own order sorts by the last group first; a .NET-order
      // index sorts as a UUID does.
      static constexpr std::uint8_t kStringOrder[16] = {10, 11, 12, 13, 14, 15, 8, 9, 6, 7, 4, 5, 0, 1, 2, 3};
      const std::uint8_t* order = dot_net_guid ? kGuidUuidOrder.data() : kStringOrder;
      for (std::size_t i = 0; i < 16; ++i) out.push_back(static_cast<char>(b[order[i]]));
      return;
    }
    default: return;
  }
}

}  // namespace

std::optional<PrimaryKey> parse_fixed_key_segments(Bytes key_columns, std::uint32_t flags, const RecordLayout& layout) {
  PrimaryKey key;
  key.nulls_high = (flags & kIndexFlagNullsHigh) != 0;
  key.dot_net_guid = (flags & kIndexFlagDotNetGuid) != 0;
  const bool extended = (flags & kIndexFlagExtendedSegments) != 0;
  const std::size_t item = extended ? 4 : 2;
  if (key_columns.empty() || key_columns.size() % item != 0) return std::nullopt;
  for (std::size_t at = 0; at < key_columns.size(); at += item) {
    std::uint32_t id;
    bool descending;
    if (extended) {
      descending = (key_columns[at] & kSegmentDescending) != 0;
      id = u16(key_columns, at + 2);
    } else {
      const auto raw = static_cast<std::int16_t>(u16(key_columns, at));
      descending = raw < 0;
      id = static_cast<std::uint32_t>(raw < 0 ? -static_cast<std::int32_t>(raw) : raw);
    }
    auto column = key_column(layout, id);
    if (!column) return std::nullopt;
    key.segments.push_back({*column, descending, id >= kFirstTaggedColumn});
  }
  return key;
}

std::optional<PrimaryKey> find_fixed_primary_key(const Database& db, std::uint32_t objid, std::uint32_t root_page,
                                                 const RecordLayout& layout) {
  // The catalog describes itself under the name MSysObjects. Only the
  // columns read here are decoded: the fixed ones up to Flags (whose widths
  // place the others) and the key column list.
  const TableInfo* catalog = db.tables().find("MSysObjects");
  if (!catalog) return std::nullopt;
  TableInfo wanted = TableInfo::make(catalog->name, catalog->root_page, catalog->space_usage);
  for (const auto& [name, column] : catalog->columns) {
    if ((column.id >= 1 && column.id <= kCatalogFlagsColumn) || name == "KeyFldIDs") {
      wanted.columns.insert_or_assign(name, column);
    }
  }
  auto cursor = TableCursor::open(db, wanted);
  if (!cursor) return std::nullopt;
  while (true) {
    auto more = cursor->advance();
    if (!more || !*more) return std::nullopt;
    const Record& row = cursor->current();
    const ColumnValue* type = row.find("Type");
    const ColumnValue* table = row.find("ObjidTable");
    const ColumnValue* root = row.find("ColtypOrPgnoFDP");
    const ColumnValue* flags = row.find("Flags");
    const ColumnValue* columns = row.find("KeyFldIDs");
    if (!type || !table || !root || !flags || !columns) return std::nullopt;
    if (type->is_null() || table->is_null() || root->is_null() || flags->is_null()) continue;
    // The catalog is keyed by table object id first: past ours, nothing more.
    if (static_cast<std::uint32_t>(table->as_signed()) > objid) return std::nullopt;
    if (type->as_signed() != kCatalogTypeIndex) continue;
    if (static_cast<std::uint32_t>(table->as_signed()) != objid) continue;
    const auto index_flags = static_cast<std::uint32_t>(flags->as_signed());
    // The primary index is the table's own tree.
    if (!(index_flags & kIndexFlagPrimary) || static_cast<std::uint32_t>(root->as_signed()) != root_page) continue;
    if (columns->kind() != ValueKind::Binary) return std::nullopt;
    return parse_fixed_key_segments(columns->bytes(), index_flags, layout);
  }
}

bool build_fixed_key(const PrimaryKey& key, const RecordLayout& layout, Bytes record, bool large_page_tag_format,
                     std::string& out) {
  out.clear();
  const RecordView view(record);
  for (const KeySegment& segment : key.segments) {
    const ColumnInfo& column = layout.column(segment.column);
    const std::size_t begin = out.size();
    const std::uint32_t id = column.id;
    std::optional<Bytes> value;
    if (segment.tagged) {
      TaggedLookup found = tagged_value(view, id, fixed_type_width(column.column_type), large_page_tag_format);
      if (!found.ok) return false;
      value = found.value;
    } else if (id <= view.last_fixed() && !view.fixed_null(id)) {
      value = view.field(layout.fixed_offset(segment.column), column.space_usage);
    }
    if (!value) {
      out.push_back(static_cast<char>(key.nulls_high ? kPrefixNullHigh : kPrefixNull));
    } else {
      out.push_back(static_cast<char>(kPrefixData));
      append_value(column, *value, key.dot_net_guid, out);
    }
    if (segment.descending) {
      for (std::size_t i = begin; i < out.size(); ++i) out[i] = static_cast<char>(~static_cast<unsigned char>(out[i]));
    }
  }
  return true;
}

}  // namespace pellumo
