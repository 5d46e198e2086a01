// The pellumo extension module. Single-phase initialisation with module
// state, limited to one module object per process: later imports in the same
// interpreter get that object back, and an import from any other interpreter
// fails with ImportError, because the type and its strings belong to the
// interpreter that created them.
#include <Python.h>

#include <new>

#include "python/arrow_methods.h"
#include "python/damage.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/module_state.h"
#include "python/py_ref.h"
#include "python/recover_methods.h"
#include "python/table_methods.h"

namespace pellumo::python {
namespace {

// The project's single version, from CMake's project() (also the wheel's).
#ifndef PELLUMO_VERSION
#error "PELLUMO_VERSION must be defined by the build"
#endif
constexpr char kVersion[] = PELLUMO_VERSION;

// Set once the module object exists in some interpreter.
bool g_loaded = false;

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  return state == nullptr ? 0 : traverse_module_state(*state, visit, arg);
}

int module_clear(PyObject* module) {
  if (ModuleState* state = state_of_module(module)) {
    if (state->damage_warning == damage_warning_type()) set_damage_warning_type(nullptr);
    clear_module_state(*state);
  }
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pellumo",
    .m_doc = "",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

PyObject* create_module() {
  // The interpreter that made the module keeps it in its module-by-definition
  // table; importing again after `del sys.modules["pellumo"]` lands here.
  if (PyObject* existing = PyState_FindModule(&kModuleDef)) return Py_NewRef(existing);
  if (g_loaded) {
    PyErr_SetString(PyExc_ImportError, "pellumo cannot be loaded more than once per process");
    return nullptr;
  }

  PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  // The state memory comes zeroed; give it its C++ lifetime.
  ModuleState& state = *new (PyModule_GetState(module.get())) ModuleState{};
  if (init_module_state(state) < 0) return nullptr;

  state.ese_database_type = create_ese_database_type(module.get());
  if (state.ese_database_type == nullptr) return nullptr;
  state.table_iterator_type = create_table_iterator_type(module.get());
  if (state.table_iterator_type == nullptr) return nullptr;
  state.arrow_source_type = create_arrow_source_type(module.get());
  if (state.arrow_source_type == nullptr) return nullptr;
  state.recovery_iterator_type = create_recovery_iterator_type(module.get());
  if (state.recovery_iterator_type == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "EseDatabase", state.ese_database_type) < 0) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", kVersion) < 0) return nullptr;
  state.damage_warning = create_damage_warning_type();
  if (state.damage_warning == nullptr) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "DamageWarning", state.damage_warning) < 0) return nullptr;
  set_damage_warning_type(state.damage_warning);

  g_loaded = true;
  return module.release();
}

}  // namespace
}  // namespace pellumo::python

PyMODINIT_FUNC PyInit_pellumo() {
  return pellumo::python::guarded([] { return pellumo::python::create_module(); });
}
