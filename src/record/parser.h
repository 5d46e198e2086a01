// Decoding the data of a table's leaf entry into a Record.
//
// Record layout (little-endian; offsets from the record's first byte):
//   0: F, last fixed column id present; 1: V, last variable column id;
//   2: P, u16 offset of the variable-offset array;
//   4: fixed columns 1..F, each as wide as its space_usage, followed by a
//      null bitmap of ceil(F/8) bytes ending at P (bit id-1 set: NULL);
//   P: one u16 per variable column 128..V (bits 0-14 end offset, bit 15 NULL);
//   then the variable data, then the tagged area: 4-byte items (u16 column
//   id, u16 offset word) followed by the items' data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "error/ese_error.h"
#include "record/record.h"
#include "types/column_value.h"
#include "utils/bytes.h"

namespace pellumo {

// Flag-byte bits of a tagged value.
inline constexpr std::uint8_t kTaggedFlagCompressed = 0x02;
inline constexpr std::uint8_t kTaggedFlagLongValue = 0x04;
inline constexpr std::uint8_t kTaggedFlagMultiValue = 0x08;
inline constexpr std::uint8_t kTaggedFlagNull = 0x20;  // large-page layout only

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

  // Whether `data` holds a record's header and the variable-offset array it
  // points at starts inside the record. A record that does not decodes to
  // nulls (every column a reader may want is lost), which readers count as
  // damage.
  static bool header_fits(Bytes data);

  // The value of one column from its bytes, by the column's type. Fails
  // only with UnknownCodepage for text in a code page decode_string refuses.
  // "Long Binary" bytes found in a record are data and come back as Binary.
  static Result<ColumnValue> parse_column_value(Bytes bytes, const ColumnInfo& column);
  // The same into `out`; false (out then Null) where the above fails.
  static bool parse_column_value_into(Bytes bytes, const ColumnInfo& column, ColumnValue& out);

 private:
  struct TaggedItem {
    std::uint32_t id;
    std::uint32_t order;  // position in the array: the later of two equal ids wins
    std::size_t start;  // absolute offsets in the record
    std::size_t end;
    bool has_flag_byte;
    bool null;
  };

  void build_tagged(Bytes data, std::size_t t);
  void decode_tagged(Bytes value, std::uint8_t flags, const ColumnInfo& column, ColumnValue& out);

  std::shared_ptr<const RecordLayout> layout_;
  bool large_;
  std::vector<TaggedItem> items_;
  std::vector<bool> wanted_;
  std::string scratch_;
};

// Decodes one record of `table`, for tests and tools that hold no cursor.
Record decode_record(Bytes data, const TableInfo& table, bool large_page_tag_format);

}  // namespace pellumo
