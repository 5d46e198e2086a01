// Conversions between library values and Python objects.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/py_ref.h"

namespace pellumo::python {

// Table and column names, paths and messages are byte strings. They become
// str by UTF-8 decoding with each maximal invalid subsequence replaced by
// U+FFFD. Null with MemoryError set only when memory runs out.
PyRef decode_utf8_replace(std::string_view bytes);

}  // namespace pellumo::python
