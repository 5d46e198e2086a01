// carve_utf16le_strings and carve_utf16le_strings_scoped: printable UTF-16LE
// strings carved from the pages, as a list of hit dicts.
#pragma once

#include <Python.h>

namespace pellumo::python {

inline constexpr char kCarveDoc[] = "carve_utf16le_strings($self, needle=None, min_chars=6, max_hits=1000)\n--\n\n";
inline constexpr char kCarveScopedDoc[] =
    "carve_utf16le_strings_scoped($self, scope, needle=None, min_chars=6, max_hits=1000)\n--\n\n";

PyObject* carve_utf16le_strings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* carve_utf16le_strings_scoped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace pellumo::python
