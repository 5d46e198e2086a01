#include "cursor/engine_record.h"

#include "cursor/long_value.h"
#include "record/decompress.h"
#include "record/parser.h"
#include "utils/decode_string.h"

namespace pellumo {
namespace {

bool is_text(const ColumnInfo& c) {
  return c.column_type == ColumnType::Text || c.column_type == ColumnType::LongText;
}

bool is_binary(const ColumnInfo& c) {
  return c.column_type == ColumnType::Binary || c.column_type == ColumnType::LongBinary;
}

std::uint32_t codepage_of(const ColumnInfo& c) { return c.codepage.value_or(kDefaultCodepage); }

bool is_multi_valued(const ColumnInfo& c) { return (c.flags & kColumnFlagMultiValued) != 0; }

bool has_usable_default(const ColumnInfo& c) {
  return c.default_value && (c.flags & kColumnFlagDefault) && !(c.flags & kColumnFlagUserDefinedDefault);
}

}  // namespace

EngineRecordBuilder::EngineRecordBuilder(std::shared_ptr<const RecordLayout> layout) : layout_(std::move(layout)) {
  defaults_.resize(layout_->size());
  for (std::size_t i = 0; i < layout_->size(); ++i) {
    const ColumnInfo& column = layout_->column(i);
    if (!has_usable_default(column)) continue;
    ColumnValue raw;
    RecordParser::parse_column_value_into(as_bytes(*column.default_value), column, raw);
    if (raw.is_null()) continue;  // undecodable for its type: no default
    auto value = std::make_unique<EngineValue>();
    to_engine_scalar(column, raw);
    if (is_multi_valued(column)) {
      value->set_list();
      value->add_item() = raw;
    } else {
      value->set_single() = raw;
    }
    defaults_[i] = std::move(value);
  }
}

const EngineValue* EngineRecordBuilder::default_of(std::size_t column) const {
  return column < defaults_.size() ? defaults_[column].get() : nullptr;
}

void EngineRecordBuilder::build(const Record& raw, const LongValueFetch& fetch, std::vector<EngineValue>& out) {
  out.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) build_value(i, raw.value(i), fetch, out[i]);
}

void EngineRecordBuilder::build_value(std::size_t column, const ColumnValue& raw, const LongValueFetch& fetch,
                                      EngineValue& out) {
  if (raw.is_absent()) {
    if (const EngineValue* d = default_of(column)) {
      out.assign(*d);
    } else {
      out.set_single();
    }
    return;
  }
  build_cell(layout_->column(column), raw, fetch, out);
}

void EngineRecordBuilder::build_cell(const ColumnInfo& column, const ColumnValue& raw, const LongValueFetch& fetch,
                                     EngineValue& out) {
  if (raw.kind() == ValueKind::MultiValue) {
    if (!split_multi_value(raw.bytes(), raw.tag_flags(), instances_)) {
      out.set_single().set_bytes(ValueKind::Binary, raw.bytes());
      return;
    }
    out.set_list();
    for (const MultiValueInstance& instance : instances_) decode_instance(column, instance, fetch, out.add_item());
    return;
  }
  // One instance stored plainly: a list of one in a multi-valued column.
  ColumnValue& single = [&]() -> ColumnValue& {
    if (raw.is_null() || !is_multi_valued(column)) return out.set_single();
    out.set_list();
    return out.add_item();
  }();
  single = raw;
  to_engine_scalar(column, single);
}

void EngineRecordBuilder::decode_instance(const ColumnInfo& column, const MultiValueInstance& instance,
                                          const LongValueFetch& fetch, ColumnValue& out) {
  if (instance.separated) {
    if (fetch(instance.data, scratch_)) {
      set_resolved_value(column, scratch_, out);
    } else {
      out.set_bytes(ValueKind::LongValue, instance.data);  // unresolvable: the reference, as a raw read keeps it
    }
  } else if (instance.compressed) {
    if (instance.data.empty() || !decompress_value(instance.data, scratch_)) {
      out.set_bytes(ValueKind::Binary, instance.data);  // undecodable: the stored bytes
    } else if (is_text(column) && is_known_codepage(codepage_of(column))) {
      decode_string_into(as_bytes(scratch_), codepage_of(column), out.text_buffer());
    } else {
      out.byte_buffer(ValueKind::Binary).swap(scratch_);
    }
  } else if (instance.data.empty()) {
    // An empty instance is an empty value where the type has one.
    if (is_text(column) && is_known_codepage(codepage_of(column))) {
      out.text_buffer().clear();
    } else if (is_binary(column)) {
      out.set_bytes(ValueKind::Binary, instance.data);
    } else {
      out.set_null();
    }
  } else {
    RecordParser::parse_column_value_into(instance.data, column, out);
  }
  to_engine_scalar(column, out);
}

}  // namespace pellumo
