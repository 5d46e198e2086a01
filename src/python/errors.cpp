#include "python/errors.h"

#include <string>

#include "python/convert.h"
#include "python/py_ref.h"

namespace pellumo::python {

PyObject* set_ese_error(const EseError& error, std::string_view prefix) {
  PyObject* cls = PyExc_OSError;
  PyRef text;
  if (!prefix.empty()) {
    text = decode_utf8_replace(std::string(prefix) + error.message());
  } else if (error.kind() == EseError::Kind::TableNotFound) {
    cls = PyExc_ValueError;
    PyRef name = decode_utf8_replace(error.text());
    if (!name) return nullptr;
    text = PyRef::steal(PyUnicode_FromFormat("Table not found: %U", name.get()));
  } else if (error.kind() == EseError::Kind::Io) {
    text = decode_utf8_replace(error.context() + error.io_description());
  } else {
    text = decode_utf8_replace(error.message());
  }
  // Building the message can only fail for lack of memory; that error stands.
  if (!text) return nullptr;
  PyErr_SetObject(cls, text.get());
  return nullptr;
}

}  // namespace pellumo::python
