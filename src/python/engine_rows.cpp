#include "python/engine_rows.h"

#include <datetime.h>

#include <string_view>
#include <unordered_set>

#include "python/convert.h"
#include "utils/hex.h"

namespace pellumo::python {

bool parse_values_mode(PyObject* obj, ValuesMode& out) {
  out = ValuesMode::Raw;
  if (obj == nullptr) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'values': must be str, not %.100s", Py_TYPE(obj)->tp_name);
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(obj, "raw") == 0) return true;
  if (PyUnicode_CompareWithASCIIString(obj, "engine") == 0) {
    out = ValuesMode::Engine;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "Invalid values: %R (expected: raw, engine)", obj);
  return false;
}

bool parse_columns(PyObject* obj, const RecordLayout& layout, std::optional<std::vector<std::size_t>>& out,
                   const char* argument) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a list of str or None, not %.100s", argument,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, argument));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::vector<std::size_t> positions;
  std::unordered_set<std::size_t> seen;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected str items, not %.100s", argument,
                   Py_TYPE(name)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) return false;
    auto at = layout.index_of(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!at) {
      PyErr_Format(PyExc_ValueError, "Column not found: %U", name);
      return false;
    }
    if (!seen.insert(*at).second) {
      PyErr_Format(PyExc_ValueError, "Column named twice: %U", name);
      return false;
    }
    positions.push_back(*at);
  }
  out = std::move(positions);
  return true;
}

bool EngineValueConverter::init(ModuleState& state) {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
  }
  if (state.uuid_class == nullptr) {
    PyRef module = PyRef::steal(PyImport_ImportModule("uuid"));
    if (!module) return false;
    state.uuid_class = PyObject_GetAttrString(module.get(), "UUID");
    if (state.uuid_class == nullptr) return false;
  }
  uuid_class_ = PyRef::new_ref(state.uuid_class);
  bytes_keyword_ = PyRef::steal(Py_BuildValue("(s)", "bytes"));
  return static_cast<bool>(bytes_keyword_);
}

PyObject* EngineValueConverter::date_time(std::int64_t micros) const {
  const CivilTime t = civil_time(micros);
  return PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond,
                                                 PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

PyObject* EngineValueConverter::uuid(const GuidBytes& guid) const {
  const std::array<std::uint8_t, 16> big_endian = guid_uuid_bytes(guid);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(big_endian.data()), 16));
  if (!bytes) return nullptr;
  PyObject* args[] = {bytes.get()};
  return PyObject_Vectorcall(uuid_class_.get(), args, 0, bytes_keyword_.get());
}

PyObject* EngineValueConverter::convert_scalar(const ColumnValue& value) const {
  switch (value.kind()) {
    case ValueKind::DateTime: return date_time(value.as_signed());
    case ValueKind::Guid: return uuid(value.as_guid());
    default: return column_value_to_python(value);
  }
}

PyObject* EngineValueConverter::convert(const EngineValue& value) const {
  if (!value.is_list()) return convert_scalar(value.value());
  const auto items = value.items();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert_scalar(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

bool RowConverter::init(ModuleState& state, TableCursor& cursor, ValuesMode mode,
                        std::optional<std::vector<std::size_t>> columns) {
  const RecordLayout& layout = cursor.layout();
  mode_ = mode;
  columns_.clear();
  if (columns) {
    columns_ = std::move(*columns);
    // Only the projected columns are decoded (and so fetched from the
    // long-value tree).
    std::vector<bool> wanted(layout.size(), false);
    for (std::size_t i : columns_) wanted[i] = true;
    cursor.decode_only(std::move(wanted));
  } else {
    for (std::size_t i = 0; i < layout.size(); ++i) columns_.push_back(i);
  }
  keys_.clear();
  shape_ = PyRef::steal(PyDict_New());
  if (!shape_) return false;
  for (std::size_t i : columns_) {
    keys_.push_back(decode_utf8_replace(layout.name(i)));
    if (!keys_.back() || PyDict_SetItem(shape_.get(), keys_.back().get(), Py_None) < 0) return false;
  }
  if (mode_ == ValuesMode::Engine) {
    if (!engine_.init(state)) return false;
    builder_ = std::make_unique<EngineRecordBuilder>(cursor.shared_layout());
    cursor.set_skip_deleted(true);
  }
  return true;
}

PyRef RowConverter::convert(TableCursor& cursor) {
  const Record& row = cursor.current();
  if (mode_ == ValuesMode::Engine) {
    auto fetch = [&cursor](Bytes reference, std::string& out) { return cursor.fetch_long_value(reference, out); };
    builder_->build(row, LongValueFetch(fetch), values_);
  }
  PyRef dict = PyRef::steal(PyDict_Copy(shape_.get()));
  if (!dict) return {};
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const std::size_t i = columns_[k];
    PyObject* value =
        mode_ == ValuesMode::Engine ? engine_.convert(values_[i]) : column_value_to_python(row.value(i));
    if (value == nullptr) return {};
    const int failed = PyDict_SetItem(dict.get(), keys_[k].get(), value);
    Py_DECREF(value);
    if (failed < 0) return {};
  }
  return dict;
}

}  // namespace pellumo::python
