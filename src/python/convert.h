// Conversions between library values and Python objects.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/py_ref.h"
#include "types/column_value.h"

namespace pellumo::python {

// Table and column names, paths and messages are byte strings. They become
// str by UTF-8 decoding with each maximal invalid subsequence replaced by
// U+FFFD. Null with MemoryError set only when memory runs out.
PyRef decode_utf8_replace(std::string_view bytes);

// One column value as a Python object: None, True/False, int, float, str
// or bytes. 64-bit DateTime and Currency values are their raw bits as an
// unsigned int; GUIDs are 36-character lowercase text. A new reference, or
// null with an exception set (only when memory runs out).
PyObject* column_value_to_python(const ColumnValue& value);

// The text of a GUID: groups of 8, 4, 4, 4 and 12 lowercase hex digits, the
// first three groups from little-endian fields (bytes 3..0, 5..4, 7..6),
// the last two in stored order.
PyObject* guid_to_python(const GuidBytes& guid);

}  // namespace pellumo::python
