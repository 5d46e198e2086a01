#include "types/engine_value.h"

#include <cmath>
#include <cstring>

namespace pellumo {
namespace {

constexpr std::int64_t kMillisPerDay = 86'400'000;
constexpr std::int64_t kMicrosPerDay = 86'400'000'000;
// Day numbers counted from 0001-01-01.
constexpr std::int64_t kOleEpochDay = 693'593;    // 1899-12-30
constexpr std::int64_t kUnixEpochDay = 719'162;   // 1970-01-01
constexpr std::int64_t kYear10000Day = 3'652'059;  // 10000-01-01, the first day out of range
// From 1601-01-01, the FILETIME epoch.
constexpr std::int64_t kFiletimeUnixOffsetMicros = 11'644'473'600'000'000;
constexpr std::int64_t kFiletimeYear10000Micros = (kYear10000Day - 584'388) * kMicrosPerDay;
// Far beyond years 1-9999 (about 3.65 million days either way) but small
// enough that the scaled value converts to int64 exactly.
constexpr double kOleDaysBound = 1e7;

// Proleptic Gregorian date of a day count from 1970-01-01.
void civil_from_days(std::int64_t z, int& year, int& month, int& day) {
  z += 719'468;
  const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const std::int64_t doe = z - era * 146'097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

std::optional<std::int64_t> from_ole_date(double d) {
  if (!std::isfinite(d)) return std::nullopt;
  if (d != 0 && std::fabs(d) < 1e-6) return std::nullopt;
  if (std::fabs(d) >= kOleDaysBound) return std::nullopt;
  // Whole milliseconds, halves away from zero; for a negative date the
  // fraction is still a positive time of day, so -1.25 is the day before
  // the epoch at 06:00, not at 18:00.
  std::int64_t millis = static_cast<std::int64_t>(d * static_cast<double>(kMillisPerDay) + (d >= 0 ? 0.5 : -0.5));
  if (millis < 0) millis -= (millis % kMillisPerDay) * 2;
  millis += kOleEpochDay * kMillisPerDay;
  if (millis < 0 || millis >= kYear10000Day * kMillisPerDay) return std::nullopt;
  return (millis - kUnixEpochDay * kMillisPerDay) * 1000;
}

std::optional<std::int64_t> from_filetime(std::int64_t ticks) {
  if (ticks <= 0) return std::nullopt;
  std::int64_t micros = ticks / 10;
  const std::int64_t rest = ticks % 10;
  if (rest > 5 || (rest == 5 && (micros & 1))) ++micros;
  if (micros >= kFiletimeYear10000Micros) return std::nullopt;
  return micros - kFiletimeUnixOffsetMicros;
}

}  // namespace

CivilTime civil_time(std::int64_t micros) {
  std::int64_t days = micros / kMicrosPerDay;
  std::int64_t rest = micros % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  CivilTime t{};
  civil_from_days(days, t.year, t.month, t.day);
  const int seconds = static_cast<int>(rest / 1'000'000);
  t.hour = seconds / 3600;
  t.minute = seconds / 60 % 60;
  t.second = seconds % 60;
  t.microsecond = static_cast<int>(rest % 1'000'000);
  return t;
}

std::optional<std::int64_t> engine_date_time(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  if (auto ole = from_ole_date(d)) return ole;
  return from_filetime(static_cast<std::int64_t>(bits));
}

void to_engine_scalar(const ColumnInfo& column, ColumnValue& value) {
  switch (value.kind()) {
    case ValueKind::DateTime:
      if (auto micros = engine_date_time(value.as_unsigned())) {
        value.set_signed(ValueKind::DateTime, *micros);
      } else {
        value.set_null();
      }
      return;
    case ValueKind::Currency:
      value.set_signed(ValueKind::Int64, static_cast<std::int64_t>(value.as_unsigned()));
      return;
    case ValueKind::UInt64:
      if (column.column_type == ColumnType::LongLong) {
        value.set_signed(ValueKind::Int64, static_cast<std::int64_t>(value.as_unsigned()));
      }
      return;
    default:
      return;
  }
}

}  // namespace pellumo
