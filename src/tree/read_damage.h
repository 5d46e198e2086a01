// What one read of a table could not read, counted by the reader as it goes
// (no second walk): the pages its tree walk refused, by reason; the entries
// it skipped; the records it could not decode; the long values it left
// unresolved. Complete once the read has reached its end. Every output of a
// read (the Python methods, the Arrow stream, the exports) reports it, so a
// partial answer never passes for a whole one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "tree/tree_walker.h"

namespace pellumo {

struct ReadDamage {
  // One count per Refusal value (None stays 0).
  static constexpr std::size_t kReasonCount = static_cast<std::size_t>(Refusal::TooDeep) + 1;

  std::array<std::uint64_t, kReasonCount> refused{};
  // Of the OutOfRange refusals: pages numbered past the file's last page.
  // Their parent passed its checks, so the engine wrote those numbers: the
  // file is shorter than the one the engine wrote.
  std::uint64_t beyond_end = 0;
  std::uint64_t entries_skipped = 0;      // tags or entries that could not be read
  std::uint64_t records_undecodable = 0;  // records too short for their own header: read as nulls
  std::uint64_t values_unresolved = 0;    // long values whose pages were refused: read as null
  std::uint32_t file_pages = 0;           // the file's page count, for the text

  // Counts one refused page of a file of `file_pages` pages.
  void refuse(std::uint32_t page, Refusal reason);
  std::uint64_t pages_refused() const;
  std::uint64_t refused_for(Refusal reason) const { return refused[static_cast<std::size_t>(reason)]; }
  bool any() const { return pages_refused() != 0 || entries_skipped != 0 || records_undecodable != 0 ||
                            values_unresolved != 0; }
  // Adds the counts of another read of the same file.
  void add(const ReadDamage& other);
  // The counts beyond those of `told`, each at least 0: what a second read
  // of the same tree met that the first one, already reported, did not.
  ReadDamage without(const ReadDamage& told) const;

  friend bool operator==(const ReadDamage&, const ReadDamage&) = default;
};

// The counts as a person reads them, "; "-separated, e.g. "3 pages beyond
// the end of the file (71 pages): the file is truncated; 2 entries
// skipped". Empty when nothing was damaged.
std::string describe_damage(const ReadDamage& damage);

// The warning about one table read: "<file>: table <table>: <description>;
// run `pellumo check <file>` for details". `file` and `table` are raw bytes,
// shown as UTF-8 with U+FFFD for invalid sequences; the file is quoted for a
// POSIX shell where it needs to be.
std::string damage_warning_text(std::string_view file, std::string_view table, const ReadDamage& damage);

}  // namespace pellumo
