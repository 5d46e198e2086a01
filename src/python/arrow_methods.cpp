#include "python/arrow_methods.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "arrow/stream.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/damage.h"
#include "python/engine_rows.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kStreamCapsule[] = "arrow_array_stream";

// What the latest stream of a source could not read. Shared by the source
// and the damage handlers of its streams, which run on whatever thread the
// consumer reads or releases a stream on.
struct DamageSlot {
  std::mutex mutex;
  ReadDamage latest;     // of the latest stream to end, or to be released after reading
  bool pending = false;  // its warning could not be issued on the stream's thread
  bool warn = true;
  std::string path;      // the file, as the EseDatabase was given it
  std::string table;     // raw bytes
};

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// A stream's damage handler. Warnings need the interpreter: on a thread
// Python knows (the consumer's own, which let go of the interpreter lock to
// read, as pyarrow does) the warning is issued there; on a thread the
// consumer made for itself it waits for the source's next use. At the end of
// a stream a warning made an error by a filter fails the stream's last
// get_next instead, so the consumer raises rather than returns a part.
std::string handle_stream_damage(const std::shared_ptr<DamageSlot>& slot, const ReadDamage& damage, bool finished) {
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->latest = damage;
    slot->pending = false;
  }
  if (!slot->warn || !damage.any()) return {};
  if (interpreter_finalizing() || damage_warning_type() == nullptr || PyGILState_GetThisThreadState() == nullptr) {
    std::lock_guard<std::mutex> lock(slot->mutex);
    slot->pending = true;
    return {};
  }
  std::string refusal;
  const PyGILState_STATE gil = PyGILState_Ensure();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (warn_damage(slot->path, slot->table, damage) < 0) {
    if (finished) {
      refusal = "DamageWarning: " + damage_warning_text(slot->path, slot->table, damage);
      PyErr_Clear();
    } else {
      PyErr_WriteUnraisable(nullptr);
    }
  }
  PyErr_Restore(type, value, traceback);
  PyGILState_Release(gil);
  return refusal;
}

// Owns no Python object: the export shares the Database itself, so the
// object, and every capsule and stream made from it, outlives the
// EseDatabase that made it.
struct PyArrowSource {
  PyObject_HEAD
  arrow::TableExport* source;
  std::shared_ptr<DamageSlot>* damage;
};

PyArrowSource* as_source(PyObject* self) { return reinterpret_cast<PyArrowSource*>(self); }

// Issues a warning a stream left pending. 0, or -1 with the exception set.
int warn_pending(PyObject* self) {
  DamageSlot& slot = **as_source(self)->damage;
  ReadDamage damage;
  {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.pending) return 0;
    slot.pending = false;
    damage = slot.latest;
  }
  return warn_damage(slot.path, slot.table, damage);
}

void source_dealloc(PyObject* self) {
  if (as_source(self)->damage != nullptr) {
    DamageSlot& slot = **as_source(self)->damage;
    bool pending;
    ReadDamage damage;
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      pending = slot.pending;
      slot.pending = false;
      damage = slot.latest;
    }
    if (pending) warn_damage_unraisable(slot.path, slot.table, damage, nullptr);
  }
  delete as_source(self)->damage;
  as_source(self)->damage = nullptr;
  delete as_source(self)->source;
  as_source(self)->source = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A capsule owns the struct's memory; the struct's release (null once a
// consumer has moved it out) frees what it holds.
void schema_capsule_destructor(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
  if (schema == nullptr) {
    PyErr_Clear();
    return;
  }
  if (schema->release != nullptr) schema->release(schema);
  delete schema;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

PyObject* source_schema(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    if (warn_pending(self) < 0) return nullptr;
    auto schema = std::make_unique<ArrowSchema>();
    schema->release = nullptr;
    as_source(self)->source->export_schema(schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), kSchemaCapsule, schema_capsule_destructor);
    if (capsule == nullptr) {
      schema->release(schema.get());
      return nullptr;
    }
    schema.release();
    return capsule;
  });
}

PyObject* source_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"requested_schema"};
    static constexpr ArgSpec kSpec{"__arrow_c_stream__", kParams, 0};
    PyObject* values[1];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    // A requested schema is a wish the interface lets a producer decline:
    // the stream always has the schema of __arrow_c_schema__, and consumers
    // cast where they need another.
    if (warn_pending(self) < 0) return nullptr;
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->release = nullptr;
    std::shared_ptr<DamageSlot> slot = *as_source(self)->damage;
    auto opened = as_source(self)->source->export_stream(
        stream.get(), [slot](const ReadDamage& damage, bool finished) {
          return handle_stream_damage(slot, damage, finished);
        });
    if (!opened) return set_ese_error(opened.error());
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, stream_capsule_destructor);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    stream.release();
    return capsule;
  });
}

PyObject* source_table_name(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* { return decode_utf8_replace(as_source(self)->source->table().name).release(); });
}

PyObject* source_columns(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    const auto& columns = as_source(self)->source->columns();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      PyRef name = decode_utf8_replace(columns[i].column->name);
      if (!name) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return list.release();
  });
}

PyObject* source_batch_rows(PyObject* self, void* /*closure*/) {
  return PyLong_FromSize_t(as_source(self)->source->options().batch_rows);
}

ReadDamage latest_damage(PyObject* self) {
  DamageSlot& slot = **as_source(self)->damage;
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.latest;
}

PyObject* source_damage(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    if (warn_pending(self) < 0) return nullptr;
    return damage_dict(latest_damage(self)).release();
  });
}

PyObject* source_damage_warning(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    const ReadDamage damage = latest_damage(self);
    if (!damage.any()) Py_RETURN_NONE;
    const DamageSlot& slot = **as_source(self)->damage;
    return make_damage_warning(slot.path, slot.table, damage).release();
  });
}

