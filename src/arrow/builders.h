// Column builders: each gathers one column's values of a batch into Arrow
// buffers and hands them over as an ArrowArray.
//
// A value whose variant the column's type cannot hold without loss (a
// two-byte "Unsigned byte" above 255, a compressed value in an integer
// column: shapes of damaged or unusual records) is null in that column.
// Binary columns take every value: bytes as they are, text as its UTF-8,
// GUIDs as their 16 stored bytes and numbers as their little-endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "arrow/buffer.h"
#include "arrow/c_data.h"
#include "arrow/column_plan.h"
#include "types/column_value.h"
#include "types/engine_value.h"

namespace pellumo::arrow {

// Offsets of variable-width arrays are 32-bit: no buffer of one array may
// pass this many bytes.
inline constexpr std::size_t kMaxVariableBufferBytes = 0x7FFFFFFF;

class ColumnBuilder {
 public:
  virtual ~ColumnBuilder() = default;
  // A hint: room for this many more rows.
  virtual void reserve(std::size_t rows) = 0;
  // Appends one row. Throws std::bad_alloc only.
  virtual void append(const ColumnValue& value) = 0;
  // Appends one row of the engine profile. A scalar column takes a list
  // (a multi-value stored in a column not declared multi-valued) as null.
  virtual void append_engine(const EngineValue& value) {
    static const ColumnValue kNull;
    append(value.is_list() ? kNull : value.value());
  }
  // Bytes `value` would add to the variable-width buffer (0 for fixed-width
  // columns), and the bytes in it so far.
  virtual std::size_t variable_bytes(const ColumnValue& /*value*/) const { return 0; }
  virtual std::size_t variable_size() const { return 0; }
  bool has_variable_buffer() const { return variable_; }
  std::size_t length() const { return length_; }
  // Moves the rows appended so far into `out`, which the caller then owns
  // (its release callback frees the buffers), and starts an empty array.
  virtual void finish(ArrowArray* out) = 0;

 protected:
  explicit ColumnBuilder(bool variable) : variable_(variable) {}
  std::size_t length_ = 0;

 private:
  bool variable_;
};

std::unique_ptr<ColumnBuilder> make_builder(BuilderKind kind);
// The builder a plan asks for: a list of `plan.builder` items when it is a list.
std::unique_ptr<ColumnBuilder> make_builder(const ColumnPlan& plan);

// Fills `out` as an array owning `buffers` (a buffer left without memory is
// exported as a null pointer when `absent[i]`, else as a pointer to zeroed
// bytes) and `children` (moved from; their release is called by out's).
void export_array(ArrowArray* out, std::int64_t length, std::int64_t null_count, std::vector<Buffer> buffers,
                  std::vector<bool> absent, std::vector<ArrowArray> children);

}  // namespace pellumo::arrow
