// Turning library failures into Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "error/ese_error.h"

namespace pellumo::python {

// Sets the Python exception for `error` and returns nullptr, so callers can
// write `return set_ese_error(result.error());`.
//
// Without a prefix, TableNotFound becomes ValueError("Table not found: " +
// the name decoded as UTF-8 with replacement), Io becomes OSError with the
// system's text alone, and every other variant OSError with its message.
// With a prefix (a method's own wording, such as "Failed to open database: "),
// every variant becomes OSError(prefix + message).
//
// The exception carries what the text says for callers that decide by it:
// `kind`, the variant in snake case ("corrupt_structure", "io", ...), and
// `reading_record`, true when the error stopped a read of a table's records
// part-way (the lines or records before it were delivered).
PyObject* set_ese_error(const EseError& error, std::string_view prefix = {});

// Whether `error` stopped a read of a table's records part-way: the cursor's
// error, led by kErrorReadingRecord where it was met.
bool stopped_reading_records(const EseError& error);

// Runs the body of one entry point. No C++ exception may unwind into the
// interpreter: std::bad_alloc becomes MemoryError and anything else (the
// library throws nothing else) a SystemError. Returns null in both cases.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error");
  }
  return nullptr;
}

}  // namespace pellumo::python
