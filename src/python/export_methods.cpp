#include "python/export_methods.h"

#include <string>
#include <string_view>

#include "database/export.h"
#include "python/args.h"
#include "python/check_methods.h"
#include "python/errors.h"
#include "python/ese_database.h"

namespace pellumo::python {

// Every failure arrives as an EseError whose default mapping is the method's
// exception: TableNotFound as ValueError, the export's own texts (carried as
// Io errors) as IOError with the text alone, anything else from opening the
// cursor as IOError with its message.

PyObject* export_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name", "output_path"};
    static constexpr ArgSpec kSpec{"EseDatabase.export_table", kParams, 2};
    PyObject* values[2];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view table_name;
    std::string_view output_path;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;
    if (!arg_to_utf8(values[1], "output_path", output_path)) return nullptr;

    bool interrupted = false;
    Result<void> done = export_table_jsonl(database_of(self), std::string(table_name), std::string(output_path),
                                           [&] { return interrupted = interrupted || PyErr_CheckSignals() < 0; });
    if (interrupted) return nullptr;  // the signal's exception stands
    if (raise_if_size_changed(self)) return nullptr;
    if (!done) return set_ese_error(done.error());
    Py_RETURN_NONE;
  });
}

PyObject* export_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"output_dir"};
    static constexpr ArgSpec kSpec{"EseDatabase.export_all", kParams, 1};
    PyObject* values[1];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view output_dir;
    if (!arg_to_utf8(values[0], "output_dir", output_dir)) return nullptr;

    // The table names are those get_tables lists (decoded with U+FFFD), in
    // catalog order; the routine decodes them the same way.
    bool interrupted = false;
    Result<void> done = export_all_jsonl(database_of(self), std::string(output_dir),
                                         [&] { return interrupted = interrupted || PyErr_CheckSignals() < 0; });
    if (interrupted) return nullptr;
    if (raise_if_size_changed(self)) return nullptr;
    if (!done) return set_ese_error(done.error());
    Py_RETURN_NONE;
  });
}

}  // namespace pellumo::python
