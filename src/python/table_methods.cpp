#include "python/table_methods.h"

#include <string>
#include <string_view>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

// The dict of one record. Every record of a table has the same columns in
// the same order, so each starts as a copy of `shape` (every decoded column
// name mapped to None, in column order): copying a dict clones its key
// table at its final size, where inserting into an empty one would grow it
// step by step. Setting a key again keeps its first position, which is what
// two columns whose names decode to the same text need.
PyRef record_to_dict(PyObject* shape, const std::vector<PyRef>& keys, const Record& row) {
  PyRef dict = PyRef::steal(PyDict_Copy(shape));
  if (!dict) return {};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* value = column_value_to_python(row.value(i));
    if (value == nullptr) return {};
    const int failed = PyDict_SetItem(dict.get(), keys[i].get(), value);
    Py_DECREF(value);
    if (failed < 0) return {};
  }
  return dict;
}

}  // namespace

PyObject* read_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name"};
    static constexpr ArgSpec kSpec{"EseDatabase.read_table", kParams, 1};
    PyObject* values[1];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;

    auto opened = database_of(self).open_table(std::string(table_name));
    if (!opened) return set_ese_error(opened.error());
    TableCursor cursor = std::move(opened).value();

    // The column names become str once per call, not once per record.
    const RecordLayout& layout = cursor.layout();
    std::vector<PyRef> keys;
    keys.reserve(layout.size());
    PyRef shape = PyRef::steal(PyDict_New());
    if (!shape) return nullptr;
    for (std::size_t i = 0; i < layout.size(); ++i) {
      keys.push_back(decode_utf8_replace(layout.name(i)));
      if (!keys.back() || PyDict_SetItem(shape.get(), keys.back().get(), Py_None) < 0) return nullptr;
    }

    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    while (true) {
      auto more = cursor.advance();
      // The first error ends the call; the records read so far are dropped.
      if (!more) return set_ese_error(more.error(), "Error reading record: ");
      if (!more.value()) break;
      const Record& row = cursor.current();
      if (row.size() != keys.size()) {
        PyErr_Format(PyExc_SystemError, "record of %zu values for %zu columns", row.size(), keys.size());
        return nullptr;
      }
      PyRef dict = record_to_dict(shape.get(), keys, row);
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace pellumo::python
