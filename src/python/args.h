// One argument parser for every method that takes parameters: positional or
// keyword arguments are bound to a fixed parameter list, and bad calls are
// reported with the method's name and the offending argument.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace pellumo::python {

// The parameters of one callable. The first `required` names are required,
// the rest optional. `function` is the name shown in messages, such as
// "EseDatabase.get_table_schema".
struct ArgSpec {
  const char* function;
  std::span<const char* const> names;
  std::size_t required;
  // How many of the parameters may be given by position; the rest are
  // keyword-only.
  std::size_t positional = static_cast<std::size_t>(-1);
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call. On success
// out[i] is a borrowed reference to the value of parameter i, or null when an
// optional parameter was omitted; out.size() must equal signature.names.size().
// A missing required argument, a surplus positional argument, an unknown
// keyword or one given both by position and by keyword raises TypeError and
// returns false.
bool parse_fastcall(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

// The same for the (args tuple, kwargs dict or null) form of tp_new.
bool parse_tuple_dict(const ArgSpec& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Converters. Each returns false with an exception set when the value does
// not convert. A TypeError from a conversion is re-raised as
// TypeError("argument '<name>': <original message>"); any other exception
// (UnicodeEncodeError, OverflowError, ...) propagates unchanged.

// The UTF-8 bytes of a str. The view is cached in the str object and lives as
// long as it does.
bool arg_to_utf8(PyObject* obj, const char* name, std::string_view& out);

// An unsigned 64-bit integer from any object the interpreter accepts as an
// index integer (int, bool, objects with __index__). Not an integer (None,
// float, str, ...): TypeError naming the argument. Negative or above
// 2**64 - 1: the interpreter's OverflowError, unchanged.
bool arg_to_u64(PyObject* obj, const char* name, std::uint64_t& out);

// Rewrites a pending TypeError as one that names argument `name`; leaves any
// other pending exception alone. For converters written outside this file.
void name_argument_in_type_error(const char* name);

}  // namespace pellumo::python
