// A table as an Arrow C stream: record batches built straight from the
// table cursor, for any consumer of the Arrow C data interface.
//
//   PELLUMO_TRY(auto source, arrow::TableExport::make(db, "SruDbIdMapTable", {}));
//   ArrowArrayStream stream;
//   PELLUMO_CHECK(source.export_stream(&stream));   // a new cursor each time
//   ... stream.get_next(&stream, &batch) until batch.release == nullptr ...
//   stream.release(&stream);
//
// Nothing here touches Python: streams may be read on any thread, and two
// streams (over one database or two) may be read at the same time. A stream
// shares ownership of the Database, so it may outlive every other owner.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/c_data.h"
#include "arrow/column_plan.h"
#include "database/database.h"
#include "error/ese_error.h"
#include "tree/read_damage.h"

namespace pellumo::arrow {

inline constexpr std::size_t kDefaultBatchRows = 65536;
inline constexpr std::size_t kDefaultMaxVariableBytes = std::size_t{64} << 20;

struct ExportOptions {
  // Column names (raw bytes) in output order; nullopt: every column of the
  // table in ascending column id. Only these columns are decoded.
  std::optional<std::vector<std::string>> columns;
  // A batch holds at most this many records (0 counts as 1)...
  std::size_t batch_rows = kDefaultBatchRows;
  // ...and ends before the record that would take a variable-width buffer
  // past this many bytes. A batch always holds at least one record, so one
  // record larger than this makes a batch of its own.
  std::size_t max_variable_bytes = kDefaultMaxVariableBytes;
  ValueProfile profile = ValueProfile::Raw;
  // Columns (raw names) typed by the raw profile whatever `profile` says:
  // their stored values beside the engine's reading of the others, from
  // the same records. Applications that keep FILETIMEs in DateTime columns
  // need the stored 64 bits, which the engine's dates (microseconds) cut.
  // Each must be a column of the table (ColumnNotFound otherwise); with
  // `columns` given, one of those.
  std::vector<std::string> raw_columns;
};

// Told once of what a stream's reading could not read (tree/read_damage.h):
// when get_next reaches the end (finished: true), or when a stream that was
// read from is released before its end (finished: false). Called on the
// thread that calls get_next or release. A non-empty return at the end fails
// that get_next with EIO and the returned text as get_last_error, instead
// of ending the stream: how a caller turns damage into a failure.
using StreamDamageHandler = std::function<std::string(const ReadDamage& damage, bool finished)>;

// The plan of one table's export: cheap to copy, immutable, shareable
// between threads.
class TableExport {
 public:
  // Fails with TableNotFound, or ColumnNotFound naming the first requested
  // column the table lacks.
  static Result<TableExport> make(std::shared_ptr<const Database> db, const std::string& table_name,
                                  ExportOptions options);

  const std::vector<ColumnPlan>& columns() const;
  const TableInfo& table() const;
  const ExportOptions& options() const;

  // Fills `out` (which the caller then owns and releases) with the schema of
  // the batches: a struct with one field per column. Throws std::bad_alloc only.
  void export_schema(ArrowSchema* out) const;

  // Opens a new cursor on the table and fills `out` with a stream over it;
  // the caller owns the stream. Fails with the error of opening the cursor.
  // A cursor error part-way ends the stream: the records before it are
  // delivered first, then get_next returns EIO and get_last_error the
  // message "Error reading record: ...". Throws std::bad_alloc only.
  // `on_damage`, when given, is told what the reading could not read.
  Result<void> export_stream(ArrowArrayStream* out, StreamDamageHandler on_damage = {}) const;

  struct Plan;

 private:
  explicit TableExport(std::shared_ptr<const Plan> plan) : plan_(std::move(plan)) {}
  std::shared_ptr<const Plan> plan_;
};

// Fills `out` with the schema `fields` describe, as children of a struct
// whose metadata is `metadata`. Throws std::bad_alloc only.
void export_struct_schema(ArrowSchema* out, const std::vector<FieldSpec>& fields, const std::string& metadata);

}  // namespace pellumo::arrow
