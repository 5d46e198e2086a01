// read_table and iter_table: the records of one table as dicts, all at once
// or one at a time.
#pragma once

#include <Python.h>

#include <vector>

#include "python/py_ref.h"
#include "record/record.h"

namespace pellumo::python {

inline constexpr char kReadTableDoc[] =
    "read_table($self, table_name)\n--\n\n"
    "Read all records from a table.\n\nArgs:\n    table_name: Name of the table to read\n\n"
    "Returns:\n    list[dict]: List of records as dictionaries\n\n"
    "Raises:\n    ValueError: If the table doesn't exist\n    IOError: If there's an error reading the table";

inline constexpr char kIterTableDoc[] =
    "iter_table($self, table_name, *, columns=None, values='raw')\n--\n\n"
    "Iterate over the records of a table, one at a time.\n\n"
    "Yields the same dictionaries as read_table, in the same order, without\n"
    "holding the whole table in memory.\n\n"
    "Args:\n    table_name: Name of the table to read\n"
    "    columns: Names of the columns to return, in this order (None: all)\n"
    "    values: 'raw' for the stored values (as read_table), 'engine' for the\n"
    "        values the database engine returns: multi-valued columns as lists,\n"
    "        column defaults, signed Long long and Currency, DateTime as an aware\n"
    "        UTC datetime, GUID as uuid.UUID; records flagged deleted are skipped\n\n"
    "Returns:\n    Iterator[dict]: Iterator over the records as dictionaries\n\n"
    "Raises:\n    ValueError: If the table or a column doesn't exist, or values is unknown\n"
    "    IOError: If there's an error reading a record (raised by the iterator)";

// Turns the records of one table into dicts. The column names become str
// once, when the converter is made, not once per record.
class RecordConverter {
 public:
  // False with an exception set when the names cannot be made.
  bool init(const RecordLayout& layout);
  // A new dict for `row`, or null with an exception set.
  PyRef convert(const Record& row) const;

 private:
  std::vector<PyRef> keys_;
  // Every decoded column name mapped to None, in column order.
  PyRef shape_;
};

PyObject* read_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The type of the iterators iter_table returns; made once per module.
PyObject* create_table_iterator_type(PyObject* module);

}  // namespace pellumo::python
