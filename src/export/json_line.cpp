#include "export/json_line.h"

#include <algorithm>
#include <numeric>

#include "utils/utf8.h"

namespace pellumo {
namespace json {

void append_column_value(std::string& out, const ColumnValue& value) {
  switch (value.kind()) {
    case ValueKind::Null: append_null(out); return;
    case ValueKind::Boolean: append_bool(out, value.as_bool()); return;
    case ValueKind::Int8:
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64: append_int(out, value.as_signed()); return;
    case ValueKind::UInt8:
    case ValueKind::UInt16:
    case ValueKind::UInt32:
    case ValueKind::UInt64:
    case ValueKind::DateTime:
    case ValueKind::Currency: append_uint(out, value.as_unsigned()); return;
    case ValueKind::Float32: append_float32(out, value.as_float32()); return;
    case ValueKind::Float64: append_double(out, value.as_float64()); return;
    case ValueKind::Guid: append_guid_string(out, value.as_guid()); return;
    case ValueKind::Text: append_string(out, value.text()); return;
    case ValueKind::Binary:
    case ValueKind::MultiValue:
    case ValueKind::LongValue: append_hex_string(out, value.bytes()); return;
  }
  append_null(out);  // not reached: every kind is handled above
}

namespace {

void append_digits(std::string& out, int value, int width) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 12);
  for (int pad = n; pad < width; ++pad) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
}

void append_engine_scalar(std::string& out, const ColumnValue& value) {
  if (value.kind() != ValueKind::DateTime) {
    append_column_value(out, value);
    return;
  }
  // Engine dates lie in years 1-9999: every field is non-negative.
  const CivilTime t = civil_time(value.as_signed());
  out.push_back('"');
  append_digits(out, t.year, 4);
  out.push_back('-');
  append_digits(out, t.month, 2);
  out.push_back('-');
  append_digits(out, t.day, 2);
  out.push_back('T');
  append_digits(out, t.hour, 2);
  out.push_back(':');
  append_digits(out, t.minute, 2);
  out.push_back(':');
  append_digits(out, t.second, 2);
  if (t.microsecond != 0) {
    out.push_back('.');
    append_digits(out, t.microsecond, 6);
  }
  out.append("Z\"", 2);
}

}  // namespace

void append_engine_value(std::string& out, const EngineValue& value) {
  if (!value.is_list()) {
    append_engine_scalar(out, value.value());
    return;
  }
  out.push_back('[');
  bool first = true;
  for (const ColumnValue& item : value.items()) {
    if (!first) out.push_back(',');
    first = false;
    append_engine_scalar(out, item);
  }
  out.push_back(']');
}

}  // namespace json

void JsonLineWriter::prepare(std::span<const std::string_view> names) {
  if (!layout_matches(names.size(), [&](std::size_t i) { return names[i]; })) build_layout(names);
}

void JsonLineWriter::build_layout(std::span<const std::string_view> names) {
  const std::size_t n = names.size();
  raw_names_.clear();
  raw_name_ends_.clear();
  for (const std::string_view name : names) {
    raw_names_.append(name);
    raw_name_ends_.push_back(raw_names_.size());
  }

  // Names are compared after decoding, so two different byte strings that
  // decode to the same text (say, two invalid bytes) are the same member.
  std::vector<std::string> keys(n);
  for (std::size_t i = 0; i < n; ++i) append_utf8_lossy(keys[i], names[i]);
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  // std::string compares bytes as unsigned char: byte order of the UTF-8 text.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });

  members_.clear();
  prefixes_.clear();
  for (std::size_t k = 0; k < n; ++k) {
    // Equal keys sit together in record order: only the last one is written.
    if (k + 1 < n && keys[order[k]] == keys[order[k + 1]]) continue;
    Member m{order[k], prefixes_.size(), 0};
    prefixes_.push_back(members_.empty() ? '{' : ',');
    json::append_string(prefixes_, keys[order[k]]);
    prefixes_.push_back(':');
    m.prefix_size = prefixes_.size() - m.prefix_offset;
    members_.push_back(m);
  }
  has_layout_ = true;
}

std::vector<std::size_t> JsonLineWriter::member_order() const {
  std::vector<std::size_t> out;
  out.reserve(members_.size());
  for (const Member& m : members_) out.push_back(m.record_index);
  return out;
}

}  // namespace pellumo
