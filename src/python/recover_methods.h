// EseDatabase.recover: the records a table no longer shows, one at a time,
// with where each was found; dropped_tables and recover_dropped: the tables
// the catalog no longer lists and their records.
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
    "             with other values), 'unkeyed' (its key cannot be told) or\n"
    "             'dropped' (a record of a dropped table)\n"
    "    _source: 'deleted_node', 'hole', 'tail', 'stale_tag', 'emptied_page',\n"
    "             'free_page' or 'dropped_table'\n"
    "    _page:   the page number\n"
    "    _offset: the file offset of the record's first byte\n"
    "    _objid:  the dropped table's object id (dropped records only)\n\n"
    "Every candidate must fit the table's schema (and its primary key, where that\n"
    "is over fixed columns); copies of live records are never returned, nor the\n"
    "same bytes twice. The source 'dropped_table' (asked for by name, never by\n"
    "default) gives the records of dropped tables whose records are this table's:\n"
    "recovered definitions under its name, or its layout fitted; they come in the\n"
    "dropped table's own columns.\n\n"
    "Args:\n    table_name: Name of the table\n"
    "    sources: Names of the sources to search (default: all but 'dropped_table')\n"
    "    values: 'raw' (default) or 'engine'\n"
    "    raw_columns: Columns read as stored when values is 'engine'\n\n"
    "Returns:\n    Iterator[dict]: Iterator over the recovered records\n\n"
    "Raises:\n    ValueError: If the table doesn't exist, a source or column name is unknown\n"
    "        or values is neither 'raw' nor 'engine'\n"
    "    IOError: If the table's root page cannot be read";

inline constexpr char kDroppedTablesDoc[] =
    "dropped_tables($self)\n--\n\n"
    "List the tables the catalog no longer lists whose pages the file still holds.\n\n"
    "One dict per object id that owns leaf pages of table data (emptied or not) and\n"
    "is no table, index or long-value tree of the live catalog:\n"
    "    objid:   its object id\n"
    "    pages:   the leaf pages it owns, its index and long-value trees' included\n"
    "             where a recovered catalog record ties them to it\n"
    "    name:    its name, from a recovered catalog record or the shadow catalog's\n"
    "             copy, or None\n"
    "    schema:  'catalog' (its column definitions were recovered), the name of the\n"
    "             live table whose layout every one of its records fits, or None\n"
    "    records: how many records recover_dropped gives\n\n"
    "A live table listed on a catalog page the file lost may be among them. The\n"
    "open warned about those pages (catalog_damage_warning); this warns\n"
    "(DamageWarning, table MSysObjects) only about what its own reads of the\n"
    "catalog and its shadow met beyond them.\n\n"
    "Returns:\n    list[dict]: The dropped tables, by object id";

inline constexpr char kRecoverDroppedDoc[] =
    "recover_dropped($self, objid)\n--\n\n"
    "Iterate over the records of the dropped table with object id objid.\n\n"
    "Each record is a dict of the columns of the table's schema (raw values, as\n"
    "recover gives them), plus _objid, _page, _offset and _schema (as\n"
    "dropped_tables gives it). Long values are looked up in the table's own\n"
    "long-value tree where a recovered catalog record names one; else they are None.\n\n"
    "Args:\n    objid: The object id, as dropped_tables lists it\n\n"
    "Returns:\n    Iterator[dict]: Iterator over the records\n\n"
    "Raises:\n    ValueError: If no dropped table has that object id";

PyObject* recover(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dropped_tables(PyObject* self, PyObject* unused);
PyObject* recover_dropped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The type of the iterators recover returns; made once per module.
PyObject* create_recovery_iterator_type(PyObject* module);

}  // namespace pellumo::python
