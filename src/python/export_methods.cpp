#include "python/export_methods.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "export/jsonl_file.h"
#include "export/table_export.h"
#include "python/args.h"
#include "python/check_methods.h"
#include "python/damage.h"
#include "python/engine_rows.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/gil.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

// Lines for a Python object with a write() method, handed over as bytes
// objects of about JsonlFile::kBufferSize. The first exception write()
// raises is kept (and the interpreter's indicator cleared) until the caller
// decides whether it is the failure to report. Lines are made without the
// interpreter lock once unlocked() is given it; each write() takes it back.
class PyWriterOutput {
 public:
  // The text of the error that stands for the kept exception.
  static constexpr std::string_view kWriteFailed = "write() failed";

  explicit PyWriterOutput(PyRef write) : write_(std::move(write)) { buffer_.reserve(JsonlFile::kBufferSize); }
  ~PyWriterOutput() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  PyWriterOutput(const PyWriterOutput&) = delete;
  PyWriterOutput& operator=(const PyWriterOutput&) = delete;

  template <class Fill>
  Result<void> append(Fill&& fill) {
    if (failed()) return write_failed();
    fill(buffer_);
    if (buffer_.size() >= JsonlFile::kBufferSize) return flush();
    return Ok{};
  }

  Result<void> flush() {
    if (failed()) return write_failed();
    if (buffer_.empty()) return Ok{};
    if (unlocked_ != nullptr) return unlocked_->held([&] { return write_buffer(); });
    return write_buffer();
  }

  void unlocked(GilReleased* gil) { unlocked_ = gil; }

  bool failed() const { return type_ != nullptr; }
  // Sets the kept exception again; returns null for the caller to return.
  PyObject* restore() {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    return nullptr;
  }

 private:
  static EseError write_failed() { return EseError::io_text(std::string(kWriteFailed)); }

  Result<void> write_buffer() {
    PyRef chunk = PyRef::steal(PyBytes_FromStringAndSize(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size())));
    buffer_.clear();
    if (chunk) {
      PyRef done = PyRef::steal(PyObject_CallOneArg(write_.get(), chunk.get()));
      if (done) return Ok{};
    }
    PyErr_Fetch(&type_, &value_, &traceback_);
    return write_failed();
  }

  PyRef write_;
  GilReleased* unlocked_ = nullptr;
  std::string buffer_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// A failed write to a descriptor raises OSError with its errno, so that a
// closed pipe is a BrokenPipeError as for Python's own writes.
PyObject* set_write_error(const EseError& error, int errno_value) {
  if (errno_value == 0) return set_ese_error(error);
  const std::string text = error.io_description();
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  PyRef args = PyRef::steal(Py_BuildValue("(iO)", errno_value, message.get()));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  return nullptr;
}

// Whether a signal handler raised, asked with the lock taken back (every few
// thousand records).
bool signalled(GilReleased& unlocked) {
  return unlocked.held([] { return PyErr_CheckSignals() < 0; });
}

}  // namespace

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
    ReadDamage damage;
    const std::string name(table_name);
    const std::string path(output_path);
    Result<void> done = [&] {
      GilReleased unlocked;
      return export_table_jsonl(
          database_of(self), name, path, [&] { return interrupted = interrupted || signalled(unlocked); }, &damage);
    }();
    // The warning goes out with the lock held, once the file is written.
    if (interrupted) return nullptr;  // the signal's exception stands
    if (raise_if_size_changed(self)) return nullptr;
    if (!done) return set_ese_error(done.error());
    if (warn_damage(as_ese_database(self)->data->path, table_name, damage) < 0) return nullptr;
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
    // One warning per damaged table, issued as soon as the table is written;
    // a warning made an error stops the export there.
    // Each table's warning is issued, with the lock taken back, once that
    // table is written.
    bool interrupted = false;
    bool warned_error = false;
    const std::string& path = as_ese_database(self)->data->path;
    const std::string directory(output_dir);
    Result<void> done = [&] {
      GilReleased unlocked;
      return export_all_jsonl(
          database_of(self), directory,
          [&] { return interrupted = interrupted || warned_error || signalled(unlocked); },
          [&](const std::string& name, const ReadDamage& damage) {
            if (!warned_error && damage.any()) {
              unlocked.held([&] { warned_error = warn_damage(path, name, damage) < 0; });
            }
          });
    }();
    if (interrupted) return nullptr;  // the signal's (or the warning's) exception stands
    if (warned_error) return nullptr;
    if (raise_if_size_changed(self)) return nullptr;
    if (!done) return set_ese_error(done.error());
    Py_RETURN_NONE;
  });
}

