#include "python/recover_methods.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/args.h"
#include "python/damage.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/native_iterator.h"
#include "python/py_ref.h"
#include "python/recovered_values.h"
#include "python/table_methods.h"
#include "recovery/recover.h"

namespace pellumo::python {
namespace {

constexpr const char* kStatusNames[] = {"deleted", "superseded", "unkeyed"};
constexpr std::size_t kStatusCount = sizeof kStatusNames / sizeof kStatusNames[0];

// What an iterator owns. The scanner borrows the Database of the
// iterator's EseDatabase.
struct RecoveryState {
  std::unique_ptr<RecoveryScanner> scanner;
  RecordConverter converter;
  PyRef key_status, key_source, key_page, key_offset;
  PyRef sources[kRecoverySourceCount];
  PyRef statuses[kStatusCount];
  DamageNotice notice;
  std::unique_ptr<RecoveredEngineValues> engine;  // values="engine"

  bool init() {
    if (!converter.init(scanner->layout())) return false;
    key_status = PyRef::steal(PyUnicode_FromString("_status"));
    key_source = PyRef::steal(PyUnicode_FromString("_source"));
    key_page = PyRef::steal(PyUnicode_FromString("_page"));
    key_offset = PyRef::steal(PyUnicode_FromString("_offset"));
    if (!key_status || !key_source || !key_page || !key_offset) return false;
    for (unsigned i = 0; i < kRecoverySourceCount; ++i) {
      sources[i] = PyRef::steal(PyUnicode_FromString(recovery_source_name(static_cast<RecoverySource>(i))));
      if (!sources[i]) return false;
    }
    for (std::size_t i = 0; i < kStatusCount; ++i) {
      statuses[i] = PyRef::steal(PyUnicode_FromString(kStatusNames[i]));
      if (!statuses[i]) return false;
    }
    return true;
  }

  PyRef convert() const {
    PyRef dict = converter.convert(scanner->record());
    if (!dict) return {};
    if (engine && !engine->apply(scanner->record(), dict.get())) return {};
    const RecoveredRecord& r = scanner->current();
    PyRef page = PyRef::steal(PyLong_FromUnsignedLong(r.page));
    PyRef offset = PyRef::steal(PyLong_FromUnsignedLongLong(r.offset));
    if (!page || !offset) return {};
    if (PyDict_SetItem(dict.get(), key_status.get(), statuses[static_cast<std::size_t>(r.status)].get()) < 0 ||
        PyDict_SetItem(dict.get(), key_source.get(), sources[static_cast<std::size_t>(r.source)].get()) < 0 ||
        PyDict_SetItem(dict.get(), key_page.get(), page.get()) < 0 ||
        PyDict_SetItem(dict.get(), key_offset.get(), offset.get()) < 0) {
      return {};
    }
    return dict;
  }

  const ReadDamage& damage() const { return scanner->damage(); }
};

using RecoveryIterator = NativeIterator<RecoveryState>;

PyObject* iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    RecoveryIterator* it = RecoveryIterator::of(self);
    if (it->state == nullptr) return nullptr;  // exhausted: StopIteration
    Borrow borrow(it->database, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    // Damage is skipped inside the scan: it only ever ends, and then tells
    // what the walk of the live tree could not read.
    if (!it->state->scanner->advance()) return it->end();
    return it->state->convert().release();
  });
}

constexpr char kIteratorDoc[] = "Iterator over the recovered records of one table, as returned by EseDatabase.recover.";

std::string known_sources() {
  std::string out;
  for (unsigned i = 0; i < kRecoverySourceCount; ++i) {
    if (i) out += ", ";
    out += recovery_source_name(static_cast<RecoverySource>(i));
  }
  return out;
}

// One source name into its bit; false with an exception set.
bool add_source(PyObject* item, unsigned& mask) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "argument 'sources': expected source names (str), got %s", Py_TYPE(item)->tp_name);
    return false;
  }
  std::string_view name;
  if (!arg_to_utf8(item, "sources", name)) return false;
  auto source = recovery_source_from_name(name);
  if (!source) {
    PyErr_Format(PyExc_ValueError, "Unknown recovery source: %R (expected one of: %s)", item, known_sources().c_str());
    return false;
  }
  mask |= recovery_source_bit(*source);
  return true;
}

// None: every source; a str: that one; any other iterable: each of its names.
bool parse_sources(PyObject* value, unsigned& mask) {
  if (value == nullptr || value == Py_None) {
    mask = kAllRecoverySources;
    return true;
  }
  mask = 0;
  if (PyUnicode_Check(value)) return add_source(value, mask);
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    name_argument_in_type_error("sources");
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!add_source(item.get(), mask)) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace

PyObject* create_recovery_iterator_type(PyObject* module) {
  return RecoveryIterator::create_type(module, "pellumo.RecoveryIterator", kIteratorDoc, iterator_next);
}

PyObject* recover(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name", "sources", "values", "raw_columns"};
    static constexpr ArgSpec kSpec{"EseDatabase.recover", kParams, 1};
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    if (positional > 1) {
      PyErr_Format(PyExc_TypeError, "EseDatabase.recover() takes 1 positional argument but %zd were given",
                   positional);
      return nullptr;
    }
    PyObject* values[4];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;
    unsigned mask = 0;
    if (!parse_sources(values[1], mask)) return nullptr;
    ValuesMode mode;
    if (!parse_values_mode(values[2], mode)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    // An unknown table is reported here, at the call, not at the first next().
    auto scanner = RecoveryScanner::open(database_of(self), std::string(table_name), mask);
    if (!scanner) return set_ese_error(scanner.error());
    auto state = std::make_unique<RecoveryState>();
    state->scanner = std::move(scanner).value();
    if (!state->init()) return nullptr;
    state->notice.path = as_ese_database(self)->data->path;
    state->notice.table = std::string(table_name);
    // raw_columns is checked in either mode: a misspelt name is an error.
    std::optional<std::vector<std::size_t>> raw_columns;
    if (!parse_columns(values[3], state->scanner->layout(), raw_columns, "raw_columns")) return nullptr;
    if (mode == ValuesMode::Engine) {
      std::vector<bool> raw(state->scanner->layout().size(), false);
      if (raw_columns) {
        for (std::size_t i : *raw_columns) raw[i] = true;
      }
      state->engine = std::make_unique<RecoveredEngineValues>();
      if (!state->engine->init(state_of(self), database_of(self), state->scanner->layout(), std::move(raw))) {
        return nullptr;
      }
    }

    return RecoveryIterator::make(state_of(self).recovery_iterator_type, self, std::move(state));
  });
}

}  // namespace pellumo::python
