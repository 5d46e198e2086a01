#include "catalog/column_default.h"

namespace pellumo {
namespace {

constexpr std::uint32_t kFirstVariable = 128;
constexpr std::uint16_t kNullBit = 0x8000;
constexpr std::uint16_t kOffsetMask = 0x7FFF;

}  // namespace

std::optional<Bytes> catalog_variable_column(Bytes record, std::uint32_t column_id) {
  if (record.size() < 4 || column_id < kFirstVariable || column_id > 255) return std::nullopt;
  const std::uint32_t last_variable = record[1];
  if (column_id > last_variable) return std::nullopt;
  const std::size_t array_at = *read_u16_le(record, 2);  // the size was checked above
  const std::size_t count = last_variable - (kFirstVariable - 1);
  const std::size_t i = column_id - kFirstVariable;
  // Each entry is the end of its column's data, relative to the data that
  // follows the offset array; the column starts where the previous one ends.
  const auto entry = read_u16_le(record, array_at + 2 * i);
  if (!entry || (*entry & kNullBit)) return std::nullopt;
  std::size_t start = 0;
  if (i > 0) {
    const auto previous = read_u16_le(record, array_at + 2 * (i - 1));
    if (!previous) return std::nullopt;
    start = *previous & kOffsetMask;
  }
  const std::size_t end = *entry & kOffsetMask;
  if (start > end) return std::nullopt;
  return slice(record, array_at + 2 * count + start, end - start);
}

std::optional<std::string> read_column_default(Bytes record) {
  auto bytes = catalog_variable_column(record, kCatalogDefaultValueColumn);
  if (!bytes || bytes->empty()) return std::nullopt;
  return to_byte_string(*bytes);
}

}  // namespace pellumo
