// The options of the record readers beyond the table name: which columns
// (`columns`, a projection in the caller's order) and which reading of the
// values (`values`: "raw", the stored bits, or "engine", what the engine's
// API returns: lists, defaults, signed numbers, datetime and uuid.UUID).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cursor/engine_record.h"
#include "cursor/table_cursor.h"
#include "python/module_state.h"
#include "python/py_ref.h"
#include "types/engine_value.h"

namespace pellumo::python {

enum class ValuesMode { Raw, Engine };

// `values` argument: null (omitted) is raw. ValueError for another text,
// TypeError for a non-str; false with the exception set.
bool parse_values_mode(PyObject* obj, ValuesMode& out);

// `columns` argument against a table's layout: null or None keeps every
// column in layout order (nullopt). Otherwise a list or tuple of str, each
// the name of a column (compared by its UTF-8 bytes); TypeError for another
// type, ValueError for an unknown or repeated name. `argument` names the
// argument in the errors.
bool parse_columns(PyObject* obj, const RecordLayout& layout, std::optional<std::vector<std::size_t>>& out,
                   const char* argument = "columns");

// An engine value as a Python object: a list for multi-valued cells,
// datetime (UTC) for dates, uuid.UUID for GUIDs, otherwise as the raw
// reading converts it. Null with an exception set on failure.
class EngineValueConverter {
 public:
  // Takes uuid.UUID from `state` (importing it the first time) and the
  // datetime C API.
  bool init(ModuleState& state);
  PyObject* convert(const EngineValue& value) const;
  PyObject* convert_scalar(const ColumnValue& value) const;

 private:
  PyObject* date_time(std::int64_t micros) const;
  PyObject* uuid(const GuidBytes& guid) const;
  PyRef uuid_class_;
  PyRef bytes_keyword_;
};

// Turns the current record of a cursor into a dict by the options above.
class RowConverter {
 public:
  // Configures `cursor` (engine mode passes over deleted records).
  bool init(ModuleState& state, TableCursor& cursor, ValuesMode mode,
            std::optional<std::vector<std::size_t>> columns);
  PyRef convert(TableCursor& cursor);

 private:
  ValuesMode mode_ = ValuesMode::Raw;
  std::vector<std::size_t> columns_;  // layout positions, in output order
  std::vector<PyRef> keys_;
  PyRef shape_;
  EngineValueConverter engine_;
  std::unique_ptr<EngineRecordBuilder> builder_;
  std::vector<EngineValue> values_;
};

}  // namespace pellumo::python
