// EseDatabase.arrow: a table as an object of the Arrow PyCapsule interface,
// read by pyarrow, Polars, DuckDB and pandas without a copy per value.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kArrowDoc[] =
    "arrow($self, table_name, *, columns=None, values='raw', batch_rows=65536, raw_columns=None, warn=True)\n--\n\n"
    "The records of a table as Arrow record batches.\n\n"
    "Returns an object of the Arrow PyCapsule interface (__arrow_c_schema__,\n"
    "__arrow_c_stream__): pyarrow.table(obj), polars.DataFrame(obj) and DuckDB\n"
    "queries read it directly. Every read opens a new cursor, so the object can\n"
    "be read any number of times; it keeps the database file open.\n\n"
    "A stream that met damage issues a DamageWarning when the consumer reaches\n"
    "its end (or releases it after reading), on the consumer's thread; a\n"
    "consumer reading on threads of its own gets it at the object's next use.\n"
    "Made an error by a filter, it fails the stream's end instead: the\n"
    "consumer raises (pyarrow: OSError \"DamageWarning: ...\"). The object's\n"
    "damage attribute holds the counts of the latest stream.\n\n"
    "Args:\n"
    "    table_name: Name of the table to read\n"
    "    columns: Names of the columns to read, in that order (default: all,\n"
    "        in ascending column id); only these are decoded\n"
    "    values: 'raw' (the stored values) or 'engine' (as the engine returns\n"
    "        them: list<T> for multi-valued columns, column defaults, int64 for\n"
    "        Long long and Currency, timestamp[us, UTC] for DateTime, arrow.uuid\n"
    "        for GUID; records flagged deleted are left out)\n"
    "    batch_rows: Most records per batch; a batch also ends before any\n"
    "        text or binary buffer passes 64 MiB\n"
    "    raw_columns: Columns read as stored whatever values says (a DateTime\n"
    "        column's 64 bits as uint64, as some applications keep FILETIMEs\n"
    "        there), from the same records as the others; each must be read\n"
    "    warn: False: no DamageWarning (read damage, or damage_warning, once\n"
    "        the stream is exhausted)\n\n"
    "Raises:\n"
    "    ValueError: If the table or a column doesn't exist, a column is named\n"
    "        twice, a raw column is not read, or batch_rows is 0";

PyObject* arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The type of the objects arrow() returns; made once per module.
PyObject* create_arrow_source_type(PyObject* module);

}  // namespace pellumo::python
