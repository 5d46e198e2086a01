// Values as the database engine's own API returns them, beside the stored
// bits that ColumnValue keeps:
//   - multi-valued columns: a list of their instances;
//   - Long long and Currency: signed (kind Int64);
//   - DateTime: kind DateTime whose payload is a point in time, in signed
//     microseconds since 1970-01-01T00:00:00Z (as_signed()); a stored value
//     that is no date is Null;
//   - every other kind as the raw reading gives it (a GUID stays its 16
//     stored bytes; consumers present it as a UUID).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "catalog/table_info.h"
#include "types/column_value.h"

namespace pellumo {

// Microseconds since the Unix epoch of the 8 stored bytes of a DateTime
// column (`bits`, read little-endian), or nullopt when they are no date.
// First as an OLE automation date: a double d of days since 1899-12-30, the
// fraction the time of day (positive also for negative d). It counts when d
// is finite, d is 0 or |d| >= 1e-6, and d rounded to the millisecond (half
// away from zero, the way .NET's DateTime.FromOADate rounds) falls in years
// 1-9999. Otherwise as a FILETIME: a signed count of 100 ns ticks since
// 1601-01-01, which counts when positive and, rounded to the microsecond
// (half to even), before the year 10000. Applications such as User Access
// Logging store FILETIMEs in DateTime columns; read as a double, every
// FILETIME before the year 10000 is a number below 1e-130, so the two
// readings never claim the same bytes.
std::optional<std::int64_t> engine_date_time(std::uint64_t bits);

// A point in time of an engine DateTime (signed microseconds since the Unix
// epoch) as its UTC calendar date and time of day, proleptic Gregorian.
struct CivilTime {
  int year, month, day, hour, minute, second, microsecond;
};
CivilTime civil_time(std::int64_t micros);

// Rewrites a value of `column` read the raw way into its engine form, in
// place: signed 64-bit integers, converted dates.
void to_engine_scalar(const ColumnInfo& column, ColumnValue& value);

// One cell of an engine record: a single value or a list. Buffers are kept
// when the cell is overwritten, so a record reused row after row stops
// allocating once warm.
class EngineValue {
 public:
  bool is_list() const { return list_; }
  // The single value (Null when the cell is empty); not for lists.
  const ColumnValue& value() const { return value_; }
  ColumnValue& value() { return value_; }
  std::span<const ColumnValue> items() const { return {items_.data(), count_}; }

  // A single value, reset to Null.
  ColumnValue& set_single() {
    list_ = false;
    count_ = 0;
    value_.set_null();
    return value_;
  }
  // An empty list; append items with add_item().
  void set_list() {
    list_ = true;
    count_ = 0;
    value_.set_null();
  }
  ColumnValue& add_item() {
    if (count_ == items_.size()) items_.emplace_back();
    return items_[count_++];
  }
  void assign(const EngineValue& other) {
    list_ = other.list_;
    value_ = other.value_;
    count_ = 0;
    for (const ColumnValue& item : other.items()) add_item() = item;
  }

 private:
  bool list_ = false;
  ColumnValue value_;
  std::vector<ColumnValue> items_;
  std::size_t count_ = 0;
};

}  // namespace pellumo
