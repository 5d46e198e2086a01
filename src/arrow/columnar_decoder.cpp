#include "arrow/columnar_decoder.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "cursor/long_value.h"
#include "record/layout.h"
#include "utils/decode_string.h"
#include "utils/hex.h"

namespace pellumo::arrow {
namespace {

constexpr std::uint8_t kSpecialFlags = kTaggedFlagLongValue | kTaggedFlagMultiValue | kTaggedFlagCompressed;
// Tagged ids are 16-bit in a record's directory: a column of a higher id is
// never present.
constexpr std::uint32_t kLastTaggedId = 0xFFFF;

std::uint32_t codepage_of(const ColumnInfo& c) { return c.codepage.value_or(kDefaultCodepage); }

}  // namespace

ColumnarDecoder::ColumnarDecoder(std::shared_ptr<const RecordLayout> layout, const std::vector<ColumnPlan>& columns,
                                 ValueProfile profile, bool large_page_tag_format, LongValueFetch fetch,
                                 std::size_t max_variable_bytes)
    : layout_(std::move(layout)),
      profile_(profile),
      large_(large_page_tag_format),
      fetch_(fetch),
      max_variable_bytes_(max_variable_bytes),
      parser_(layout_, large_page_tag_format),
      record_(layout_) {
  if (profile_ == ValueProfile::Engine) engine_ = std::make_unique<EngineRecordBuilder>(layout_);
  std::vector<bool> wanted(layout_->size(), false);
  std::uint32_t last_tagged = kFirstTaggedColumn - 1;
  targets_.reserve(columns.size());
  for (std::size_t j = 0; j < columns.size(); ++j) {
    const ColumnPlan& plan = columns[j];
    const ColumnInfo& column = layout_->column(plan.layout_index);
    Target t{};
    t.sink = static_cast<std::uint32_t>(j);
    t.layout = static_cast<std::uint32_t>(plan.layout_index);
    t.id = column.id;
    t.op = plain_op(plan, t.width);
    t.codepage = codepage_of(column);
    t.fixed_offset = layout_->fixed_offset(plan.layout_index);
    t.space_usage = column.space_usage;
    t.column = &column;
    // A stored column keeps its raw values beside the engine's reading.
    t.engine = engine_ != nullptr && !plan.stored;
    t.fallback = t.engine ? engine_->default_of(plan.layout_index) : nullptr;
    targets_.push_back(t);
    wanted[plan.layout_index] = true;
    if (t.id >= kFirstTaggedColumn && t.id <= kLastTaggedId) last_tagged = std::max(last_tagged, t.id);
  }
  parser_.decode_only(std::move(wanted));

  // Each class in record order: by id, columns of equal ids as the layout
  // orders them.
  std::vector<std::uint32_t> order(targets_.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return targets_[a].layout < targets_[b].layout; });
  const std::size_t tagged_ids = last_tagged - (kFirstTaggedColumn - 1);
  std::vector<std::uint32_t> per_id(tagged_ids, 0);
  for (std::uint32_t i : order) {
    const std::uint32_t id = targets_[i].id;
    if (id < kFirstVariableColumn) {
      fixed_.push_back(i);
    } else if (id < kFirstTaggedColumn) {
      variable_.push_back(i);
    } else if (id <= kLastTaggedId) {
      ++per_id[id - kFirstTaggedColumn];
    }
  }
  if (tagged_ids == 0) return;
  tagged_begin_.assign(tagged_ids + 1, 0);
  for (std::size_t i = 0; i < tagged_ids; ++i) tagged_begin_[i + 1] = tagged_begin_[i] + per_id[i];
  tagged_.resize(tagged_begin_.back());
  std::vector<std::uint32_t> next(tagged_begin_.begin(), tagged_begin_.end() - 1);
  for (std::uint32_t i : order) {
    const std::uint32_t id = targets_[i].id;
    if (id >= kFirstTaggedColumn && id <= kLastTaggedId) tagged_[next[id - kFirstTaggedColumn]++] = i;
  }
}

