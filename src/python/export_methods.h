// export_table and export_all: tables as JSON Lines files.
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

PyObject* export_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* export_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace pellumo::python
