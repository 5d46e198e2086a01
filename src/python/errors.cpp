#include "python/errors.h"

#include <string>

#include "cursor/table_cursor.h"
#include "python/convert.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

// The name an exception's `kind` attribute gives each variant.
const char* kind_name(EseError::Kind kind) {
  using K = EseError::Kind;
  switch (kind) {
    case K::InvalidHeader: return "invalid_header";
    case K::InvalidSignature: return "invalid_signature";
    case K::InvalidPageNumber: return "invalid_page_number";
    case K::InvalidTagNumber: return "invalid_tag_number";
    case K::TableNotFound: return "table_not_found";
    case K::ColumnNotFound: return "column_not_found";
    case K::UnsupportedColumnType: return "unsupported_column_type";
    case K::CallbackCatalogType: return "callback_catalog_type";
    case K::InvalidCatalogEntry: return "invalid_catalog_entry";
    case K::PageDataTooShort: return "page_data_too_short";
    case K::TagOffsetOutOfBounds: return "tag_offset_out_of_bounds";
    case K::UnknownCodepage: return "unknown_codepage";
    case K::Io: return "io";
    case K::Parse: return "parse";
    case K::CorruptStructure: return "corrupt_structure";
  }
  return "unknown";
}

}  // namespace

bool stopped_reading_records(const EseError& error) { return error.context() == kErrorReadingRecord; }

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
  PyRef exception = PyRef::steal(PyObject_CallOneArg(cls, text.get()));
  if (!exception) return nullptr;
  // What the failure was, for callers that act on it without reading the
  // text: the variant, and whether it stopped a read of a table's records
  // part-way (an error met moving through a table is led by the cursor's
  // own words, either added here or by the routine that met it), as opposed
  // to a failure to open the table or to write an output.
  const bool reading_record = prefix == kErrorReadingRecord || stopped_reading_records(error);
  PyRef kind = PyRef::steal(PyUnicode_InternFromString(kind_name(error.kind())));
  if (!kind || PyObject_SetAttrString(exception.get(), "kind", kind.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "reading_record", reading_record ? Py_True : Py_False) < 0) {
    return nullptr;
  }
  PyErr_SetObject(cls, exception.get());
  return nullptr;
}

}  // namespace pellumo::python