PyObject* source_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyRef name = decode_utf8_replace(as_source(self)->source->table().name);
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<pellumo.ArrowTableSource table=%R columns=%zu batch_rows=%zu>", name.get(),
                                as_source(self)->source->columns().size(),
                                as_source(self)->source->options().batch_rows);
  });
}

using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_cfunction(FastcallMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

constexpr char kSchemaDoc[] =
    "__arrow_c_schema__($self)\n--\n\n"
    "The schema of the batches as an 'arrow_schema' PyCapsule: one field per\n"
    "column, with the column's id, type name and code page as field metadata\n"
    "and the table name as schema metadata.";
constexpr char kStreamDoc[] =
    "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
    "A new stream over the table (a new cursor) as an 'arrow_array_stream'\n"
    "PyCapsule. requested_schema is accepted and not applied: the stream has\n"
    "the schema of __arrow_c_schema__.";

PyMethodDef kSourceMethods[] = {
    {"__arrow_c_schema__", source_schema, METH_NOARGS, kSchemaDoc},
    {"__arrow_c_stream__", as_cfunction(source_stream), METH_FASTCALL | METH_KEYWORDS, kStreamDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSourceGetSet[] = {
    {"table_name", source_table_name, nullptr, "The name of the table.", nullptr},
    {"columns", source_columns, nullptr, "The names of the columns the batches hold, in order.", nullptr},
    {"batch_rows", source_batch_rows, nullptr, "The most records one batch holds.", nullptr},
    {"damage", source_damage, nullptr,
     "What the latest stream could not read, as a dict of counts (all 0 before\n"
     "any stream): pages_refused, reasons, pages_beyond_end, entries_skipped,\n"
     "records_undecodable, values_unresolved. Complete once that stream is\n"
     "exhausted (or released).",
     nullptr},
    {"damage_warning", source_damage_warning, nullptr,
     "The DamageWarning about the latest stream, not issued; None when it met no\n"
     "damage. For callers that read with warn=False and report damage themselves.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kSourceDoc[] =
    "The records of one table as Arrow record batches, as returned by EseDatabase.arrow.";

PyType_Slot kSourceSlots[] = {
    {Py_tp_doc, const_cast<char*>(kSourceDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_tp_methods, kSourceMethods},
    {Py_tp_getset, kSourceGetSet},
    {0, nullptr},
};

// Made only by EseDatabase.arrow: no constructor, not subclassable.
PyType_Spec kSourceSpec = {
    .name = "pellumo.ArrowTableSource",
    .basicsize = sizeof(PyArrowSource),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = kSourceSlots,
};

// The column names of `obj` (a list or tuple of str) as UTF-8 bytes.
bool column_names(PyObject* obj, std::vector<std::string>& out, const char* argument = "columns") {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a list of str or None, not %s", argument,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef items = PyRef::steal(PySequence_Fast(obj, "columns"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  std::unordered_set<std::string> seen;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected str items, not %s", argument, Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) return false;
    std::string name(utf8, static_cast<std::size_t>(size));
    if (!seen.insert(name).second) {
      PyErr_Format(PyExc_ValueError, "Column named twice: %U", item);
      return false;
    }
    out.push_back(std::move(name));
  }
  return true;
}

}  // namespace

PyObject* create_arrow_source_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSourceSpec, nullptr); }

PyObject* arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"table_name", "columns", "values", "batch_rows", "raw_columns", "warn"};
    static constexpr ArgSpec kSpec{"EseDatabase.arrow", kParams, 1, 1};
    PyObject* values[6];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    std::string_view table_name;
    if (!arg_to_utf8(values[0], "table_name", table_name)) return nullptr;
    arrow::ExportOptions options;
    if (values[1] != nullptr && values[1] != Py_None) {
      options.columns.emplace();
      if (!column_names(values[1], *options.columns)) return nullptr;
    }
    ValuesMode mode;
    if (!parse_values_mode(values[2], mode)) return nullptr;
    if (mode == ValuesMode::Engine) options.profile = arrow::ValueProfile::Engine;
    if (values[3] != nullptr) {
      std::uint64_t rows = 0;
      if (!arg_to_u64(values[3], "batch_rows", rows)) return nullptr;
      if (rows == 0) {
        PyErr_SetString(PyExc_ValueError, "batch_rows must be at least 1");
        return nullptr;
      }
      options.batch_rows = static_cast<std::size_t>(rows);
    }
    if (values[4] != nullptr && values[4] != Py_None) {
      if (!column_names(values[4], options.raw_columns, "raw_columns")) return nullptr;
    }
    bool warn = true;
    if (values[5] != nullptr) {
      const int truth = PyObject_IsTrue(values[5]);
      if (truth < 0) return nullptr;
      warn = truth != 0;
    }

    const std::shared_ptr<Database>& db = as_ese_database(self)->data->database;
    auto made = arrow::TableExport::make(db, std::string(table_name), std::move(options));
    if (!made) {
      if (made.error().kind() == EseError::Kind::ColumnNotFound) {
        PyRef name = decode_utf8_replace(made.error().text());
        if (name) PyErr_Format(PyExc_ValueError, "Column not found: %U", name.get());
        return nullptr;
      }
      return set_ese_error(made.error());
    }
    auto source = std::make_unique<arrow::TableExport>(std::move(made).value());
    auto damage = std::make_unique<std::shared_ptr<DamageSlot>>(std::make_shared<DamageSlot>());
    (*damage)->warn = warn;
    (*damage)->path = as_ese_database(self)->data->path;
    (*damage)->table = source->table().name;
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(self).arrow_source_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) return nullptr;
    as_source(obj)->source = source.release();
    as_source(obj)->damage = damage.release();
    return obj;
  });
}

}  // namespace pellumo::python
