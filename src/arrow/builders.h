// Column sinks: each gathers one column's values of a batch into Arrow
// buffers and hands them over as an ArrowArray.
//
// Two ways in. The typed appends (append_fixed, append_bool,
// append_variable, variable_space) write a value the caller has already
// put in the column's own type straight into the buffers: what the
// columnar decoder uses. append(ColumnValue) and append_engine(EngineValue)
// convert a decoded value first, by the rules below.
//
// A value whose variant the column's type cannot hold without loss (a
// two-byte "Unsigned byte" above 255, a compressed value in an integer
// column: shapes of damaged or unusual records) is null in that column.
// Binary columns take every value: bytes as they are, text as its UTF-8,
// GUIDs as their 16 stored bytes and numbers as their little-endian bytes.
//
// Rows need not be appended one by one: pad_to() fills every row up to a
// given one with nulls in bulk, so a decoder that writes only the columns a
// record holds leaves the others to be padded when their next value comes
// (or when the batch ends).
//
// Nulls that open a batch are only counted until its first value comes, and
// a batch that ends with none gives an array whose buffers are shared zeroes
// (all rows null, every offset 0): in a wide, sparse table most columns of a
// batch hold nothing, and they then cost no memory, no zeroing and no
// allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "arrow/array_pool.h"
#include "arrow/buffer.h"
#include "arrow/c_data.h"
#include "arrow/column_plan.h"
#include "types/column_value.h"
#include "types/engine_value.h"

namespace pellumo::arrow {

// Offsets of variable-width arrays are 32-bit: no buffer of one array may
// pass this many bytes.
inline constexpr std::size_t kMaxVariableBufferBytes = 0x7FFFFFFF;

class ColumnSink {
 public:
  // A sink of `kind` values, or of lists of them. `slot`, and `slot + 1`
  // for a list's items, are its slots in the pool its batches are
  // recycled through (see slots_needed).
  ColumnSink(BuilderKind kind, bool list, std::size_t slot);
  explicit ColumnSink(const ColumnPlan& plan, std::size_t slot) : ColumnSink(plan.builder, plan.list, slot) {}
  ColumnSink(ColumnSink&&) noexcept = default;
  ColumnSink& operator=(ColumnSink&&) noexcept = default;

  // Pool slots a sink of this plan takes.
  static std::size_t slots_needed(const ColumnPlan& plan) { return plan.list ? 2 : 1; }

  BuilderKind kind() const { return kind_; }
  bool is_list() const { return items_ != nullptr; }
  std::size_t length() const { return length_; }
  // Whether the column has a variable-width data buffer (its own or its
  // items'), and the bytes in it so far.
  bool has_variable_buffer() const;
  std::size_t variable_size() const { return items_ ? items_->variable_size() : data_.size(); }

  // A hint: room for this many rows in all.
  void reserve(std::size_t rows);

  // Appends nulls until the column holds `rows` rows.
  void pad_to(std::size_t rows) {
    if (rows > length_) append_nulls(rows - length_);
  }
  void append_nulls(std::size_t count);
  void append_null() { append_nulls(1); }

  // Converting appends.
  void append(const ColumnValue& value);
  // A scalar column takes a list (a multi-value stored in a column not
  // declared multi-valued) as null, a list column a single value.
  void append_engine(const EngineValue& value);

  // Typed appends, for a sink whose kind stores T (Boolean: append_bool;
  // Utf8 and Binary: the variable ones). Never for lists.
  template <class T>
  void append_fixed(const T& value) {
    if (deferred_) [[unlikely]]
      write_deferred_nulls();
    std::memcpy(values_.extend(sizeof(T)), &value, sizeof(T));
    add_valid();
  }
  void append_bool(bool value) {
    if (deferred_) [[unlikely]]
      write_deferred_nulls();
    if ((length_ & 7) == 0) values_.append_value<std::uint8_t>(0);
    if (value) values_.data()[length_ >> 3] |= static_cast<std::uint8_t>(1u << (length_ & 7));
    add_valid();
  }
  // A value of n bytes; null when the data would pass what 32-bit offsets
  // address.
  void append_variable(const void* bytes, std::size_t n) {
    if (deferred_) [[unlikely]]
      write_deferred_nulls();
    if (n > kMaxVariableBufferBytes - data_.size()) {
      append_null();
      return;
    }
    data_.append(bytes, n);
    end_variable();
  }
  // Room for a value of at most n bytes, written by the caller, who then
  // calls commit_variable with the bytes written; nullptr (and nothing to
  // commit) when n bytes could pass what 32-bit offsets address: the value
  // is then null.
  std::uint8_t* variable_space(std::size_t n) {
    if (deferred_) [[unlikely]]
      write_deferred_nulls();
    if (n > kMaxVariableBufferBytes - data_.size()) {
      append_null();
      return nullptr;
    }
    data_.reserve(data_.size() + n);
    return data_.data() + data_.size();
  }
  void commit_variable(std::size_t written) {
    data_.resize_uninitialized(data_.size() + written);
    end_variable();
  }

  // Drops the rows from `rows` on (a record that did not fit its batch).
  void truncate(std::size_t rows);

  // Moves the rows appended so far into `out`, which the caller then owns
  // (its release gives the buffers back to `pool`), and starts an empty
  // array with buffers the pool kept, if any.
  void finish(ArrowArray* out, ArrayPool& pool);

 private:
  // The validity bitmap is kept zeroed ahead of the rows (validity_room_
  // of them), so a null row costs nothing but its count and a valid one a
  // bit.
  void add_valid() {
    if (length_ == validity_room_) make_validity_room(length_ + 1);
    validity_.data()[length_ >> 3] |= static_cast<std::uint8_t>(1u << (length_ & 7));
    ++length_;
  }
  void make_validity_room(std::size_t rows);
  // The batch's rows so far are nulls only counted: writes them into the
  // buffers, as a value is about to follow.
  void write_deferred_nulls();
  // Exports the batch's rows, all nulls only counted, over shared zeroes;
  // false (nothing done) when there are too many rows for them.
  bool finish_deferred(ArrowArray* out, ArrayPool& pool);
  void end_variable() {
    values_.append_value(static_cast<std::int32_t>(data_.size()));
    add_valid();
  }
  void append_list(std::span<const ColumnValue> items);

  BuilderKind kind_;
  std::size_t width_;  // bytes per row of a fixed-width kind; 0 otherwise
  std::size_t slot_;
  std::size_t length_ = 0;
  std::size_t null_count_ = 0;
  Buffer validity_;  // a bit per row, set for a value; zero past length_
  std::size_t validity_room_ = 0;  // rows the bitmap's bytes cover
  std::size_t data_hint_ = 0;      // the data bytes of the previous batch
  // The rows so far (length_ of them) are nulls not yet in the buffers, and
  // the buffers are as the batch began; reserve_rows_ is the room asked for.
  bool deferred_ = true;
  std::size_t reserve_rows_ = 0;
  // Fixed-width kinds: the values; Boolean: their bits; Utf8, Binary and
  // lists: the int32 offsets, length + 1 of them.
  Buffer values_;
  Buffer data_;  // Utf8 and Binary: the bytes of the values
  std::unique_ptr<ColumnSink> items_;
};

// Arrow's row limit for one array of 32-bit offsets also bounds a list's
// items: a list value that would pass it is null.
inline constexpr std::size_t kMaxListItems = 0x7FFFFFFF;

}  // namespace pellumo::arrow
