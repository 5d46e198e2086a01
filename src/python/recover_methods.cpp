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

constexpr std::size_t kStatusCount = static_cast<std::size_t>(RecoveryStatus::Dropped) + 1;

// What an iterator owns. The scanner borrows the Database of the
// iterator's EseDatabase, and the dropped tables it reads, which `dropped`
// keeps alive.
struct RecoveryState {
  std::unique_ptr<RecoveryScanner> scanner;
  std::shared_ptr<const DroppedTables> dropped;
  // recover_dropped: _objid, _page, _offset and _schema, no _status nor
  // _source (every record is a dropped table's).
  bool dropped_only = false;
  PyRef schema;  // recover_dropped's _schema value
  // One per layout met: a dropped table's records come in its own.
  std::vector<std::pair<const RecordLayout*, std::unique_ptr<RecordConverter>>> converters;
  PyRef key_status, key_source, key_page, key_offset, key_objid, key_schema;
  PyRef sources[kRecoverySourceCount];
  PyRef statuses[kStatusCount];
  // values="engine": the engine values of each layout met, made on its
  // first record; raw_columns by name, as a dropped table's own columns
  // may stand elsewhere.
  bool engine_values = false;
  ModuleState* module = nullptr;
  const PageSource* pages = nullptr;
  std::vector<std::string> raw_names;
  std::vector<std::pair<const RecordLayout*, std::unique_ptr<RecoveredEngineValues>>> engines;
  DamageNotice notice;

  bool init() {
    key_status = PyRef::steal(PyUnicode_FromString("_status"));
    key_source = PyRef::steal(PyUnicode_FromString("_source"));
    key_page = PyRef::steal(PyUnicode_FromString("_page"));
    key_offset = PyRef::steal(PyUnicode_FromString("_offset"));
    key_objid = PyRef::steal(PyUnicode_FromString("_objid"));
    key_schema = PyRef::steal(PyUnicode_FromString("_schema"));
    if (!key_status || !key_source || !key_page || !key_offset || !key_objid || !key_schema) return false;
    for (unsigned i = 0; i < kRecoverySourceCount; ++i) {
      sources[i] = PyRef::steal(PyUnicode_FromString(recovery_source_name(static_cast<RecoverySource>(i))));
      if (!sources[i]) return false;
    }
    for (std::size_t i = 0; i < kStatusCount; ++i) {
      statuses[i] = PyRef::steal(PyUnicode_FromString(recovery_status_name(static_cast<RecoveryStatus>(i))));
      if (!statuses[i]) return false;
    }
    return true;
  }

  const RecordConverter* converter_for(const RecordLayout& layout) {
    for (const auto& [known, converter] : converters) {
      if (known == &layout) return converter.get();
    }
    auto converter = std::make_unique<RecordConverter>();
    if (!converter->init(layout)) return nullptr;
    converters.emplace_back(&layout, std::move(converter));
    return converters.back().second.get();
  }

  RecoveredEngineValues* engine_for(const RecordLayout& layout) {
    for (const auto& [known, engine] : engines) {
      if (known == &layout) return engine.get();
    }
    std::vector<bool> raw(layout.size(), false);
    for (std::size_t i = 0; i < layout.size(); ++i) {
      for (const std::string& name : raw_names) raw[i] = raw[i] || layout.name(i) == name;
    }
    auto engine = std::make_unique<RecoveredEngineValues>();
    if (!engine->init(*module, *pages, layout, std::move(raw))) return nullptr;
    engines.emplace_back(&layout, std::move(engine));
    return engines.back().second.get();
  }

  static bool set(PyObject* dict, const PyRef& key, PyObject* value) {
    return value != nullptr && PyDict_SetItem(dict, key.get(), value) == 0;
  }

