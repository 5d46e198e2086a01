// Decoding the data of a table's leaf entry into a Record. Where each part
// of a record lies is record/layout.h's to say; this decides what the bytes
// found there are worth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "error/ese_error.h"
#include "record/layout.h"
#include "record/record.h"
#include "types/column_value.h"
#include "utils/bytes.h"

namespace pellumo {

class RecordParser {
 public:
  // `large_page_tag_format`: the tagged area's layout of format 0x620
  // revision 0x11+ databases with pages above 8 KiB (15-bit offsets, a flag
  // byte on every value).
  RecordParser(std::shared_ptr<const RecordLayout> layout, bool large_page_tag_format);

  const std::shared_ptr<const RecordLayout>& layout() const { return layout_; }

  // Overwrites every value of `record` (which must have this parser's
  // layout) with the columns decoded from `data`. Never fails: whatever
  // cannot be decoded is Null (or, for compressed data, Binary).
  void decode(Bytes data, Record& record);
  Record decode(Bytes data);

  // Restricts decoding to the columns whose layout position is true in
  // `wanted` (empty: every column). The others are not touched: they keep
  // whatever the record held, Null in a record that was never decoded.
  void decode_only(std::vector<bool> wanted) { wanted_ = std::move(wanted); }

  // The value of tagged column `column` from the data of its directory
  // item (`data`, flag byte included when `flag_byte`; `null`: the item is
  // marked NULL): what decode() gives the column when the record holds it.
  // For readers that walk the tagged directory themselves.
  void decode_tagged_item(Bytes data, bool flag_byte, bool null, const ColumnInfo& column, ColumnValue& out);

  // Whether `data` holds a record's header and the variable-offset array it
  // points at starts inside the record. A record that does not decodes to
  // nulls (every column a reader may want is lost), which readers count as
  // damage.
  static bool header_fits(Bytes data);
  // The same, off a header already read.
  static bool header_fits(const RecordView& view) {
    return view.size() >= kRecordHeaderSize && view.variable_offsets() <= view.size();
  }

  // The value of one column from its bytes, by the column's type. Fails
  // only with UnknownCodepage for text in a code page decode_string refuses.
  // "Long Binary" bytes found in a record are data and come back as Binary.
  static Result<ColumnValue> parse_column_value(Bytes bytes, const ColumnInfo& column);
  // The same into `out`; false (out then Null) where the above fails.
  static bool parse_column_value_into(Bytes bytes, const ColumnInfo& column, ColumnValue& out);

 private:
  // A tagged item that passed the directory's checks, by absolute offsets.
  struct TaggedSlot {
    std::uint32_t id;
    std::uint32_t order;  // position in the array: the later of two equal ids wins
    std::size_t start;  // absolute offsets in the record
    std::size_t end;
    bool has_flag_byte;
    bool null;
  };

  void build_tagged(const RecordView& record);
  void decode_tagged(Bytes value, std::uint8_t flags, const ColumnInfo& column, ColumnValue& out);

  std::shared_ptr<const RecordLayout> layout_;
  bool large_;
  std::vector<TaggedSlot> items_;
  std::vector<bool> wanted_;
  std::string scratch_;
};

// Decodes one record of `table`, for tests and tools that hold no cursor.
Record decode_record(Bytes data, const TableInfo& table, bool large_page_tag_format);

}  // namespace pellumo
