#include "python/ese_database.h"

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "python/args.h"
#include "python/arrow_methods.h"
#include "python/carve_methods.h"
#include "python/catalog_methods.h"
#include "python/check_methods.h"
#include "python/convert.h"
#include "python/damage.h"
#include "python/errors.h"
#include "python/export_methods.h"
#include "python/py_ref.h"
#include "python/recover_methods.h"
#include "python/table_methods.h"

namespace pellumo::python {
namespace {

// Either claim meeting the other: a call re-entered the same object.
constexpr const char* kInUse = "EseDatabase is in use by another call";
// The table the open's warning names: the catalog.
constexpr std::string_view kCatalogName = "MSysObjects";

}  // namespace

Borrow::Borrow(PyObject* self, Mode mode) {
  PyEseDatabase* obj = as_ese_database(self);
  if (mode == Mode::Shared) {
    if (obj->borrows < 0) {
      PyErr_SetString(PyExc_RuntimeError, kInUse);
      return;
    }
    ++obj->borrows;
  } else {
    if (obj->borrows != 0) {
      PyErr_SetString(PyExc_RuntimeError, kInUse);
      return;
    }
    obj->borrows = -1;
  }
  self_ = obj;
}

Borrow::~Borrow() {
  if (self_ == nullptr) return;
  if (self_->borrows < 0) {
    self_->borrows = 0;
  } else {
    --self_->borrows;
  }
}

namespace {

constexpr char kClassDoc[] =
    "EseDatabase(path)\n--\n\n"
    "Python wrapper for ESE database.\n\n"
    "This class provides access to Microsoft ESE databases from Python.\n\n"
    "Example:\n"
    "    >>> from pellumo import EseDatabase\n"
    "    >>> db = EseDatabase(\"Current.mdb\")\n"
    "    >>> tables = db.get_tables()\n"
    "    >>> records = db.read_table(\"MSysObjects\")";

constexpr char kPathDoc[] = "Get the path to the database file.\n\nReturns:\n    str: Path to the database file";
constexpr char kPageSizeDoc[] = "Get the database page size.\n\nReturns:\n    int: Page size in bytes";
constexpr char kTotalPagesDoc[] =
    "Get the total number of pages in the database.\n\nReturns:\n    int: Total number of pages";
constexpr char kFormatVersionDoc[] =
    "The file format version from the database header (0x620 for every current file).";
constexpr char kFormatRevisionDoc[] = "The file format revision from the database header.";
constexpr char kStateDoc[] =
    "The database state from the header: 1 just created, 2 dirty shutdown (the\n"
    "engine did not detach cleanly: logs may hold changes the file lacks),\n"
    "3 clean shutdown, 4 being converted, 5 force detach; other values as stored.";
constexpr char kCatalogDamageWarningDoc[] =
    "What reading the catalog at the open could not read, as the DamageWarning\n"
    "the open issues (a new, equal one each time), or None. The tables listed on\n"
    "the pages it names are missing from get_tables() and every other listing.";
constexpr char kOpenDoc[] =
    "open($cls, path, *, warn=True)\n--\n\n"
    "Opens the file as EseDatabase(path) does. A catalog the open could not\n"
    "read whole issues a DamageWarning (table MSysObjects), as the constructor\n"
    "does; warn=False leaves that to the caller, who reports\n"
    "catalog_damage_warning with the rest of the damage it collects.";
constexpr char kEnterDoc[] = "__enter__($self)\n--\n\nContext manager support: enter";
constexpr char kExitDoc[] = "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nContext manager support: exit";

using FastcallMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction; the
// interpreter calls them through their real type.
PyCFunction as_cfunction(FastcallMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// Opens the file `path_value` names as an instance of `type`. The catalog
// damage the open met (tables listed on pages the file lost are missing from
// every listing) is warned about here unless `warn` is false: the open is
// where it can be said once. New reference, or null with an exception set.
PyObject* open_instance(PyTypeObject* type, PyObject* path_value, bool warn) {
  // A str, bytes or os.PathLike, as open() takes them: a str is encoded
  // as os.fsencode does, so names that are not UTF-8 (which arrive with
  // surrogate escapes) reach the same file.
  PyObject* encoded_obj = nullptr;
  if (PyUnicode_FSConverter(path_value, &encoded_obj) == 0) {
    // A NUL byte in the name is the interpreter's ValueError; a name that
    // cannot name anything is a missing file. A str that cannot be encoded
    // (a surrogate no byte stands for) raises as open() would.
    if (PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_UnicodeError)) {
      PyErr_Clear();
      PyRef given = PyRef::steal(PyOS_FSPath(path_value));
      if (!given) return nullptr;
      PyRef shown = PyBytes_Check(given.get())
                        ? PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(given.get()),
                                                                        PyBytes_GET_SIZE(given.get())))
                        : std::move(given);
      if (shown) PyErr_Format(PyExc_FileNotFoundError, "Database file not found: %U", shown.get());
      return nullptr;
    }
    name_argument_in_type_error("path");
    return nullptr;
  }
  PyRef encoded = PyRef::steal(encoded_obj);
  std::string path(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    PyRef shown = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (shown) PyErr_Format(PyExc_FileNotFoundError, "Database file not found: %U", shown.get());
    return nullptr;
  }
  auto opened = Database::open(path);
  if (!opened) return set_ese_error(opened.error(), "Failed to open database: ");

