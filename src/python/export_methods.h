// export_table, export_all and write_table_jsonl: tables as JSON Lines.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kExportTableDoc[] =
    "export_table($self, table_name, output_path)\n--\n\n"
    "Export a table to JSONL format.\n\nArgs:\n    table_name: Name of the table to export\n"
    "    output_path: Path to the output JSONL file\n\n"
    "Raises:\n    ValueError: If the table doesn't exist\n    IOError: If there's an error writing the file";

inline constexpr char kExportAllDoc[] =
    "export_all($self, output_dir)\n--\n\n"
    "Export all tables to JSONL files in a directory.\n\nArgs:\n    output_dir: Directory to write JSONL files to\n\n"
    "Raises:\n    IOError: If there's an error creating the directory or writing files";

inline constexpr char kWriteTableJsonlDoc[] =
    "write_table_jsonl($self, table_name, file, limit=None, values='raw')\n--\n\n"
    "Write a table's records as JSON Lines, the bytes export_table writes, to\n"
    "an open file: an int is a file descriptor (written directly, left open),\n"
    "anything else an object whose write() takes bytes (called with blocks of\n"
    "about 64 KiB). Stops after `limit` records when given. Returns the number\n"
    "of records written. values='engine': the values the database engine\n"
    "returns (multi-values as arrays, dates as ISO 8601 UTC text ending in Z,\n"
    "GUIDs as UUID text, defaults, signed numbers), records flagged deleted\n"
    "left out.\n\n"
    "Raises:\n    ValueError: If the table doesn't exist or `values` is unknown\n"
    "    OSError: If a record cannot be read (after the lines before it are\n"
    "        written) or the descriptor cannot be written (with its errno)\n"
    "    Whatever file.write() raises, unchanged";

PyObject* export_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* export_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_table_jsonl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pellumo::python