ColumnarDecoder::Op ColumnarDecoder::plain_op(const ColumnPlan& plan, std::uint8_t& width) const {
  width = 0;
  // A list, or a multi-valued column's bytes, holds whatever the value is.
  if (plan.list || (plan.column->flags & kColumnFlagMultiValued)) return Op::General;
  const ColumnType type = plan.column->column_type;
  switch (plan.builder) {
    case BuilderKind::Null: return Op::Null;
    case BuilderKind::Boolean: return Op::Boolean;
    case BuilderKind::UInt8: return type == ColumnType::UnsignedByte ? Op::UnsignedByte : Op::General;
    case BuilderKind::Int16:
    case BuilderKind::UInt16:
    case BuilderKind::Int32:
    case BuilderKind::UInt32:
    case BuilderKind::Float32:
    case BuilderKind::UInt64:
    case BuilderKind::Int64:
    case BuilderKind::Float64:
      // These kinds are chosen only for the types whose stored width is
      // theirs: the value is its bytes.
      width = static_cast<std::uint8_t>(fixed_type_width(type));
      return width != 0 ? Op::Copy : Op::General;
    case BuilderKind::Timestamp: return Op::Timestamp;
    case BuilderKind::Uuid: return Op::Uuid;
    case BuilderKind::Utf8:
      if (type == ColumnType::Guid) return Op::GuidText;
      return Op::Text;  // text of a known code page
    case BuilderKind::Binary:
      if (type == ColumnType::Binary || type == ColumnType::LongBinary) return Op::Bytes;
      // Text in a code page the decoder does not know: its stored values
      // decode to nothing.
      if (type == ColumnType::Text || type == ColumnType::LongText) return Op::Null;
      return Op::General;
  }
  return Op::General;
}

void ColumnarDecoder::fill_to(const Target& t, std::size_t row, ColumnSink& sink) {
  if (t.fallback == nullptr) {
    sink.pad_to(row);
    return;
  }
  while (sink.length() < row) sink.append_engine(*t.fallback);
  if (sink.has_variable_buffer()) note_variable(sink);
}

void ColumnarDecoder::pad(std::size_t rows, std::vector<ColumnSink>& sinks) {
  for (const Target& t : targets_) catch_up(t, rows, sinks[t.sink]);
}

void ColumnarDecoder::put_other(const Target& t, Bytes value, ColumnSink& sink) {
  // `value` is not empty: put_plain wrote those.
  switch (t.op) {
    case Op::Null: sink.append_null(); return;
    case Op::Boolean: sink.append_bool(read_u8(value, 0).value_or(0) != 0); return;
    case Op::UnsignedByte: {
      // The variant follows the length; only a value below 256 fits.
      const std::size_t n = value.size();
      const auto v = (n == 1 || n == 2 || n == 4 || n == 8) ? read_uint_le(value, 0, n) : std::nullopt;
      if (v && *v <= 0xFF) {
        sink.append_fixed(static_cast<std::uint8_t>(*v));
      } else {
        sink.append_null();
      }
      return;
    }
    case Op::Copy:
      sink.append_null();  // too short for its type: put_plain wrote the others
      return;
    case Op::Timestamp: {
      const auto bits = read_u64_le(value, 0);
      const auto micros = bits ? engine_date_time(*bits) : std::nullopt;
      if (micros) {
        sink.append_fixed(*micros);
      } else {
        sink.append_null();
      }
      return;
    }
    case Op::GuidText:
    case Op::Uuid: {
      GuidBytes guid;
      if (!copy_bytes(value, 0, guid.data(), guid.size())) {
        sink.append_null();
      } else if (t.op == Op::Uuid) {
        sink.append_fixed(guid_uuid_bytes(guid));
      } else {
        char text[kGuidTextSize];
        write_guid_text(guid, text);
        sink.append_variable(text, sizeof text);
        note_variable(sink);
      }
      return;
    }
    case Op::Text: {
      // Text that is not all ASCII (put_plain wrote the rest).
      const std::size_t room = decoded_size_bound(value.size());
      if (room > kMaxVariableBufferBytes - sink.variable_size()) {
        // Near what 32-bit offsets address, the exact size decides.
        decode_string_into(value, t.codepage, fetched_);
        sink.append_variable(fetched_.data(), fetched_.size());
      } else {
        std::uint8_t* at = sink.variable_space(room);
        std::size_t written = 0;
        decode_string_to(value, t.codepage, reinterpret_cast<char*>(at), written);
        sink.commit_variable(written);
      }
      note_variable(sink);
      return;
    }
    case Op::Bytes:
      sink.append_variable(value.data(), value.size());
      note_variable(sink);
      return;
    case Op::General:
      RecordParser::parse_column_value_into(value, *t.column, value_);
      put_value(t, value_, sink);
      return;
  }
}

