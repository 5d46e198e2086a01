// Rebuilding a record's key in the primary index when that index is over
// fixed columns only. Each segment is a prefix byte (0x7F for a value, 0x00
// for NULL, 0xC0 when NULLs sort high) and the value in big-endian order,
// signed integers with the sign bit flipped, floating-point values and
// dates with the sign bit flipped when positive and every bit flipped when
// negative; a descending segment is complemented whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "record/record.h"
#include "utils/bytes.h"

namespace pellumo {

class Database;

// Catalog index flags: the low half is the index's own flags, the high
// half the extended flags.
inline constexpr std::uint32_t kIndexFlagPrimary = 0x0020;
inline constexpr std::uint32_t kIndexFlagNullsHigh = 0x0800;
inline constexpr std::uint32_t kIndexFlagExtendedSegments = 0x00010000;
inline constexpr std::uint32_t kIndexFlagDotNetGuid = 0x00020000;
inline constexpr std::uint8_t kSegmentDescending = 0x40;

struct KeySegment {
  std::size_t column;  // position in the RecordLayout
  bool descending = false;
  bool tagged = false;  // a tagged column of a fixed-size type
};

struct PrimaryKey {
  std::vector<KeySegment> segments;
  bool nulls_high = false;
  bool dot_net_guid = false;
};

// The segments of an index from its catalog key list: four-byte items
// (flags, reserved, column id u16) when `flags` has the extended bit, else
// signed 16-bit column ids, negative for a descending segment. nullopt
// when a segment names no column of `layout` of a fixed-size type (a fixed
// column, or a tagged one), so that the key cannot be rebuilt.
std::optional<PrimaryKey> parse_fixed_key_segments(Bytes key_columns, std::uint32_t flags, const RecordLayout& layout);

// The primary index of the table whose tree has object id `objid`, read
// from the catalog's index records; nullopt when the table has none or it
// is not over fixed columns only.
std::optional<PrimaryKey> find_fixed_primary_key(const Database& db, std::uint32_t objid, std::uint32_t root_page,
                                                 const RecordLayout& layout);

// The normalised key of the record `record` (raw bytes that passed the
// schema check; under `large_page_tag_format` every tagged value has a flag
// byte) into `out`. False when a tagged key value is stored in a form that
// cannot be normalised (compressed, separate, several values, wrong size).
bool build_fixed_key(const PrimaryKey& key, const RecordLayout& layout, Bytes record, bool large_page_tag_format,
                     std::string& out);

}  // namespace pellumo
