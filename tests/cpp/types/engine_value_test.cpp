#include "types/engine_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace pellumo {
namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int64_t micros(std::int64_t y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0, int us = 0) {
  return ((days_from_civil(y, mo, d) * 24 + h) * 60 + mi) * 60'000'000LL + s * 1'000'000LL + us;
}

std::uint64_t bits_of(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// 100 ns ticks since 1601-01-01 of a Unix-epoch microsecond count.
std::uint64_t filetime(std::int64_t unix_micros) {
  return static_cast<std::uint64_t>((unix_micros + 11'644'473'600'000'000LL) * 10);
}

TEST(EngineDateTime, ReadsOleDatesThenFiletimesAndNothingElse) {
  const std::int64_t year10000 = micros(10000, 1, 1);
  struct Case {
    const char* what;
    std::uint64_t bits;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {"0.0 is the OLE epoch", bits_of(0.0), micros(1899, 12, 30)},
      {"-0.0 too", bits_of(-0.0), micros(1899, 12, 30)},
      {"1.5: noon of the next day", bits_of(1.5), micros(1899, 12, 31, 12)},
      {"-1.25: the time of day stays positive", bits_of(-1.25), micros(1899, 12, 29, 6)},
      {"36526.0", bits_of(36526.0), micros(2000, 1, 1)},
      {"an exact half millisecond rounds up", bits_of(2.000000005787037), micros(1900, 1, 1, 0, 0, 0, 1000)},
      {"and away from zero below the epoch", bits_of(-2.000000005787037), micros(1899, 12, 28, 0, 0, 0, 1000)},
      {"1e-6 is still a date", bits_of(1e-6), micros(1899, 12, 30, 0, 0, 0, 86'000)},
      {"the first day of year 1", bits_of(-693593.0), micros(1, 1, 1)},
      {"the last millisecond of 9999", bits_of(2958465.99999998), micros(9999, 12, 31, 23, 59, 59, 998'000)},
      {"before year 1: a negative FILETIME, no date", bits_of(-693594.0), std::nullopt},
      {"year 10000: too large for a FILETIME as well", bits_of(2958466.0), std::nullopt},
      {"below 1e-6 and positive as ticks: too large", bits_of(9.9e-7), std::nullopt},
      {"NaN", bits_of(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
      {"negative NaN", bits_of(-std::numeric_limits<double>::quiet_NaN()), std::nullopt},
      {"infinity", bits_of(std::numeric_limits<double>::infinity()), std::nullopt},
      {"a UAL FILETIME, half a microsecond to even (up)", 132715098549345395ULL,
       micros(2021, 7, 23, 10, 30, 54, 934540)},
      {"half a microsecond to even (down)", 132715098549345385ULL, micros(2021, 7, 23, 10, 30, 54, 934538)},
      {"one tick after 1601", 1, micros(1601, 1, 1)},
      {"15 ticks: 1.5 us to 2", 15, micros(1601, 1, 1, 0, 0, 0, 2)},
      {"6 ticks before year 10000", filetime(year10000) - 6, year10000 - 1},
      {"1 tick before year 10000 rounds into it", filetime(year10000) - 1, std::nullopt},
      {"a negative FILETIME", 0x8000000000000001ULL, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(engine_date_time(c.bits), c.expected) << c.what;
}

TEST(EngineScalar, SignsLongLongAndCurrencyAndConvertsDates) {
  ColumnInfo long_long;
  long_long.column_type = ColumnType::LongLong;
  ColumnInfo unsigned_byte;
  unsigned_byte.column_type = ColumnType::UnsignedByte;
  ColumnInfo other;
  other.column_type = ColumnType::DateTime;
  struct Case {
    const char* what;
    const ColumnInfo& column;
    ColumnValue raw;
    ColumnValue expected;
  } cases[] = {
      {"Long long -1", long_long, ColumnValue::uint64(~0ULL), ColumnValue::int64(-1)},
      {"Currency -2", other, ColumnValue::currency(~0ULL - 1), ColumnValue::int64(-2)},
      {"8-byte Unsigned byte stays unsigned", unsigned_byte, ColumnValue::uint64(~0ULL), ColumnValue::uint64(~0ULL)},
      {"DateTime 1.5", other, ColumnValue::date_time(bits_of(1.5)), ColumnValue()},
      {"DateTime no date", other, ColumnValue::date_time(bits_of(std::nan(""))), ColumnValue::null()},
      {"text untouched", other, ColumnValue::text("x"), ColumnValue::text("x")},
  };
  cases[3].expected.set_signed(ValueKind::DateTime, micros(1899, 12, 31, 12));
  for (Case& c : cases) {
    to_engine_scalar(c.column, c.raw);
    EXPECT_EQ(c.raw, c.expected) << c.what;
  }
}

}  // namespace
}  // namespace pellumo
