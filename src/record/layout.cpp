#include "record/layout.h"

#include <algorithm>

namespace pellumo {

using layout_detail::kTaggedItemSize;
using layout_detail::kVariableOffsetMask;

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

TaggedDirectory::TaggedDirectory(const RecordView& record, bool large_page_tag_format)
    : area_(record.bytes().subspan(record.tagged_start())), large_(large_page_tag_format) {
  if (area_.size() < kTaggedItemSize) return;
  declared_size_ = item(0).offset;
  // Items up to the declared size, as far as the record holds them.
  count_ = std::min((declared_size_ + kTaggedItemSize - 1) / kTaggedItemSize, area_.size() / kTaggedItemSize);
}

}  // namespace pellumo