  auto data = std::make_unique<EseDatabaseData>(EseDatabaseData{std::move(opened).value(), std::move(path), nullptr, false});
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self = PyRef::steal(alloc(type, 0));
  if (!self) return nullptr;
  as_ese_database(self.get())->data = data.release();
  as_ese_database(self.get())->borrows = 0;
  const EseDatabaseData& opened_data = *as_ese_database(self.get())->data;
  if (warn && warn_damage(opened_data.path, kCatalogName, opened_data.database->catalog_damage()) < 0) {
    return nullptr;
  }
  return self.release();
}

PyObject* ese_database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path"};
    static constexpr ArgSpec kSpec{"EseDatabase", kParams, 1};
    PyObject* values[1];
    if (!parse_tuple_dict(kSpec, args, kwargs, values)) return nullptr;
    return open_instance(type, values[0], true);
  });
}

PyObject* open_classmethod(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "warn"};
    static constexpr ArgSpec kSpec{"EseDatabase.open", kParams, 1, 1};
    PyObject* values[2] = {nullptr, nullptr};
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    bool warn = true;
    if (values[1] != nullptr) {
      const int truth = PyObject_IsTrue(values[1]);
      if (truth < 0) return nullptr;
      warn = truth != 0;
    }
    return open_instance(reinterpret_cast<PyTypeObject*>(type), values[0], warn);
  });
}

// A new warning each time, equal to the one the open issued.
PyObject* get_catalog_damage_warning(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    const ReadDamage& damage = database_of(self).catalog_damage();
    if (!damage.any()) Py_RETURN_NONE;
    return make_damage_warning(as_ese_database(self)->data->path, kCatalogName, damage).release();
  });
}

// Destroying the data unmaps the file; then the memory goes back through the
// type's free slot and the instance's reference to its heap type is dropped.
void ese_database_dealloc(PyObject* self) {
  PyEseDatabase* obj = as_ese_database(self);
  delete obj->data;
  obj->data = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* ese_database_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    const EseDatabaseData& data = *as_ese_database(self)->data;
    PyRef path = decode_utf8_replace(data.path);
    if (!path) return nullptr;
    // The path goes in as it is, without escaping.
    return PyUnicode_FromFormat("EseDatabase(path='%U', tables=%zu, page_size=%lu)", path.get(),
                                data.database->tables().size(),
                                static_cast<unsigned long>(data.database->page_size()));
  });
}

// As os.fsdecode gives it: the text that was passed in, which opens the
// same file again even where the name is not UTF-8.
PyObject* get_path(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    const std::string& path = as_ese_database(self)->data->path;
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  });
}

PyObject* get_page_size(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    return PyLong_FromUnsignedLong(database_of(self).page_size());
  });
}

