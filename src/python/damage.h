// Telling Python what a read could not read: the DamageWarning category,
// the damage counts as a dict, and the one warning issued per table read.
//
// Every reading method counts damage in C++ as it reads (ReadDamage) and
// warns once, after the native work, from the thread that called it: the
// list methods before returning, iterators when exhausted (or released
// before that), the exports when their table is written, Arrow streams at
// their end (see arrow_methods.cpp).
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "python/py_ref.h"
#include "tree/read_damage.h"

namespace pellumo::python {

inline constexpr char kDamageWarningDoc[] =
    "Issued once per table read that met damage: pages refused (beyond the end\n"
    "of the file, failing their checksums, ...), entries skipped, records that\n"
    "do not decode, long values left unresolved. The values returned are what\n"
    "the file still holds. Attributes: path (the file), table (its name) and\n"
    "damage (the counts, as the Arrow stream's damage attribute gives them).\n"
    "warnings.simplefilter(\"error\", pellumo.DamageWarning) turns it into an\n"
    "exception, for callers who want all or nothing.";

// Creates the category pellumo.DamageWarning, a RuntimeWarning subclass. A
// new reference, or null with an exception set.
PyObject* create_damage_warning_type();

// The category, for code that runs outside any call into the module (an
// Arrow stream released on another thread). Set while the module lives;
// borrowed.
void set_damage_warning_type(PyObject* category);
PyObject* damage_warning_type();

// The counts as a dict: pages_refused, reasons ({check()'s reason name:
// count}, refused reasons only), pages_beyond_end, entries_skipped,
// records_undecodable, values_unresolved. Null with an exception set.
PyRef damage_dict(const ReadDamage& damage);

// The DamageWarning about one read of table `table` of the file `path`
// (raw bytes), with its attributes, not issued. Null with an exception set.
PyRef make_damage_warning(std::string_view path, std::string_view table, const ReadDamage& damage);

// Issues the DamageWarning about one read of table `table` of the file
// `path` (raw bytes) through warnings.warn, so that filters, catch_warnings
// and the caller's line apply; nothing when the damage holds nothing.
// Returns 0, or -1 with the exception set when a filter made it an error.
int warn_damage(std::string_view path, std::string_view table, const ReadDamage& damage);

// The same where no exception may leave (a deallocation): an exception
// already set is kept, and a warning made an error is reported as
// unraisable on `context`.
void warn_damage_unraisable(std::string_view path, std::string_view table, const ReadDamage& damage,
                            PyObject* context);

// The damage of one read and whether its warning was issued: what the
// iterators keep.
struct DamageNotice {
  std::string path;
  std::string table;
  bool told = false;

  // Warns about `damage` once; see warn_damage.
  int tell(const ReadDamage& damage) {
    if (told) return 0;
    told = true;
    return warn_damage(path, table, damage);
  }
  void tell_unraisable(const ReadDamage& damage, PyObject* context) {
    if (told) return;
    told = true;
    warn_damage_unraisable(path, table, damage, context);
  }
};

}  // namespace pellumo::python
