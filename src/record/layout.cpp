#include "record/layout.h"

#include <algorithm>

namespace pellumo {
namespace {

constexpr std::uint16_t kVariableNullBit = 0x8000;
constexpr std::uint16_t kVariableOffsetMask = 0x7FFF;
// Small-page offset words: 13-bit offset, explicit NULL, flag byte follows.
constexpr std::uint16_t kSmallTaggedOffsetMask = 0x1FFF;
constexpr std::uint16_t kSmallTaggedNullBit = 0x2000;
constexpr std::uint16_t kSmallTaggedFlagBit = 0x4000;
constexpr std::uint16_t kSmallTaggedReservedBit = 0x8000;
// Large-page offset words: 15-bit offset, a flag byte on every value.
constexpr std::uint16_t kLargeTaggedOffsetMask = 0x7FFF;
constexpr std::size_t kTaggedItemSize = 4;

}  // namespace

RecordView::RecordView(Bytes record) : record_(record) {
  if (record.size() < kRecordHeaderSize) {
    tagged_start_ = record.size();
    return;
  }
  ByteReader header(record);
  last_fixed_ = header.u8();
  last_variable_ = header.u8();
  variable_offsets_ = header.u16_le();
  if (last_variable_ < kFirstVariableColumn) {
    tagged_start_ = std::min(variable_offsets_, record.size());
    return;
  }
  variable_count_ = last_variable_ - kNoVariableColumns;
  const std::size_t data = variable_data();
  if (data > record.size()) {
    tagged_start_ = record.size();
    return;
  }
  // The last entry (data >= 2 here) ends the variable data.
  const std::size_t end = data + (read_u16_le(record, data - 2).value_or(0) & kVariableOffsetMask);
  tagged_start_ = std::min(end, record.size());
}

bool RecordView::fixed_null(std::uint32_t id) const {
  if (id < 1 || id > last_fixed_) return false;
  const std::size_t bitmap = null_bitmap_size(last_fixed_);
  if (variable_offsets_ < bitmap || variable_offsets_ > record_.size()) return false;
  const std::size_t byte = variable_offsets_ - bitmap + (id - 1) / 8;
  return ((record_[byte] >> ((id - 1) % 8)) & 1) != 0;
}

std::optional<Bytes> RecordView::field(std::uint64_t offset, std::uint64_t width) const {
  if (offset > record_.size() || width > record_.size() - offset) return std::nullopt;
  return record_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(width));
}

std::optional<VariableEntry> RecordView::variable_entry(std::size_t i) const {
  const auto word = read_u16_le(record_, variable_offsets_ + 2 * i);
  if (!word) return std::nullopt;
  return VariableEntry{static_cast<std::size_t>(*word & kVariableOffsetMask), (*word & kVariableNullBit) != 0};
}

std::optional<Bytes> RecordView::variable_value(std::size_t i) const {
  const auto entry = variable_entry(i);
  if (!entry || entry->null) return std::nullopt;
  // The previous entry lies inside the record whenever this one does.
  const std::size_t start = i == 0 ? 0 : variable_entry(i - 1)->end;
  const std::size_t data = variable_data();
  if (start > entry->end || data > record_.size() || entry->end > record_.size() - data) return std::nullopt;
  return record_.subspan(data + start, entry->end - start);
}

TaggedDirectory::TaggedDirectory(const RecordView& record, bool large_page_tag_format)
    : area_(record.bytes().subspan(record.tagged_start())), large_(large_page_tag_format) {
  if (area_.size() < kTaggedItemSize) return;
  declared_size_ = item(0).offset;
  // Items up to the declared size, as far as the record holds them.
  count_ = std::min((declared_size_ + kTaggedItemSize - 1) / kTaggedItemSize, area_.size() / kTaggedItemSize);
}

TaggedItem TaggedDirectory::item(std::size_t k) const {
  ByteReader r(area_, kTaggedItemSize * k);
  TaggedItem out;
  out.id = r.u16_le();
  const std::uint16_t word = r.u16_le();
  out.offset = word & (large_ ? kLargeTaggedOffsetMask : kSmallTaggedOffsetMask);
  out.flag_byte = large_ || (word & kSmallTaggedFlagBit) != 0;
  out.null = !large_ && (word & kSmallTaggedNullBit) != 0;
  out.reserved = !large_ && (word & kSmallTaggedReservedBit) != 0;
  return out;
}

std::optional<Bytes> TaggedDirectory::data(std::size_t k) const {
  const std::size_t start = item(k).offset;
  const std::size_t end = k + 1 < count_ ? item(k + 1).offset : area_.size();
  if (start > end || end > area_.size()) return std::nullopt;
  return area_.subspan(start, end - start);
}

TaggedValue split_flag_byte(Bytes data, bool flag_byte) {
  if (data.empty() || !flag_byte) return {0, data};
  return {static_cast<std::uint8_t>(data[0]), data.subspan(1)};
}

}  // namespace pellumo