  PyRef convert() {
    const Record& record = scanner->record();
    const RecordConverter* converter = converter_for(record.layout());
    if (!converter) return {};
    PyRef dict = converter->convert(record);
    if (!dict) return {};
    if (engine_values) {
      RecoveredEngineValues* engine = engine_for(record.layout());
      if (!engine || !engine->apply(record, dict.get())) return {};
    }
    const RecoveredRecord& r = scanner->current();
    PyRef page = PyRef::steal(PyLong_FromUnsignedLong(r.page));
    PyRef offset = PyRef::steal(PyLong_FromUnsignedLongLong(r.offset));
    PyRef objid = PyRef::steal(PyLong_FromUnsignedLong(r.objid));
    if (!page || !offset || !objid) return {};
    const bool of_dropped = r.status == RecoveryStatus::Dropped;
    if (dropped_only) {
      if (!set(dict.get(), key_objid, objid.get()) || !set(dict.get(), key_page, page.get()) ||
          !set(dict.get(), key_offset, offset.get()) || !set(dict.get(), key_schema, schema.get())) {
        return {};
      }
      return dict;
    }
    if (!set(dict.get(), key_status, statuses[static_cast<std::size_t>(r.status)].get()) ||
        !set(dict.get(), key_source, sources[static_cast<std::size_t>(r.source)].get()) ||
        !set(dict.get(), key_page, page.get()) || !set(dict.get(), key_offset, offset.get()) ||
        (of_dropped && !set(dict.get(), key_objid, objid.get()))) {
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

constexpr char kIteratorDoc[] =
    "Iterator over recovered records, as returned by EseDatabase.recover and EseDatabase.recover_dropped.";

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

// None: the default sources; a str: that one; any other iterable: each of
// its names.
bool parse_sources(PyObject* value, unsigned& mask) {
  if (value == nullptr || value == Py_None) {
    mask = kDefaultRecoverySources;
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

// The dropped tables of the instance's file, found on the first call that
// needs them and kept; with_counts: their record counts too.
std::shared_ptr<const DroppedTables> dropped_tables_of(PyObject* self, bool with_counts) {
  EseDatabaseData& data = *as_ese_database(self)->data;
  if (!data.dropped || (with_counts && !data.dropped_counted)) {
    data.dropped = DroppedTables::find(*data.database, with_counts);
    data.dropped_counted = with_counts;
  }
  return data.dropped;
}

// Warns, at the call, about what finding them could not read of the
// catalog: a live table listed on such a page may pass for a dropped one.
// The pages the open's own catalog read refused were told by the open (and
// are what catalog_damage_warning holds); what is left is what only this
// read met: the shadow catalog's damage, records of the catalog that do not
// decode. -1 with the exception set when a filter made the warning an error.
int warn_catalog_damage(PyObject* self, const DroppedTables& dropped) {
  return warn_damage(as_ese_database(self)->data->path, "MSysObjects",
                     dropped.damage().without(database_of(self).catalog_damage()));
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
    const Database& db = database_of(self);
    // An unknown table is reported here, at the call, not at the first next().
    if (!db.tables().find(std::string(table_name))) {
      return set_ese_error(EseError::table_not_found(std::string(table_name)));
    }
    std::shared_ptr<const DroppedTables> dropped;
    if (mask & recovery_source_bit(RecoverySource::DroppedTable)) {
      dropped = dropped_tables_of(self, false);
      if (warn_catalog_damage(self, *dropped) < 0) return nullptr;
    }
    auto scanner = RecoveryScanner::open(db, std::string(table_name), mask, dropped);
    if (!scanner) return set_ese_error(scanner.error());
    auto state = std::make_unique<RecoveryState>();
    state->scanner = std::move(scanner).value();
    state->dropped = std::move(dropped);
    if (!state->init()) return nullptr;
    state->notice.path = as_ese_database(self)->data->path;
    state->notice.table = std::string(table_name);
    // raw_columns is checked in either mode: a misspelt name is an error.
    std::optional<std::vector<std::size_t>> raw_columns;
    if (!parse_columns(values[3], state->scanner->layout(), raw_columns, "raw_columns")) return nullptr;
    if (mode == ValuesMode::Engine) {
      state->engine_values = true;
      state->module = &state_of(self);
      state->pages = &db;
      if (raw_columns) {
        for (std::size_t i : *raw_columns) state->raw_names.emplace_back(state->scanner->layout().name(i));
      }
    }
    return RecoveryIterator::make(state_of(self).recovery_iterator_type, self, std::move(state));
  });
}

PyObject* dropped_tables(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::shared_ptr<const DroppedTables> dropped = dropped_tables_of(self, true);
    if (warn_catalog_damage(self, *dropped) < 0) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const DroppedTable& t : dropped->tables()) {
      PyRef name = t.name ? PyRef::steal(PyUnicode_DecodeUTF8(t.name->data(), static_cast<Py_ssize_t>(t.name->size()),
                                                                "replace"))
                          : PyRef::new_ref(Py_None);
      const std::string schema_text = dropped_schema_text(t);
      PyRef schema = t.schema == DroppedSchema::None
                         ? PyRef::new_ref(Py_None)
                         : PyRef::steal(PyUnicode_DecodeUTF8(schema_text.data(),
                                                             static_cast<Py_ssize_t>(schema_text.size()), "replace"));
      PyRef dict = PyRef::steal(Py_BuildValue("{s:k,s:k,s:O,s:O,s:K}", "objid", static_cast<unsigned long>(t.objid),
                                              "pages", static_cast<unsigned long>(t.pages), "name", name.get(),
                                              "schema", schema.get(), "records",
                                              static_cast<unsigned long long>(t.records.value_or(0))));
      if (!name || !schema || !dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* recover_dropped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"objid"};
    static constexpr ArgSpec kSpec{"EseDatabase.recover_dropped", kParams, 1};
    PyObject* values[1];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    if (!PyLong_Check(values[0])) {
      PyErr_Format(PyExc_TypeError, "argument 'objid': expected int, got %s", Py_TYPE(values[0])->tp_name);
      return nullptr;
    }
    const unsigned long long objid = PyLong_AsUnsignedLongLong(values[0]);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "No dropped table with object id %R", values[0]);
      return nullptr;
    }
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::shared_ptr<const DroppedTables> dropped = dropped_tables_of(self, false);
    if (warn_catalog_damage(self, *dropped) < 0) return nullptr;
    const DroppedTable* table = objid > 0xFFFFFFFFull ? nullptr : dropped->by_objid(static_cast<std::uint32_t>(objid));
    if (!table) {
      PyErr_Format(PyExc_ValueError, "No dropped table with object id %llu", objid);
      return nullptr;
    }
    auto state = std::make_unique<RecoveryState>();
    state->scanner = RecoveryScanner::open_dropped(database_of(self), dropped, *table);
    state->dropped = std::move(dropped);
    state->dropped_only = true;
    state->notice.path = as_ese_database(self)->data->path;
    state->notice.table = table->name ? *table->name : "object " + std::to_string(table->objid);
    const std::string schema_text = dropped_schema_text(*table);
    state->schema = table->schema == DroppedSchema::None
                        ? PyRef::new_ref(Py_None)
                        : PyRef::steal(PyUnicode_DecodeUTF8(schema_text.data(),
                                                            static_cast<Py_ssize_t>(schema_text.size()), "replace"));
    if (!state->schema || !state->init()) return nullptr;
    return RecoveryIterator::make(state_of(self).recovery_iterator_type, self, std::move(state));
  });
}

}  // namespace pellumo::python
