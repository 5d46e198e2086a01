// The schema check a candidate record must pass before it is recovered:
// its header, fixed part, variable offsets and tagged directory must fit
// the table's columns exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "record/record.h"
#include "utils/bytes.h"

namespace pellumo {

class RecordCheck {
 public:
  RecordCheck(const RecordLayout& layout, bool large_page_tag_format);

  // Whether the four header bytes at the start of `at` can open a record
  // of this table: the last fixed id is 0 or one of its fixed columns, the
  // last variable id 127 or one of its variable columns, and the offset of
  // the variable-offset array is where the fixed columns 1..F and their
  // null bitmap end.
  bool plausible_header(Bytes at) const;

  // Checks the record at the start of `room`. exact: `room` is the record
  // (from a tag) and must be used whole. Otherwise the record's end is not
  // known and it may use any prefix of `room`. Returns the record's length,
  // or nullopt when it does not fit the schema.
  std::optional<std::size_t> check(Bytes room, bool exact) const;

  // Where the tagged area of a record that passed check() begins: the end
  // of its fixed and variable parts.
  static std::size_t tagged_start(Bytes record);

 private:
  // The tagged part of a record whose fixed and variable parts passed.
  std::optional<std::size_t> check_tagged(const RecordView& view, bool exact) const;

  bool large_;
  std::uint32_t last_fixed_id_ = 0;
  std::uint32_t last_variable_id_ = 127;
  std::array<bool, 128> fixed_ids_{};
  std::array<bool, 256> variable_ids_{};
  std::array<std::uint32_t, 128> offset_array_at_{};  // by last fixed id
  std::vector<const ColumnInfo*> tagged_;  // by id - 256
};

}  // namespace pellumo
