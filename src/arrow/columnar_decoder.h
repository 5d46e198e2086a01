// Records of one table decoded straight into the column sinks of an Arrow
// batch, working from the columns a record holds rather than from every
// column of the table.
//
// For each record: the fixed columns up to its last fixed id and the
// variable ones up to its last variable id are read in id order, then its
// tagged directory is walked once, each item looked up by id in a dense
// table of the exported columns (an item of a column nobody asked for
// costs one lookup). A value is written once, into its column's buffers:
// fixed-width values by copy, text converted from its code page straight
// into the UTF-8 data buffer. Columns the record does not hold are not
// touched: their rows are filled with nulls (or, for engine values, the
// column's default) in bulk when the column's next value comes or when the
// batch ends.
//
// Values that need more than a copy or a conversion (compressed values,
// multi-values, long values, engine lists) go through the same functions
// as the record decoder and the engine reading, one value at a time; so
// does a whole record whose layout the fast path does not cover (fixed ids
// past 127, a tagged directory out of order), through the record decoder
// itself. Whatever the path, the values are those the table cursor gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "arrow/builders.h"
#include "arrow/column_plan.h"
#include "cursor/engine_record.h"
#include "record/parser.h"
#include "record/record.h"
#include "types/column_value.h"
#include "types/engine_value.h"
#include "utils/bytes.h"
#include "utils/decode_string.h"

namespace pellumo::arrow {

class ColumnarDecoder {
 public:
  // `columns`: the exported columns in sink order; `fetch` resolves long
  // values (it must outlive the decoder); `max_variable_bytes`: the batch's
  // limit on a variable-width buffer, which over_limit() reports passing.
  ColumnarDecoder(std::shared_ptr<const RecordLayout> layout, const std::vector<ColumnPlan>& columns,
                  ValueProfile profile, bool large_page_tag_format, LongValueFetch fetch,
                  std::size_t max_variable_bytes);

  // Decodes the record `data` as row `row` of `sinks` (one per exported
  // column, each holding at most `row` rows). Columns the record does not
  // hold are left short of the row. Throws std::bad_alloc only.
  void decode(Bytes data, std::size_t row, std::vector<ColumnSink>& sinks);

  // Fills every sink up to `rows` rows with what a record that does not
  // hold the column gives: null, or under the engine profile the column's
  // default.
  void pad(std::size_t rows, std::vector<ColumnSink>& sinks);

  // Whether a variable-width buffer has passed the limit since the last
  // reset_limit(): the record just decoded must then open the next batch
  // (unless it is the batch's first).
  bool over_limit() const { return over_limit_; }
  // RecordParser::header_fits of the record just decoded, read off the
  // header decode() read.
  bool header_fits() const { return header_fits_; }
  void reset_limit() { over_limit_ = false; }

  // Records decoded through the record decoder rather than the fast path
  // (for tests and benchmarks).
  std::size_t slow_records() const { return slow_records_; }

 private:
  // How a value that needs no more than its bytes becomes its column's.
  enum class Op : std::uint8_t {
    Null,        // the column's type holds no value
    Boolean,     // true when the first byte is not 0
    UnsignedByte,  // by length: 1, 2, 4 or 8 bytes, null unless it fits a byte
    Copy,        // the first `width` bytes, little-endian, as they are
    Timestamp,   // 8 bytes, an engine date
    GuidText,    // 16 bytes as the GUID's text
    Uuid,        // 16 bytes in a UUID's byte order
    Text,        // text in the column's code page, as UTF-8
    Bytes,       // all bytes
    General,     // through ColumnValue (multi-valued columns, engine lists)
  };
  struct Target {
    std::uint32_t sink;
    std::uint32_t layout;  // position in the RecordLayout
    std::uint32_t id;
    Op op;
    std::uint8_t width;     // Copy: bytes copied
    std::uint32_t codepage;  // Text
    std::uint64_t fixed_offset;
    std::uint32_t space_usage;
    const ColumnInfo* column;
    const EngineValue* fallback;  // engine: the default of an absent column
    bool engine;                  // engine values (not a stored column's raw ones)
  };

