#include "types/column_value.h"

#include <cstdio>
#include <ostream>

namespace pellumo {

bool operator==(const ColumnValue& a, const ColumnValue& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case ValueKind::Null: return true;
    case ValueKind::Guid: return a.guid_ == b.guid_;
    case ValueKind::Binary:
    case ValueKind::Text:
    case ValueKind::MultiValue:
    case ValueKind::LongValue: return a.buf_ == b.buf_;
    default: return a.bits_ == b.bits_;
  }
}

const char* value_kind_name(ValueKind kind) {
  static const char* const kNames[] = {"Null",    "Boolean", "Int8",     "UInt8",    "Int16",  "UInt16",    "Int32",
                                       "UInt32",  "Int64",   "UInt64",   "Float32",  "Float64", "DateTime", "Currency",
                                       "Guid",    "Binary",  "Text",     "MultiValue", "LongValue"};
  const auto i = static_cast<std::size_t>(kind);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "Unknown";
}

std::ostream& operator<<(std::ostream& os, const ColumnValue& v) {
  os << value_kind_name(v.kind());
  switch (v.kind()) {
    case ValueKind::Null: return os;
    case ValueKind::Boolean: return os << '(' << (v.as_bool() ? "true" : "false") << ')';
    case ValueKind::Int8:
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64: return os << '(' << v.as_signed() << ')';
    case ValueKind::Float32: return os << '(' << v.as_float32() << ')';
    case ValueKind::Float64: return os << '(' << v.as_float64() << ')';
    case ValueKind::Text: return os << "(\"" << v.text() << "\")";
    case ValueKind::Guid:
    case ValueKind::Binary:
    case ValueKind::MultiValue:
    case ValueKind::LongValue: {
      const Bytes b = v.kind() == ValueKind::Guid ? Bytes(v.as_guid().data(), v.as_guid().size()) : v.bytes();
      os << '(';
      // Long buffers are shown by their start and length only.
      const std::size_t shown = b.size() > 48 ? 48 : b.size();
      char hex[4];
      for (std::size_t i = 0; i < shown; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", b[i]);
        os << (i ? " " : "") << hex;
      }
      if (shown < b.size()) os << " ... " << b.size() << " bytes";
      return os << ')';
    }
    default: return os << '(' << v.as_unsigned() << ')';
  }
}

}  // namespace pellumo
