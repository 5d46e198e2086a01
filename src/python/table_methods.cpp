#include "python/table_methods.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "python/args.h"
#include "python/check_methods.h"
#include "python/convert.h"
#include "python/damage.h"
#include "python/engine_rows.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/native_iterator.h"

namespace pellumo::python {

// A huge table must not make Ctrl-C wait for its end.
constexpr std::size_t kRecordsBetweenSignalChecks = 4096;

bool RecordConverter::init(const RecordLayout& layout) {
  keys_.clear();
  keys_.reserve(layout.size());
  shape_ = PyRef::steal(PyDict_New());
  if (!shape_) return false;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    keys_.push_back(decode_utf8_replace(layout.name(i)));
    if (!keys_.back() || PyDict_SetItem(shape_.get(), keys_.back().get(), Py_None) < 0) return false;
  }
  return true;
}

// Each record starts as a copy of the shape: copying a dict clones its key
// table at its final size, where inserting into an empty one would grow it
// step by step. Setting a key again keeps its first position, which is what
// two columns whose names decode to the same text need.
PyRef RecordConverter::convert(const Record& row) const {
  if (row.size() != keys_.size()) {
    PyErr_Format(PyExc_SystemError, "record of %zu values for %zu columns", row.size(), keys_.size());
    return {};
  }
  PyRef dict = PyRef::steal(PyDict_Copy(shape_.get()));
  if (!dict) return {};
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    PyObject* value = column_value_to_python(row.value(i));
    if (value == nullptr) return {};
    const int failed = PyDict_SetItem(dict.get(), keys_[i].get(), value);
    Py_DECREF(value);
    if (failed < 0) return {};
  }
  return dict;
}

namespace {

// Parses the one table_name argument of read_table and iter_table and opens
// a cursor on the table. nullopt with an exception set on failure.
std::optional<TableCursor> open_cursor(PyObject* self, const ArgSpec& signature, PyObject* const* args,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  if (!parse_fastcall(signature, args, nargs, kwnames, values)) return std::nullopt;
  std::string_view table_name;
  if (!arg_to_utf8(values[0], "table_name", table_name)) return std::nullopt;
  auto opened = database_of(self).open_table(std::string(table_name));
  if (!opened) {
    set_ese_error(opened.error());
    return std::nullopt;
  }
  return std::move(opened).value();
}

// What an iterator owns: the cursor borrows the Database of the iterator's
// EseDatabase.
struct IteratorState {
  TableCursor cursor;
  RecordConverter converter;
  std::unique_ptr<RowConverter> options;  // set when columns or values were given
  DamageNotice notice;

  PyRef convert() { return options ? options->convert(cursor) : converter.convert(cursor.current()); }
  const ReadDamage& damage() const { return cursor.damage(); }
};

using TableIterator = NativeIterator<IteratorState>;

PyObject* iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    TableIterator* it = TableIterator::of(self);
    if (it->state == nullptr) return nullptr;  // exhausted: StopIteration
    Borrow borrow(it->database, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    auto more = it->state->cursor.advance();
    if (!more) {
      // Like read_table, the first error ends the table; the iterator is
      // then exhausted.
      set_ese_error(more.error(), kErrorReadingRecord);
      it->finish();
      return nullptr;
    }
    if (raise_if_size_changed(it->database)) {
      it->finish();
      return nullptr;
    }
    if (!more.value()) return it->end();
    return it->state->convert().release();
  });
}

constexpr char kIteratorDoc[] = "Iterator over the records of one table, as returned by EseDatabase.iter_table.";

}  // namespace

PyObject* create_table_iterator_type(PyObject* module) {
  return TableIterator::create_type(module, "pellumo.TableIterator", kIteratorDoc, iterator_next);
}

PyObject* read_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name"};
    static constexpr ArgSpec kSpec{"EseDatabase.read_table", kParams, 1};
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::optional<TableCursor> cursor = open_cursor(self, kSpec, args, nargs, kwnames);
    if (!cursor) return nullptr;
    RecordConverter converter;
    if (!converter.init(cursor->layout())) return nullptr;

    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (std::size_t n = 1;; ++n) {
      auto more = cursor->advance();
      // The first error ends the call; the records read so far are dropped.
      if (!more) return set_ese_error(more.error(), kErrorReadingRecord);
      if (!more.value()) break;
      PyRef dict = converter.convert(cursor->current());
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
      if (n % kRecordsBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0) return nullptr;
    }
    if (raise_if_size_changed(self)) return nullptr;
    if (warn_damage(as_ese_database(self)->data->path, cursor->table().name, cursor->damage()) < 0) return nullptr;
    return list.release();
  });
}

PyObject* iter_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name", "columns", "values"};
    static constexpr ArgSpec kSpec{"EseDatabase.iter_table", kParams, 1, 1};  // columns, values: keyword-only
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    PyObject* values[3];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;
    ValuesMode mode;
    if (!parse_values_mode(values[2], mode)) return nullptr;
    // An unknown table is reported here, at the call, not at the first next().
    auto opened = database_of(self).open_table(std::string(table_name));
    if (!opened) return set_ese_error(opened.error());
    auto state = std::make_unique<IteratorState>(IteratorState{std::move(opened).value(), {}, nullptr, {}});
    state->notice.path = as_ese_database(self)->data->path;
    state->notice.table = state->cursor.table().name;
    std::optional<std::vector<std::size_t>> columns;
    if (!parse_columns(values[1], state->cursor.layout(), columns)) return nullptr;
    if (columns || mode != ValuesMode::Raw) {
      state->options = std::make_unique<RowConverter>();
      if (!state->options->init(state_of(self), state->cursor, mode, std::move(columns))) return nullptr;
    } else if (!state->converter.init(state->cursor.layout())) {
      return nullptr;
    }

    return TableIterator::make(state_of(self).table_iterator_type, self, std::move(state));
  });
}

}  // namespace pellumo::python
