// One record as one JSON Lines line: the JSON of each column value, and the
// members of a record sorted by the decoded name's bytes, a repeated decoded
// name keeping the later value.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/column_value.h"
#include "types/engine_value.h"
#include "utils/json_text.h"

namespace pellumo {
namespace json {

// One column value as JSON: Null -> null, Boolean -> true/false, the signed
// integers with their sign, the unsigned ones and DateTime/Currency as
// unsigned decimals, floats as in format_double (non-finite -> 0), Guid as its
// quoted text, Text as a string, Binary/MultiValue/LongValue as quoted hex.
void append_column_value(std::string& out, const ColumnValue& value);

// One engine value (types/engine_value.h) as JSON: a list as an array of its
// items, a DateTime as its ISO 8601 text in UTC ending in Z
// ("2021-02-10T22:56:43.071898Z", the fraction only when not zero), a GUID
// as its UUID text, every other value as append_column_value writes it.
void append_engine_value(std::string& out, const EngineValue& value);

}  // namespace json

// Serialises records as JSON Lines.
//
// Every record of one table has the same names in the same order, so the
// member layout (decoded names, sort order, which duplicates survive, and the
// rendered `"name":` text) is computed once and reused for as long as the
// names match; a record with other names rebuilds it. Reusing one writer
// across records therefore costs one name comparison per column, and nothing
// is allocated per record once `out` has grown.
class JsonLineWriter {
 public:
  // Appends one record as `{...}` and a line feed to `out`; an empty record
  // gives "{}\n". `Record` is record-like: size(), name(i) (the raw column-name
  // bytes, convertible to std::string_view) and value(i) (a ColumnValue), in
  // record order — the shape of the record decoder's Record.
  template <class Record>
  void append_record(std::string& out, const Record& record) {
    append_members(
        out, record.size(), [&](std::size_t i) { return std::string_view(record.name(i)); },
        [&](std::string& o, std::size_t i) { json::append_column_value(o, record.value(i)); });
  }

  // The same for any sequence of n members: name_at(i) gives a view of the
  // raw name bytes of member i (the bytes must outlive the call), and
  // append_value_at(out, i) appends the JSON of its value.
  template <class NameAt, class AppendValueAt>
  void append_members(std::string& out, std::size_t n, NameAt&& name_at, AppendValueAt&& append_value_at) {
    if (!layout_matches(n, name_at)) {
      names_scratch_.clear();
      for (std::size_t i = 0; i < n; ++i) names_scratch_.emplace_back(name_at(i));
      build_layout(names_scratch_);
      names_scratch_.clear();
    }
    if (members_.empty()) {
      out.append("{}\n", 3);
      return;
    }
    for (const Member& m : members_) {
      out.append(prefixes_.data() + m.prefix_offset, m.prefix_size);
      append_value_at(out, m.record_index);
    }
    out.append("}\n", 2);
  }

  // The record positions written, in output order (for tests and callers that
  // want the layout itself). Valid after append_record or prepare.
  std::vector<std::size_t> member_order() const;

  // Builds the layout for a record whose names are `names`, in record order.
  void prepare(std::span<const std::string_view> names);

 private:
  struct Member {
    std::size_t record_index;
    std::size_t prefix_offset;  // into prefixes_: `{"name":` or `,"name":`
    std::size_t prefix_size;
  };

  template <class NameAt>
  bool layout_matches(std::size_t n, NameAt&& name_at) const {
    if (!has_layout_ || n != raw_name_ends_.size()) return false;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view name = name_at(i);
      const std::size_t end = raw_name_ends_[i];
      if (name != std::string_view(raw_names_).substr(begin, end - begin)) return false;
      begin = end;
    }
    return true;
  }

  void build_layout(std::span<const std::string_view> names);

  bool has_layout_ = false;
  std::string raw_names_;                   // the names of the cached layout, concatenated
  std::vector<std::size_t> raw_name_ends_;  // end offset of each name in raw_names_
  std::string prefixes_;
  std::vector<Member> members_;
  std::vector<std::string_view> names_scratch_;
};

}  // namespace pellumo
