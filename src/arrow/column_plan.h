// How each column of a table becomes an Arrow field: its type, its builder
// and its metadata, chosen per column from the table below for a value
// profile. The raw profile mirrors the Python values read_table gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/table_info.h"

namespace pellumo::arrow {

// The typing of values. Raw: integers as stored (DateTime, Currency and
// 64-bit columns as their unsigned 64 bits), GUIDs as text, multi-valued
// columns as their raw bytes. Engine: the values the engine's API returns
// (types/engine_value.h): multi-valued columns as list<T> of the instance
// type, DateTime as timestamp[us, UTC], GUID as the canonical arrow.uuid
// extension type (fixed_size_binary(16), the UUID's big-endian bytes),
// Long long and Currency as int64; the rest as in the raw profile.
enum class ValueProfile : std::uint8_t { Raw, Engine };

// The builder that turns a column's values into its Arrow array.
enum class BuilderKind : std::uint8_t {
  Null,     // "n": no buffers, every value null
  Boolean,  // "b": bit-packed
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  UInt64,
  Float32,
  Float64,
  Utf8,    // "u": text, and GUIDs as their 36-character text
  Binary,  // "z": bytes of any value
  // Engine profile only.
  Int64,      // "l"
  Timestamp,  // "tsu:UTC": engine dates, microseconds since the Unix epoch
  Uuid,       // "w:16" with the arrow.uuid extension: GUIDs in UUID byte order
};

// A field of the exported schema. `metadata` is already in the interface's
// binary form (see encode_metadata); children serve nested types.
struct FieldSpec {
  std::string format;
  std::string name;  // UTF-8
  std::string metadata;
  std::int64_t flags = 0;
  std::vector<FieldSpec> children;
};

struct ColumnPlan {
  std::size_t layout_index = 0;  // position in the table's RecordLayout
  const ColumnInfo* column = nullptr;
  BuilderKind builder = BuilderKind::Null;  // of the items, for a list
  bool list = false;                        // list<builder> ("+l")
  bool stored = false;                      // raw-profile values in an engine stream
  FieldSpec field;
};

// Column flag bits of the catalog consulted here.
inline constexpr std::uint32_t kColumnFlagMultiValued = 0x8;

// The plan for one column under `profile`.
ColumnPlan plan_column(const ColumnInfo& column, std::size_t layout_index, ValueProfile profile);

// The Arrow format string of a builder kind ("b", "C", "s", ...).
const char* builder_format(BuilderKind kind);

// Key/value pairs in the interface's metadata encoding: an int32 count, then
// for each pair an int32 length and the key's bytes, an int32 length and the
// value's bytes, all in native byte order. Empty for no pairs.
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs);

// `bytes` decoded as UTF-8 with each invalid sequence replaced by U+FFFD, as
// names are decoded everywhere else.
std::string utf8_name(std::string_view bytes);

}  // namespace pellumo::arrow
