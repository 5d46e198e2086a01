#include "python/catalog_methods.h"

#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/ese_database.h"

namespace pellumo::python {
namespace {

// One schema entry; the keys go in as name, type, id, nullable.
PyRef column_entry(const ModuleState& state, const ColumnInfo& column) {
  PyRef entry = PyRef::steal(PyDict_New());
  if (!entry) return {};
  PyRef name = decode_utf8_replace(column.name);
  if (!name || PyDict_SetItem(entry.get(), state.key(Key::Name), name.get()) < 0) return {};
  PyObject* type_name = state.column_type_name(column.column_type);
  if (type_name == nullptr) {
    PyErr_Format(PyExc_SystemError, "column type %u has no name", static_cast<unsigned>(column.column_type));
    return {};
  }
  if (PyDict_SetItem(entry.get(), state.key(Key::Type), type_name) < 0) return {};
  PyRef id = PyRef::steal(PyLong_FromUnsignedLong(column.id));
  if (!id || PyDict_SetItem(entry.get(), state.key(Key::Id), id.get()) < 0) return {};
  PyObject* nullable = (column.flags & kColumnFlagNotNull) == 0 ? Py_True : Py_False;
  if (PyDict_SetItem(entry.get(), state.key(Key::Nullable), nullable) < 0) return {};
  return entry;
}

}  // namespace

PyRef table_names(PyObject* self) {
  const TableMap& tables = database_of(self).tables();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tables.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (const auto& [name, table] : tables) {
    PyRef text = decode_utf8_replace(name);
    if (!text) return {};
    PyList_SET_ITEM(list.get(), i++, text.release());
  }
  return list;
}

PyObject* get_tables(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    return table_names(self).release();
  });
}

PyObject* get_table_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name"};
    static constexpr ArgSpec kSpec{"EseDatabase.get_table_schema", kParams, 1};
    PyObject* values[1];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;

    const TableInfo* table = database_of(self).tables().find(std::string(table_name));
    if (table == nullptr) {
      PyErr_Format(PyExc_ValueError, "Table not found: %U", values[0]);
      return nullptr;
    }
    const ModuleState& state = state_of(self);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(table->columns.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& [name, column] : table->columns) {
      PyRef entry = column_entry(state, column);
      if (!entry) return nullptr;
      PyList_SET_ITEM(list.get(), i++, entry.release());
    }
    return list.release();
  });
}

}  // namespace pellumo::python