void ColumnarDecoder::put_value(const Target& t, ColumnValue& value, ColumnSink& sink) {
  if (value.kind() == ValueKind::LongValue) resolve_long_value(*t.column, value, fetch_, fetched_);
  if (t.engine) {
    engine_->build_value(t.layout, value, fetch_, engine_value_);
    sink.append_engine(engine_value_);
  } else {
    sink.append(value);
  }
  if (sink.has_variable_buffer()) note_variable(sink);
}

void ColumnarDecoder::put_tagged(const Target& t, Bytes data, bool flag_byte, bool null, ColumnSink& sink) {
  const TaggedValue tagged = split_flag_byte(data, flag_byte);
  if (!null && !(large_ && (tagged.flags & kTaggedFlagNull)) && !tagged.value.empty() &&
      (tagged.flags & kSpecialFlags) == 0) {
    put_plain(t, tagged.value, sink);  // the usual case: a value as it is
    return;
  }
  parser_.decode_tagged_item(data, flag_byte, null, *t.column, value_);
  put_value(t, value_, sink);
}

void ColumnarDecoder::decode(Bytes data, std::size_t row, std::vector<ColumnSink>& sinks) {
  const RecordView view(data);
  header_fits_ = RecordParser::header_fits(view);
  // Fixed ids past 127 would make variable columns fixed ones: a shape the
  // engine never writes, left to the record decoder.
  if (view.last_fixed() >= kFirstVariableColumn) {
    decode_slowly(data, row, sinks);
    return;
  }
  const std::uint32_t last_fixed = view.last_fixed();
  for (std::uint32_t i : fixed_) {
    const Target& t = targets_[i];
    if (t.id > last_fixed) break;
    ColumnSink& sink = sinks[t.sink];
    catch_up(t, row, sink);
    if (view.fixed_null(t.id)) {
      put_null(sink);  // its bytes are filler
      continue;
    }
    const std::optional<Bytes> value = view.field(t.fixed_offset, t.space_usage);
    if (value) {
      put_plain_inline(t, *value, sink);
    } else {
      put_null(sink);
    }
  }
  const std::uint32_t last_variable = view.last_variable();
  for (std::uint32_t i : variable_) {
    const Target& t = targets_[i];
    if (t.id > last_variable) break;
    ColumnSink& sink = sinks[t.sink];
    catch_up(t, row, sink);
    const std::optional<Bytes> value = view.variable_value(t.id - kFirstVariableColumn);
    if (value) {
      put_plain_inline(t, *value, sink);
    } else {
      put_null(sink);
    }
  }
  if (tagged_.empty()) return;
  const TaggedDirectory directory(view, large_);
  const std::size_t count = directory.count();
  const std::size_t ids = tagged_begin_.size() - 1;
  std::uint32_t previous = 0;
  // Each item is read once: it ends the data of the one before.
  TaggedItem next = count != 0 ? directory.item(0) : TaggedItem{};
  for (std::size_t k = 0; k < count; ++k) {
    const TaggedItem item = next;
    if (k + 1 < count) next = directory.item(k + 1);
    if (k != 0 && item.id <= previous) {
      // Ids out of order or repeated (the later item wins): the record
      // decoder sorts them out.
      for (ColumnSink& sink : sinks) sink.truncate(row);
      decode_slowly(data, row, sinks);
      return;
    }
    previous = item.id;
    if (item.id < kFirstTaggedColumn || item.id - kFirstTaggedColumn >= ids) continue;
    const std::uint32_t begin = tagged_begin_[item.id - kFirstTaggedColumn];
    const std::uint32_t end = tagged_begin_[item.id - kFirstTaggedColumn + 1];
    if (begin == end) continue;  // a column nobody asked for
    const std::optional<Bytes> value = directory.data_to(item, k + 1 < count ? next.offset : directory.area().size());
    if (!value) continue;  // an inconsistent item: the column is not held
    for (std::uint32_t n = begin; n < end; ++n) {
      const Target& t = targets_[tagged_[n]];
      ColumnSink& sink = sinks[t.sink];
      catch_up(t, row, sink);
      put_tagged(t, *value, item.flag_byte, item.null, sink);
    }
  }
}

void ColumnarDecoder::decode_slowly(Bytes data, std::size_t row, std::vector<ColumnSink>& sinks) {
  ++slow_records_;
  over_limit_ = false;
  parser_.decode(data, record_);
  for (const Target& t : targets_) {
    ColumnSink& sink = sinks[t.sink];
    catch_up(t, row, sink);
    put_value(t, record_.value(t.layout), sink);
  }
}

}  // namespace pellumo::arrow
