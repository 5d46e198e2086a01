// check(): the integrity report of the whole file as a dict.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kCheckDoc[] =
    "check($self)\n--\n\n"
    "Check the whole file the way every read walks it.\n\n"
    "Walks the catalog and every table, long-value and index tree, checking\n"
    "each page (checksum, owner, tree type, entries, revisits), and reports\n"
    "what was refused or could not be read.\n\n"
    "Returns:\n"
    "    dict: {'header': {...}, 'trees': [{...}, ...], 'unreached_pages': int,\n"
    "    'orphan_pages': [int, ...], 'damaged': bool}; see the type stub.";

PyObject* check(PyObject* self, PyObject* unused);

// Raises OSError "File changed size while open" and returns true when the
// database's file was cut while mapped (its missing bytes then read as
// zeros). Every method that reads the file calls it before returning.
bool raise_if_size_changed(PyObject* self);

}  // namespace pellumo::python
