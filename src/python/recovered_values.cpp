#include "python/recovered_values.h"

#include "python/convert.h"

namespace pellumo::python {

bool RecoveredEngineValues::init(ModuleState& state, const PageSource& pages, const RecordLayout& layout,
                                 std::vector<bool> raw) {
  if (!engine_.init(state)) return false;
  pages_ = &pages;
  // The builder keeps its own layout of the same table: the positions are
  // those of the scanner's records.
  builder_ = std::make_unique<EngineRecordBuilder>(std::make_shared<const RecordLayout>(layout.table()));
  raw_ = std::move(raw);
  raw_.resize(layout.size(), false);
  keys_.clear();
  for (std::size_t i = 0; i < layout.size(); ++i) {
    keys_.push_back(decode_utf8_replace(layout.name(i)));
    if (!keys_.back()) return false;
  }
  return true;
}

PyObject* RecoveredEngineValues::convert(const EngineValue& value) const {
  if (!value.is_list()) return engine_.convert(value);
  const auto items = value.items();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    // Still a reference: the instance is gone from the long-value tree.
    PyObject* item = items[i].kind() == ValueKind::LongValue ? Py_NewRef(Py_None) : engine_.convert_scalar(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

bool RecoveredEngineValues::apply(const Record& row, PyObject* dict) {
  if (row.size() != keys_.size()) {
    PyErr_Format(PyExc_SystemError, "record of %zu values for %zu columns", row.size(), keys_.size());
    return false;
  }
  const RecordLayout& layout = builder_->layout();
  auto fetch = [this, &layout](Bytes reference, std::string& out) {
    if (!long_values_) long_values_ = std::make_unique<LongValueReader>(*pages_, layout.table());
    // An empty value is one the tree no longer holds.
    return long_values_->fetch(reference, out) && !out.empty();
  };
  builder_->build(row, LongValueFetch(fetch), values_);
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (raw_[i]) continue;
    PyObject* value = convert(values_[i]);
    if (value == nullptr) return false;
    const int failed = PyDict_SetItem(dict, keys_[i].get(), value);
    Py_DECREF(value);
    if (failed < 0) return false;
  }
  return true;
}

}  // namespace pellumo::python