  Op plain_op(const ColumnPlan& plan, std::uint8_t& width) const;
  // Row `row` of the target's sink: rows before it padded, then the value.
  void catch_up(const Target& t, std::size_t row, ColumnSink& sink) {
    if (sink.length() < row) [[unlikely]]
      fill_to(t, row, sink);
  }
  void fill_to(const Target& t, std::size_t row, ColumnSink& sink);
  // The usual values (numbers, booleans, ASCII text, bytes) are written
  // here; put_other takes the rest. Inlined into the loops over fixed and
  // variable columns, which write most values (a call per value there cost
  // 8% of a narrow table's instructions); the tagged path, where the call
  // matters less and a larger body cost wide tables time, calls put_plain.
  [[gnu::always_inline]] void put_plain_inline(const Target& t, Bytes value, ColumnSink& sink) {
    if (value.empty()) {
      sink.append_null();  // an empty value is no value, whatever the type
      return;
    }
    switch (t.op) {
      case Op::Copy:
        if (value.size() < t.width) break;
        switch (t.width) {
          case 1: sink.append_fixed(read_u8(value, 0).value_or(0)); return;
          case 2: sink.append_fixed(read_u16_le(value, 0).value_or(0)); return;
          case 4: sink.append_fixed(read_u32_le(value, 0).value_or(0)); return;
          default: sink.append_fixed(read_u64_le(value, 0).value_or(0)); return;
        }
      case Op::Bytes:
        sink.append_variable(value.data(), value.size());
        note_variable(sink);
        return;
      case Op::Boolean:
        sink.append_bool(read_u8(value, 0).value_or(0) != 0);
        return;
      case Op::Text:
        // ASCII, the usual text, is its own UTF-8 in every code page (and
        // no byte-order mark is ASCII); put_other decodes the rest.
        if (t.codepage != kCodepageUtf16) {
          if (ascii_prefix(value) != value.size()) break;
          sink.append_variable(value.data(), value.size());
        } else {
          // UTF-16 narrowed while it is ASCII, in place.
          if (value.size() % 2 != 0) break;
          const std::size_t units = value.size() / 2;
          std::uint8_t* at = sink.variable_space(units);
          if (at != nullptr) {  // else null: past what 32-bit offsets address
            if (narrow_ascii_prefix(value, reinterpret_cast<char*>(at)) != units) break;
            sink.commit_variable(units);
          }
        }
        note_variable(sink);
        return;
      default: break;
    }
    put_other(t, value, sink);
  }
  [[gnu::noinline]] void put_plain(const Target& t, Bytes value, ColumnSink& sink) { put_plain_inline(t, value, sink); }
  void put_other(const Target& t, Bytes value, ColumnSink& sink);
  void put_null(ColumnSink& sink) { sink.append_null(); }
  void put_tagged(const Target& t, Bytes data, bool flag_byte, bool null, ColumnSink& sink);
  // A decoded value, long values resolved here.
  void put_value(const Target& t, ColumnValue& value, ColumnSink& sink);
  void note_variable(const ColumnSink& sink) {
    if (sink.variable_size() > max_variable_bytes_) over_limit_ = true;
  }
  // The whole record through the record decoder.
  void decode_slowly(Bytes data, std::size_t row, std::vector<ColumnSink>& sinks);

  std::shared_ptr<const RecordLayout> layout_;
  ValueProfile profile_;
  bool large_;
  LongValueFetch fetch_;
  std::size_t max_variable_bytes_;
  std::vector<Target> targets_;        // in sink order
  std::vector<std::uint32_t> fixed_;   // targets of ids up to 127, by id
  std::vector<std::uint32_t> variable_;  // targets of ids 128 to 255, by id
  // Tagged targets by id: those of id 256 + i are tagged_[tagged_begin_[i]]
  // up to tagged_[tagged_begin_[i + 1]].
  std::vector<std::uint32_t> tagged_;
  std::vector<std::uint32_t> tagged_begin_;
  RecordParser parser_;  // for values and records off the fast path
  Record record_;
  std::unique_ptr<EngineRecordBuilder> engine_;
  ColumnValue value_;
  EngineValue engine_value_;
  std::string fetched_;
  bool over_limit_ = false;
  bool header_fits_ = false;
  std::size_t slow_records_ = 0;
};

}  // namespace pellumo::arrow
