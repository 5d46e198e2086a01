// One decoded column value. Scalars are held inline; Binary, Text,
// MultiValue and LongValue own their bytes in a string whose capacity is
// kept when the value is overwritten, so a record reused row after row
// allocates nothing once it has warmed up.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

#include "utils/bytes.h"

namespace pellumo {

// The variants, in this order; consumers switch on it.
enum class ValueKind : std::uint8_t {
  Null,
  Boolean,
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float32,
  Float64,
  DateTime,   // the stored 64 bits, unconverted
  Currency,   // the stored 64 bits, unscaled
  Guid,       // 16 bytes in stored order
  Binary,
  Text,        // UTF-8
  MultiValue,  // raw data of a multi-valued tagged column
  LongValue,   // a reference into the table's long-value tree, until resolved
};

using GuidBytes = std::array<std::uint8_t, 16>;

class ColumnValue {
 public:
  ColumnValue() = default;

  static ColumnValue null() { return ColumnValue(); }
  static ColumnValue boolean(bool v) { return scalar(ValueKind::Boolean, v ? 1 : 0); }
  static ColumnValue int8(std::int8_t v) { return signed_scalar(ValueKind::Int8, v); }
  static ColumnValue uint8(std::uint8_t v) { return scalar(ValueKind::UInt8, v); }
  static ColumnValue int16(std::int16_t v) { return signed_scalar(ValueKind::Int16, v); }
  static ColumnValue uint16(std::uint16_t v) { return scalar(ValueKind::UInt16, v); }
  static ColumnValue int32(std::int32_t v) { return signed_scalar(ValueKind::Int32, v); }
  static ColumnValue uint32(std::uint32_t v) { return scalar(ValueKind::UInt32, v); }
  static ColumnValue int64(std::int64_t v) { return signed_scalar(ValueKind::Int64, v); }
  static ColumnValue uint64(std::uint64_t v) { return scalar(ValueKind::UInt64, v); }
  static ColumnValue date_time(std::uint64_t v) { return scalar(ValueKind::DateTime, v); }
  static ColumnValue currency(std::uint64_t v) { return scalar(ValueKind::Currency, v); }
  static ColumnValue float32(float v) {
    ColumnValue c;
    c.set_float32(v);
    return c;
  }
  static ColumnValue float64(double v) {
    ColumnValue c;
    c.set_float64(v);
    return c;
  }
  static ColumnValue guid(const GuidBytes& g) {
    ColumnValue c;
    c.set_guid(g);
    return c;
  }
  static ColumnValue binary(Bytes b) { return buffer(ValueKind::Binary, b); }
  static ColumnValue multi_value(Bytes b) { return buffer(ValueKind::MultiValue, b); }
  static ColumnValue long_value(Bytes b) { return buffer(ValueKind::LongValue, b); }
  static ColumnValue text(std::string_view utf8) {
    ColumnValue c;
    c.kind_ = ValueKind::Text;
    c.buf_.assign(utf8);
    return c;
  }

  ValueKind kind() const { return kind_; }
  bool is_null() const { return kind_ == ValueKind::Null; }
  // A Null whose column the record does not hold at all (a fixed or
  // variable column past the record's last id, a tagged column missing from
  // its directory), as opposed to one stored as NULL. Only the record
  // decoder tells the two apart; a column default applies to the former.
  bool is_absent() const { return kind_ == ValueKind::Null && bits_ == kAbsent; }
  // MultiValue: the flag byte the tagged value was stored with, which says
  // how its instances are laid out.
  std::uint8_t tag_flags() const { return static_cast<std::uint8_t>(bits_); }

  // Scalar payloads. Each accessor is meaningful for the kinds named.
  bool as_bool() const { return bits_ != 0; }                         // Boolean
  std::int64_t as_signed() const { return static_cast<std::int64_t>(bits_); }  // Int8..Int64
  std::uint64_t as_unsigned() const { return bits_; }  // UInt8..UInt64, DateTime, Currency
  float as_float32() const {
    float f;
    const std::uint32_t b = static_cast<std::uint32_t>(bits_);
    std::memcpy(&f, &b, sizeof f);
    return f;
  }
  double as_float64() const {
    double d;
    std::memcpy(&d, &bits_, sizeof d);
    return d;
  }
  const GuidBytes& as_guid() const { return guid_; }
  // Binary, MultiValue, LongValue: the bytes; Text: its UTF-8 bytes.
  Bytes bytes() const { return as_bytes(buf_); }
  std::string_view text() const { return buf_; }

  // Overwriting in place (the capacity of the buffer is kept).
  void set_null() {
    kind_ = ValueKind::Null;
    bits_ = 0;
  }
  void set_absent() {
    kind_ = ValueKind::Null;
    bits_ = kAbsent;
  }
  void set_multi_value(Bytes b, std::uint8_t tag_flags) {
    set_bytes(ValueKind::MultiValue, b);
    bits_ = tag_flags;
  }
  void set_scalar(ValueKind kind, std::uint64_t bits) {
    kind_ = kind;
    bits_ = bits;
  }
  void set_signed(ValueKind kind, std::int64_t v) {
    kind_ = kind;
    bits_ = static_cast<std::uint64_t>(v);
  }
  void set_float32(float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    kind_ = ValueKind::Float32;
    bits_ = b;
  }
  void set_float64(double v) {
    kind_ = ValueKind::Float64;
    std::memcpy(&bits_, &v, sizeof bits_);
  }
  void set_guid(const GuidBytes& g) {
    kind_ = ValueKind::Guid;
    guid_ = g;
  }
  void set_bytes(ValueKind kind, Bytes b) {
    kind_ = kind;
    buf_.assign(as_chars(b));
  }
  // Makes the value Text and hands out its buffer for the caller to fill.
  std::string& text_buffer() {
    kind_ = ValueKind::Text;
    return buf_;
  }
  // Makes the value a byte buffer of `kind` and hands out its buffer.
  std::string& byte_buffer(ValueKind kind) {
    kind_ = kind;
    return buf_;
  }

  friend bool operator==(const ColumnValue& a, const ColumnValue& b);

 private:
  static ColumnValue scalar(ValueKind kind, std::uint64_t bits) {
    ColumnValue c;
    c.set_scalar(kind, bits);
    return c;
  }
  static ColumnValue signed_scalar(ValueKind kind, std::int64_t v) {
    ColumnValue c;
    c.set_signed(kind, v);
    return c;
  }
  static ColumnValue buffer(ValueKind kind, Bytes b) {
    ColumnValue c;
    c.set_bytes(kind, b);
    return c;
  }

  static constexpr std::uint64_t kAbsent = 1;

  ValueKind kind_ = ValueKind::Null;
  std::uint64_t bits_ = 0;  // integers (signed ones sign-extended), float bits
  GuidBytes guid_{};
  std::string buf_;
};

// The variant's name ("Null", "UInt64", "Text", ...), for messages and tests.
const char* value_kind_name(ValueKind kind);

// A readable rendering, e.g. UInt32(7) or Text("hi"); for test output.
std::ostream& operator<<(std::ostream& os, const ColumnValue& v);

}  // namespace pellumo