PyObject* get_total_pages(PyObject* self, void* /*closure*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    return PyLong_FromUnsignedLong(database_of(self).total_pages());
  });
}

PyObject* enter(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    return Py_NewRef(self);
  });
}

// Leaving a with block closes nothing: the database stays usable until the
// instance is destroyed. Returning False lets the block's exception propagate.
PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"_exc_type", "_exc_value", "_traceback"};
    static constexpr ArgSpec kSpec{"EseDatabase.__exit__", kParams, 3};
    PyObject* values[3];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Exclusive);
    if (!borrow.ok()) return nullptr;
    return Py_NewRef(Py_False);
  });
}

// A u32 of the database, read under a shared claim.
template <class Read>
PyObject* u32_attribute(PyObject* self, Read read) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    return PyLong_FromUnsignedLong(read(database_of(self)));
  });
}

PyObject* get_format_version(PyObject* self, void* /*closure*/) {
  return u32_attribute(self, [](const Database& db) { return db.format_version(); });
}
PyObject* get_format_revision(PyObject* self, void* /*closure*/) {
  return u32_attribute(self, [](const Database& db) { return db.format_revision(); });
}
PyObject* get_state(PyObject* self, void* /*closure*/) {
  return u32_attribute(self, [](const Database& db) { return db.database_state(); });
}

PyGetSetDef kGetSet[] = {
    {"path", get_path, nullptr, kPathDoc, nullptr},
    {"page_size", get_page_size, nullptr, kPageSizeDoc, nullptr},
    {"total_pages", get_total_pages, nullptr, kTotalPagesDoc, nullptr},
    {"format_version", get_format_version, nullptr, kFormatVersionDoc, nullptr},
    {"format_revision", get_format_revision, nullptr, kFormatRevisionDoc, nullptr},
    {"state", get_state, nullptr, kStateDoc, nullptr},
    {"catalog_damage_warning", get_catalog_damage_warning, nullptr, kCatalogDamageWarningDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"get_tables", get_tables, METH_NOARGS, kGetTablesDoc},
    {"read_table", as_cfunction(read_table), METH_FASTCALL | METH_KEYWORDS, kReadTableDoc},
    {"get_table_schema", as_cfunction(get_table_schema), METH_FASTCALL | METH_KEYWORDS, kGetTableSchemaDoc},
    {"export_table", as_cfunction(export_table), METH_FASTCALL | METH_KEYWORDS, kExportTableDoc},
    {"carve_utf16le_strings", as_cfunction(carve_utf16le_strings), METH_FASTCALL | METH_KEYWORDS, kCarveDoc},
    {"carve_utf16le_strings_scoped", as_cfunction(carve_utf16le_strings_scoped), METH_FASTCALL | METH_KEYWORDS,
     kCarveScopedDoc},
    {"export_all", as_cfunction(export_all), METH_FASTCALL | METH_KEYWORDS, kExportAllDoc},
    {"__enter__", enter, METH_NOARGS, kEnterDoc},
    {"__exit__", as_cfunction(exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {"iter_table", as_cfunction(iter_table), METH_FASTCALL | METH_KEYWORDS, kIterTableDoc},
    {"arrow", as_cfunction(arrow), METH_FASTCALL | METH_KEYWORDS, kArrowDoc},
    {"write_table_jsonl", as_cfunction(write_table_jsonl), METH_FASTCALL | METH_KEYWORDS, kWriteTableJsonlDoc},
    {"check", check, METH_NOARGS, kCheckDoc},
    {"recover", as_cfunction(recover), METH_FASTCALL | METH_KEYWORDS, kRecoverDoc},
    {"dropped_tables", dropped_tables, METH_NOARGS, kDroppedTablesDoc},
    {"recover_dropped", as_cfunction(recover_dropped), METH_FASTCALL | METH_KEYWORDS, kRecoverDroppedDoc},
    {"open", as_cfunction(open_classmethod), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, kOpenDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(ese_database_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ese_database_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(ese_database_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// Not subclassable: an instance's type is always this type, which is how
// methods find the module state.
PyType_Spec kSpec = {
    .name = "pellumo.EseDatabase",
    .basicsize = sizeof(PyEseDatabase),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyObject* create_ese_database_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace pellumo::python
