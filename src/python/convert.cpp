#include "python/convert.h"

#include <cstddef>

#include "utils/hex.h"

namespace pellumo::python {

PyRef decode_utf8_replace(std::string_view bytes) {
  // CPython's "replace" handler substitutes one U+FFFD per maximal
  // subpart of an ill-formed sequence, as the Unicode Standard recommends.
  return PyRef::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

PyObject* guid_to_python(const GuidBytes& guid) {
  PyObject* text = PyUnicode_New(kGuidTextSize, 127);
  if (text == nullptr) return nullptr;
  write_guid_text(guid, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
}

PyObject* column_value_to_python(const ColumnValue& value) {
  switch (value.kind()) {
    case ValueKind::Null:
      return Py_NewRef(Py_None);
    case ValueKind::Boolean:
      return Py_NewRef(value.as_bool() ? Py_True : Py_False);
    case ValueKind::Int8:
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64:
      return PyLong_FromLongLong(value.as_signed());
    case ValueKind::UInt8:
    case ValueKind::UInt16:
    case ValueKind::UInt32:
      // Fits a C long on every 64-bit target; the signed path is the short one.
      return PyLong_FromLongLong(static_cast<long long>(value.as_unsigned()));
    case ValueKind::UInt64:
    case ValueKind::DateTime:
    case ValueKind::Currency:
      return PyLong_FromUnsignedLongLong(value.as_unsigned());
    case ValueKind::Float32:
      // float -> double is exact, NaN and infinities included.
      return PyFloat_FromDouble(static_cast<double>(value.as_float32()));
    case ValueKind::Float64:
      return PyFloat_FromDouble(value.as_float64());
    case ValueKind::Guid:
      return guid_to_python(value.as_guid());
    case ValueKind::Text: {
      // The record decoder hands out well-formed UTF-8; "replace" only
      // guards the interpreter against a mistake there.
      const std::string_view text = value.text();
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    case ValueKind::Binary:
    case ValueKind::MultiValue:
    case ValueKind::LongValue: {
      const Bytes bytes = value.bytes();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                       static_cast<Py_ssize_t>(bytes.size()));
    }
  }
  PyErr_Format(PyExc_SystemError, "unknown column value kind %d", static_cast<int>(value.kind()));
  return nullptr;
}

}  // namespace pellumo::python