namespace {

// The lines with the stored values, or with the engine's.
template <class Output>
Result<std::uint64_t> write_lines(TableCursor& cursor, Output& out, std::optional<std::uint64_t> limit,
                                  ValuesMode mode, const std::function<bool()>& interrupted) {
  return mode == ValuesMode::Engine ? write_engine_records_jsonl(cursor, out, limit, interrupted)
                                    : write_records_jsonl(cursor, out, limit, interrupted);
}

// write_table_jsonl's writing to a file descriptor: lines are made and
// written without the interpreter lock.
PyObject* write_to_descriptor(PyObject* self, TableCursor& cursor, int fd, std::optional<std::uint64_t> limit,
                              ValuesMode mode) {
  bool interrupted = false;
  JsonlFile out = JsonlFile::borrow(fd);
  Result<std::uint64_t> written = [&] {
    GilReleased unlocked;
    return write_lines(cursor, out, limit, mode, [&] { return interrupted = interrupted || signalled(unlocked); });
  }();
  // A write cut short by a signal (EINTR) is the signal's to report.
  if (interrupted || (!written && PyErr_CheckSignals() < 0)) return nullptr;
  if (raise_if_size_changed(self)) return nullptr;
  if (written) {
    Result<void> closed = out.close();
    if (!closed) return set_write_error(closed.error(), out.failed_errno());
    if (warn_damage(as_ese_database(self)->data->path, cursor.table().name, cursor.damage()) < 0) return nullptr;
    return PyLong_FromUnsignedLongLong(*written);
  }
  // A record that cannot be read is reported as such; a failed write
  // ended the writing with the system's errno.
  if (out.failed_errno() != 0) return set_write_error(written.error(), out.failed_errno());
  return set_ese_error(written.error());
}

// write_table_jsonl's writing to an object's write(): lines are made
// without the interpreter lock, each write() call takes it back.
PyObject* write_to_object(PyObject* self, TableCursor& cursor, PyRef write, std::optional<std::uint64_t> limit,
                          ValuesMode mode) {
  bool interrupted = false;
  PyWriterOutput out(std::move(write));
  Result<std::uint64_t> written = [&] {
    GilReleased unlocked;
    out.unlocked(&unlocked);
    Result<std::uint64_t> result =
        write_lines(cursor, out, limit, mode, [&] { return interrupted = interrupted || signalled(unlocked); });
    out.unlocked(nullptr);
    return result;
  }();
  if (interrupted) return nullptr;  // the signal's exception stands
  if (raise_if_size_changed(self)) return nullptr;
  if (written) {
    Result<void> flushed = out.flush();
    if (!flushed) return out.restore();
    if (warn_damage(as_ese_database(self)->data->path, cursor.table().name, cursor.damage()) < 0) return nullptr;
    return PyLong_FromUnsignedLongLong(*written);
  }
  // A record that cannot be read is the failure to report, even when
  // writing out the lines before it failed too.
  if (out.failed() && !stopped_reading_records(written.error())) return out.restore();
  return set_ese_error(written.error());
}

}  // namespace

PyObject* write_table_jsonl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name", "file", "limit", "values"};
    static constexpr ArgSpec kSpec{"EseDatabase.write_table_jsonl", kParams, 2};
    PyObject* values[4];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;
    std::optional<std::uint64_t> limit;
    if (values[2] != nullptr && values[2] != Py_None) {
      std::uint64_t n = 0;
      if (!arg_to_u64(values[2], "limit", n)) return nullptr;
      limit = n;
    }
    ValuesMode mode = ValuesMode::Raw;
    if (!parse_values_mode(values[3], mode)) return nullptr;
    PyObject* file = values[1];
    const bool descriptor = PyLong_Check(file);
    int fd = -1;
    PyRef write;
    if (descriptor) {
      const long value = PyLong_AsLong(file);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      if (value < 0 || value > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "argument 'file': not a file descriptor: %ld", value);
        return nullptr;
      }
      fd = static_cast<int>(value);
    } else {
      // An interned name: the type attribute cache keeps the name it was
      // looked up by, and a fresh string per call would pile up there.
      PyRef name = PyRef::steal(PyUnicode_InternFromString("write"));
      if (!name) return nullptr;
      write = PyRef::steal(PyObject_GetAttr(file, name.get()));
      if (!write) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Format(PyExc_TypeError, "argument 'file': expected a file descriptor or an object with write(), got %s",
                     Py_TYPE(file)->tp_name);
        return nullptr;
      }
    }

    // The table is opened before anything is written.
    auto cursor = database_of(self).open_table(std::string(table_name));
    if (!cursor) return set_ese_error(cursor.error());
    return descriptor ? write_to_descriptor(self, *cursor, fd, limit, mode)
                      : write_to_object(self, *cursor, std::move(write), limit, mode);
  });
}

}  // namespace pellumo::python
