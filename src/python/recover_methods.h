// EseDatabase.recover: the records a table no longer shows, one at a time,
// with where each was found.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kRecoverDoc[] =
    "recover($self, table_name, *, sources=None, values='raw', raw_columns=None)\n--\n\n"
    "Iterate over the deleted and superseded records of a table that the file still holds.\n\n"
    "Each record is a dict of the table's columns, decoded as read_table decodes\n"
    "them (long values the long-value tree no longer holds are None); with\n"
    "values='engine', as iter_table(values='engine') gives live records (lists\n"
    "for multi-valued columns, defaults, signed numbers, datetime, uuid.UUID)\n"
    "except the raw_columns, which keep the raw reading. Plus:\n"
    "    _status: 'deleted' (its key is not live), 'superseded' (its key is live\n"
    "             with other values) or 'unkeyed' (its key cannot be told)\n"
    "    _source: 'deleted_node', 'hole', 'tail', 'stale_tag', 'emptied_page' or\n"
    "             'free_page'\n"
    "    _page:   the page number\n"
    "    _offset: the file offset of the record's first byte\n\n"
    "Every candidate must fit the table's schema (and its primary key, where that\n"
    "is over fixed columns); copies of live records are never returned, nor the\n"
    "same bytes twice.\n\n"
    "Args:\n    table_name: Name of the table\n"
    "    sources: Names of the sources to search (default: all)\n"
    "    values: 'raw' (default) or 'engine'\n"
    "    raw_columns: Columns read as stored when values is 'engine'\n\n"
    "Returns:\n    Iterator[dict]: Iterator over the recovered records\n\n"
    "Raises:\n    ValueError: If the table doesn't exist, a source or column name is unknown\n"
    "        or values is neither 'raw' nor 'engine'\n"
    "    IOError: If the table's root page cannot be read";

PyObject* recover(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The type of the iterators recover returns; made once per module.
PyObject* create_recovery_iterator_type(PyObject* module);

}  // namespace pellumo::python
