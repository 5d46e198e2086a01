// EseDatabase.recover(values="engine"): a recovered record's values as the
// engine reading gives live rows (multi-valued columns split into lists,
// their separated instances fetched from the table's long-value tree,
// defaults for what the record does not hold, signed numbers, datetime and
// uuid.UUID), so that a caller sorting recovered records by a multi-valued
// column (a directory object's classes) can read them as it reads live ones.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "cursor/engine_record.h"
#include "cursor/long_value.h"
#include "page/page_source.h"
#include "python/engine_rows.h"
#include "python/module_state.h"
#include "python/py_ref.h"
#include "record/record.h"

namespace pellumo::python {

class RecoveredEngineValues {
 public:
  // `raw`, one flag per layout position: those columns keep the value the
  // raw reading gave (what `raw_columns` asks for). Borrows `pages`, which
  // must outlive this object. False with an exception set on failure.
  bool init(ModuleState& state, const PageSource& pages, const RecordLayout& layout, std::vector<bool> raw);

  // Writes the engine value of every column not kept raw over `dict`'s
  // entry (the raw reading of `row`). An instance the long-value tree no
  // longer holds is None, as a recovered long value is. False with an
  // exception set on failure.
  bool apply(const Record& row, PyObject* dict);

 private:
  PyObject* convert(const EngineValue& value) const;

  std::unique_ptr<EngineRecordBuilder> builder_;
  std::unique_ptr<LongValueReader> long_values_;
  const PageSource* pages_ = nullptr;
  EngineValueConverter engine_;
  std::vector<PyRef> keys_;
  std::vector<bool> raw_;
  std::vector<EngineValue> values_;
};

}  // namespace pellumo::python
