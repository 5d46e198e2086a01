// get_tables and get_table_schema: the catalog as Python lists.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace pellumo::python {

inline constexpr char kGetTablesDoc[] =
    "get_tables($self)\n--\n\n"
    "Get a list of all table names in the database.\n\nReturns:\n    list[str]: List of table names";

inline constexpr char kGetTableSchemaDoc[] =
    "get_table_schema($self, table_name)\n--\n\n"
    "Get the schema (columns) for a table.\n\nArgs:\n    table_name: Name of the table\n\n"
    "Returns:\n    list[dict]: List of column information with 'name', 'type', 'id'\n\n"
    "Raises:\n    ValueError: If the table doesn't exist";

// The names of all tables in catalog order, decoded as UTF-8 with
// replacement: a new list, or null with an exception set. The caller holds
// a claim on `self`. Shared with the export of all tables.
PyRef table_names(PyObject* self);

PyObject* get_tables(PyObject* self, PyObject* unused);
PyObject* get_table_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pellumo::python
