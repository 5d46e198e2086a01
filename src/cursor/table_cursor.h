// Reading the records of one table in order: leaf pages left to right,
// entries of a page in tag order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "catalog/table_info.h"
#include "cursor/long_value.h"
#include "error/ese_error.h"
#include "page/page.h"
#include "page/page_source.h"
#include "page/leaf_scan.h"
#include "record/parser.h"
#include "record/record.h"
#include "tree/read_damage.h"
#include "tree/tree_walker.h"

namespace pellumo {

// Borrows the page source and the TableInfo: must not outlive them.
//
// Two ways to read:
//   - next_row(): each record as an owned Record (the caller keeps it);
//   - advance() / current(): the cursor decodes into one Record it owns and
//     reuses, valid until the next advance(); nothing is allocated per value
//     once its buffers have grown. What bulk readers use:
//
//       PELLUMO_TRY(TableCursor cursor, db.open_table(name));
//       const RecordLayout& columns = cursor.layout();   // names, once
//       while (true) {
//         PELLUMO_TRY(bool more, cursor.advance());
//         if (!more) break;
//         const Record& row = cursor.current();
//         for (std::size_t i = 0; i < row.size(); ++i) use(columns.name(i), row.value(i));
//       }
// What leads the message of an error met while moving through a table.
inline constexpr std::string_view kErrorReadingRecord = "Error reading record: ";

class TableCursor {
 public:
  // Positions a cursor before the first record of the table's tree, walked
  // as every reader walks it (leaves in key order, each page checked, a
  // refused page skipped). Does not fail: a root that is not a page of the
  // file, or fails its checks, gives a cursor without records whose
  // damage() holds that refusal.
  static Result<TableCursor> open(const PageSource& pages, const TableInfo& table);

  TableCursor(TableCursor&&) noexcept = default;
  TableCursor& operator=(TableCursor&&) noexcept = default;

  // The next record, with long values resolved; nullopt at the end (and
  // again on every later call). Damaged pages are skipped, so this does not
  // fail once the cursor is open.
  Result<std::optional<Record>> next_row();

  // Moves to the next record and decodes it into current(). true: a
  // record; false: the end. Errors as next_row().
  Result<bool> advance();
  const Record& current() const { return record_; }

  // For readers that decode entries themselves (the Arrow stream): moves
  // past whatever is left of the current page to the next leaf page that
  // holds records and returns its entries, located in one pass (the
  // entries advance() would decode, in the same order); nullptr at the end.
  // Valid until the cursor moves again. The entries it passed over are in
  // damage() already; the reader counts what it decodes with
  // count_record().
  const LeafScan* next_page();
  // Counts in damage() what decoding `data` (an entry of next_page()) as a
  // record costs, as advance() counts it, plus `unresolved` long values the
  // reader could not fetch (with fetch_long_value_uncounted). For each
  // record the reader keeps, once.
  void count_record(Bytes data, std::uint64_t unresolved) {
    count_record(RecordParser::header_fits(data), unresolved);
  }
  // The same, for a reader that has read the record's header already:
  // `header_fits` is what RecordParser::header_fits gives for it.
  void count_record(bool header_fits, std::uint64_t unresolved) {
    if (!header_fits) ++damage_->records_undecodable;
    damage_->values_unresolved += unresolved;
  }
  // fetch_long_value without counting a failure: for readers that may
  // decode a record twice and count its damage once.
  bool fetch_long_value_uncounted(Bytes reference, std::string& out);

  // Decodes only the columns whose layout position is true in `wanted`
  // (empty: all) from the next record on; the others are Null in current().
  void decode_only(std::vector<bool> wanted);
  Record& current() { return record_; }

  const RecordLayout& layout() const { return *layout_; }
  const std::shared_ptr<const RecordLayout>& shared_layout() const { return layout_; }
  const TableInfo& table() const { return *table_; }
  std::uint32_t page_number() const { return page_number_; }

  // Replaces the LongValue references of `record` (a record of this table)
  // by the values they name, each found by key in the long-value tree; a
  // value that cannot be resolved becomes null.
  void resolve_long_values(Record& record);

  // The bytes of the long value `reference` names, into `out`; false when
  // it cannot be fetched. Shares the tree index of resolve_long_values.
  bool fetch_long_value(Bytes reference, std::string& out);

  // What this cursor's reading could not read so far: pages refused, entries
  // skipped, records undecodable, long values unresolved (by
  // resolve_long_values and fetch_long_value alike). Complete once advance()
  // has returned false.
  const ReadDamage& damage() const { return *damage_; }

  // Whether advance() passes over entries whose tag is flagged deleted,
  // as the engine's own cursors do. Off by default: such entries are read.
  void set_skip_deleted(bool skip) { skip_deleted_ = skip; }

 private:
  TableCursor(const PageSource& pages, const TableInfo& table, std::optional<TreeWalker> walker,
              std::shared_ptr<ReadDamage> damage);
  void enter_page(const LeafPage& leaf);

  const PageSource* pages_;
  const TableInfo* table_;
  std::shared_ptr<const RecordLayout> layout_;
  Page page_;
  std::uint32_t page_number_;
  LeafScan scan_;                // the entries of page_
  std::size_t entry_index_ = 0;  // the next of them to decode
  std::optional<TreeWalker> walker_;  // none when the root was refused
  RecordParser parser_;
  Record record_;
  std::unique_ptr<LongValueReader> long_values_;  // made on the first reference
  bool skip_deleted_ = false;
  // Shared with the walker's callbacks, so that it survives moves of the cursor.
  std::shared_ptr<ReadDamage> damage_;
};

}  // namespace pellumo
