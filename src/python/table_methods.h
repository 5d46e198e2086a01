// read_table: every record of one table as a list of dicts.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kReadTableDoc[] =
    "read_table($self, table_name)\n--\n\n"
    "Read all records from a table.\n\nArgs:\n    table_name: Name of the table to read\n\n"
    "Returns:\n    list[dict]: List of records as dictionaries\n\n"
    "Raises:\n    ValueError: If the table doesn't exist\n    IOError: If there's an error reading the table";

PyObject* read_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pellumo::python
