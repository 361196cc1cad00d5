// Binding and conversion of the entry functions' arguments. Every function
// returns false with a Python exception set when the argument is refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text/units.hpp"

namespace tessarin::bindings {

// Fills bound[0 .. count) with borrowed references to the arguments, matched
// to `names` by position and then by keyword, as a Python function with
// `count` required parameters would.
bool bind_arguments(const char* function, const char* const* names, Py_ssize_t count, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames, PyObject** bound);

// Conversions of one argument each; `parameter` names it in error messages.
// A short string, copied as UTF-8.
bool convert_string(PyObject* object, const char* parameter, std::string& value);
// A text searched, a pattern or a separator: the str's own storage of one,
// two or four bytes per code point is lent, which the caller's reference
// keeps alive (and a str unchanged) for the call.
bool convert_text(PyObject* object, const char* parameter, TextInput& value);
bool convert_flag(PyObject* object, const char* parameter, bool& value);
bool convert_threshold(PyObject* object, const char* parameter, double& value);
bool convert_threshold_kind(PyObject* object, const char* parameter, std::uint8_t& value);
bool convert_strategies(PyObject* object, const char* parameter, std::vector<std::string>& value);

} // namespace tessarin::bindings
